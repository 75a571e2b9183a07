#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds examples/host against the installed package, out of this project's
# tree, as its README tells a game developer to; the example host test runs
# the program it leaves in WORK_DIR/build.
# Usage: example_build.sh SOURCE_DIR PREFIX WORK_DIR CXX CMAKE "HOST_FLAGS"
set -eu
source_tree="$1" prefix="$2" work="$3" cxx="$4" cmake="$5" host_flags="$6"
rm -rf "$work"
"$cmake" -S "$source_tree/examples/host" -B "$work/build" \
  -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_CXX_FLAGS="-Wall -Wextra -Wpedantic -Werror $host_flags" \
  -DCMAKE_EXE_LINKER_FLAGS="$host_flags" \
  -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
"$cmake" --build "$work/build"
[ -x "$work/build/velta-example-host" ] || { echo "example_build: no program" >&2; exit 1; }
