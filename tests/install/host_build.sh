#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the tiny host in host/ against the installed package, out of this
# project's tree, and runs it: "cmake" finds the package with find_package and
# runs the program through the build RPATH CMake gives it; "pkgconfig" compiles
# with `pkg-config --cflags --libs velta-client`, seeing no .pc file but the
# installed one, and runs the program with LD_LIBRARY_PATH.
# Usage: host_build.sh cmake|pkgconfig PREFIX LIBDIR WORK_DIR CXX CMAKE "HOST_FLAGS"
set -eu
mode="$1" prefix="$2" libdir="$3" work="$4" cxx="$5" cmake="$6" host_flags="$7"
source_dir="$(cd "$(dirname "$0")/host" && pwd)"

fail() { echo "host_build ($mode): $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"
program="$work/tiny_host"

case "$mode" in
  cmake)
    "$cmake" -S "$source_dir" -B "$work/build" \
      -DCMAKE_CXX_COMPILER="$cxx" \
      -DCMAKE_CXX_FLAGS="$host_flags" \
      -DCMAKE_EXE_LINKER_FLAGS="$host_flags" \
      -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
      -DVELTA_EXPECTED_PREFIX="$prefix"
    "$cmake" --build "$work/build"
    cp "$work/build/tiny_host" "$program"
    output=$("$program") || { echo "$output"; fail "the tiny host failed"; }
    ;;
  pkgconfig)
    PKG_CONFIG_LIBDIR="$prefix/$libdir/pkgconfig"
    PKG_CONFIG_PATH=
    export PKG_CONFIG_LIBDIR PKG_CONFIG_PATH
    flags=$(pkg-config --cflags --libs velta-client) || fail "pkg-config does not find velta-client"
    echo "pkg-config --cflags --libs velta-client: $flags"
    # shellcheck disable=SC2086 # the flags are words
    "$cxx" -std=c++17 -Wall -Wextra -Wpedantic -Werror $host_flags \
      "$source_dir/tiny_host.cpp" -o "$program" $flags
    output=$(LD_LIBRARY_PATH="$prefix/$libdir" "$program") || { echo "$output"; fail "the tiny host failed"; }
    ;;
  *)
    fail "unknown mode"
    ;;
esac

echo "$output"
loaded=$(echo "$output" | sed -n 's/^library: //p')
[ -n "$loaded" ] || fail "the tiny host did not say which library it loaded"
expected="$(realpath "$prefix/$libdir")/libvelta_client.so"
case "$(realpath "$loaded")" in
  "$expected".*) ;;
  *) fail "loaded $loaded, not the installed library" ;;
esac
