#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the project in subproject/, which takes velta-client in from this
# source tree with add_subdirectory or FetchContent, and runs its tiny host
# (which must load the library built inside that project).
# Usage: subproject_build.sh add_subdirectory|FetchContent SOURCE_DIR WORK_DIR CMAKE
set -eu
way="$1" source_tree="$2" work="$3" cmake="$4"
here="$(cd "$(dirname "$0")" && pwd)"

fail() { echo "subproject_build ($way): $*" >&2; exit 1; }

rm -rf "$work"
"$cmake" -S "$here/subproject" -B "$work" -DVELTA_WAY="$way" -DVELTA_SOURCE_DIR="$source_tree" \
  -DFETCHCONTENT_FULLY_DISCONNECTED=ON || fail "configuring failed"
"$cmake" --build "$work" -j2 --target tiny_host || fail "building failed"
output=$("$work/tiny_host") || { echo "$output"; fail "the tiny host failed"; }
echo "$output"
loaded=$(echo "$output" | sed -n 's/^library: //p')
case "$(realpath "$loaded")" in
  "$(realpath "$work")"/*) ;;
  *) fail "loaded $loaded, not the library built in $work" ;;
esac
