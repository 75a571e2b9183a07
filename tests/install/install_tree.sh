#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the library's two components into a fresh prefix and checks what
# lands there: the header, the versioned library with its SONAME links, the
# CMake package and velta-client.pc, and no static library; then the tools
# component: the three tools in bin/, which run from there (they find the
# library in the prefix through their RUNPATH).
# Usage: install_tree.sh CMAKE BUILD_DIR PREFIX LIBDIR INCLUDEDIR VERSION SOVERSION
set -eu
cmake="$1" build="$2" prefix="$3" libdir="$4" includedir="$5" version="$6" soversion="$7"

fail() { echo "install_tree: $*" >&2; exit 1; }

case "$prefix" in
  "$build"/*) ;;
  *) fail "refusing to install outside the build tree: $prefix" ;;
esac
rm -rf "$prefix"
for component in runtime development; do
  "$cmake" --install "$build" --prefix "$prefix" --component "$component"
done

lib="$prefix/$libdir"
for file in \
    "$prefix/$includedir/velta_client/velta_client.hpp" \
    "$lib/libvelta_client.so.$version" \
    "$lib/cmake/VeltaClient/VeltaClientConfig.cmake" \
    "$lib/cmake/VeltaClient/VeltaClientConfigVersion.cmake" \
    "$lib/cmake/VeltaClient/VeltaClientTargets.cmake" \
    "$lib/pkgconfig/velta-client.pc"; do
  [ -f "$file" ] || fail "missing $file"
done
[ -L "$lib/libvelta_client.so.$soversion" ] || fail "missing link libvelta_client.so.$soversion"
[ -L "$lib/libvelta_client.so" ] || fail "missing link libvelta_client.so"
[ "$(readlink "$lib/libvelta_client.so.$soversion")" = "libvelta_client.so.$version" ] ||
  fail "libvelta_client.so.$soversion does not point to libvelta_client.so.$version"

soname=$(objdump -p "$lib/libvelta_client.so.$version" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = "libvelta_client.so.$soversion" ] || fail "SONAME is '$soname'"

static=$(find "$prefix" -name '*.a')
[ -z "$static" ] || fail "static libraries installed: $static"

# gloox is private to the shared library: outside comments, nothing installed
# for hosts names it.
for file in "$lib/cmake/VeltaClient/"* "$lib/pkgconfig/velta-client.pc"; do
  if grep -v '^[[:space:]]*#' "$file" | grep -qi gloox; then
    fail "$file refers to gloox"
  fi
done
grep -qx "prefix=$prefix" "$lib/pkgconfig/velta-client.pc" ||
  fail "velta-client.pc does not name the prefix $prefix"

"$cmake" --install "$build" --prefix "$prefix" --component tools
for program in velta-cli velta-services velta-check; do
  [ -x "$prefix/bin/$program" ] || fail "missing $prefix/bin/$program"
  env -u LD_LIBRARY_PATH "$prefix/bin/$program" --help >/dev/null || fail "$prefix/bin/$program --help failed"
done
loaded=$(env -u LD_LIBRARY_PATH ldd "$prefix/bin/velta-cli" | awk '/libvelta_client/ { print $3 }')
[ -n "$loaded" ] && [ "$(realpath "$loaded")" = "$(realpath "$lib/libvelta_client.so.$version")" ] ||
  fail "the installed velta-cli loads '$loaded', not the installed library"

echo "install_tree: installed into $prefix:"
(cd "$prefix" && find . ! -type d | sort)
