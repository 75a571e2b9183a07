#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes the Debian packages with cpack and checks them: the runtime package
# holds the versioned library and declares libgloox among its dependencies
# (found by dpkg-shlibdeps); the -dev package holds the header, the .so link,
# the CMake package and a velta-client.pc for /usr, and depends on the
# runtime package of the same version; velta-client-tools holds the three
# tools and depends on the runtime package. Every package carries its
# copyright and changelog, and lintian reports no error on any of them.
# Usage: package_deb.sh CPACK BUILD_DIR OUT_DIR
set -eu
cpack="$1" build="$2" out="$3"

fail() { echo "package_deb: $*" >&2; exit 1; }

case "$out" in
  "$build"/*) ;;
  *) fail "refusing to write outside the build tree: $out" ;;
esac
rm -rf "$out"
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out.log" 2>&1 ||
  { cat "$out.log"; fail "cpack failed"; }

runtime=$(ls "$out"/libvelta-client[0-9]*_*.deb)
development=$(ls "$out"/libvelta-client-dev_*.deb)
for deb in "$runtime" "$development"; do
  echo "== $(basename "$deb")"
  dpkg-deb -I "$deb" control
  dpkg-deb -c "$deb" | awk '{ print $6, $7, $8 }'
done

runtime_name=$(dpkg-deb -f "$runtime" Package)
version=$(dpkg-deb -f "$runtime" Version)
depends=$(dpkg-deb -f "$runtime" Depends)
echo "$depends" | grep -q 'libgloox[0-9]' || fail "$runtime_name does not depend on libgloox: $depends"
echo "$depends" | grep -q 'libstdc++6' || fail "$runtime_name does not depend on libstdc++6: $depends"
dpkg-deb -c "$runtime" | grep -q '/libvelta_client\.so\.[0-9]*\.[0-9]*\.[0-9]*$' ||
  fail "$runtime_name holds no versioned library"
dpkg-deb -c "$runtime" | grep -q '/libvelta_client\.so\.[0-9]* -> ' ||
  fail "$runtime_name holds no SONAME link"
dpkg-deb --ctrl-tarfile "$runtime" | tar -t | grep -q 'shlibs$' || fail "$runtime_name has no shlibs file"

dev_depends=$(dpkg-deb -f "$development" Depends)
echo "$dev_depends" | grep -q "$runtime_name (= $version)" ||
  fail "the -dev package does not depend on $runtime_name (= $version): $dev_depends"
contents=$(dpkg-deb -c "$development")
for path in /usr/include/velta_client/velta_client.hpp /VeltaClientConfig.cmake /velta-client.pc \
    '/libvelta_client.so -> '; do
  echo "$contents" | grep -qF "$path" || fail "the -dev package holds no $path"
done
pc=$(echo "$contents" | awk '{ print $6 }' | grep 'velta-client\.pc$')
dpkg-deb --fsys-tarfile "$development" | tar -xO "$pc" | grep -qx 'prefix=/usr' ||
  fail "the packaged velta-client.pc is not for /usr"
for deb in "$runtime" "$development"; do
  if dpkg-deb -c "$deb" | grep -q '\.a$'; then
    fail "a static library is packaged in $(basename "$deb")"
  fi
done
tools=$(ls "$out"/velta-client-tools_*.deb)
tools_contents=$(dpkg-deb -c "$tools")
for program in velta-cli velta-services velta-check; do
  echo "$tools_contents" | grep -q "/usr/bin/$program\$" || fail "velta-client-tools holds no /usr/bin/$program"
done
dpkg-deb -f "$tools" Depends | grep -q "$runtime_name (= $version)" ||
  fail "velta-client-tools does not depend on $runtime_name (= $version): $(dpkg-deb -f "$tools" Depends)"

for deb in "$runtime" "$development" "$tools"; do
  name=$(dpkg-deb -f "$deb" Package)
  for doc in copyright changelog.gz; do
    dpkg-deb -c "$deb" | grep -q "/usr/share/doc/$name/$doc\$" || fail "$name carries no /usr/share/doc/$name/$doc"
  done
done

if command -v lintian >/dev/null; then
  lintian --tag-display-limit 0 "$runtime" "$development" "$tools" >"$out/lintian.log" 2>&1 || true
  cat "$out/lintian.log"
  if grep -q '^E: ' "$out/lintian.log"; then fail "lintian reports errors"; fi
else
  fail "lintian is not installed (scripts/bootstrap installs it)"
fi
echo "package_deb: ok"
