#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The shared library must export new_velta_manager and nothing else.
set -eu
library="$1"
symbols=$(nm -D --defined-only "$library" | awk '{print $3}' | sort)
if [ "$symbols" != "new_velta_manager" ]; then
  echo "unexpected exports from $library:" >&2
  echo "$symbols" >&2
  exit 1
fi
echo "exports: $symbols"
