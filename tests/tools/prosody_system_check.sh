#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The README's recipe for a system-wide Prosody, done to a copy of Debian's
# /etc/prosody/prosody.cfg.lua: its modules_enabled block replaced by
# examples/servers/prosody-system.cfg.lua, nothing else changed but where the
# copy keeps its files. velta-check --account must pass. Runs in namespaces
# of its own; skipped (77) without root, Prosody or the stock file.
# Usage: prosody_system_check.sh VELTA_CHECK SOURCE_DIR
set -eu
check="$1" source_tree="$2"
stock=/etc/prosody/prosody.cfg.lua
[ "$(id -u)" -eq 0 ] || { echo "not root (no namespaces): skipped"; exit 77; }
command -v prosody >/dev/null && [ -f "$stock" ] || { echo "no Prosody or no $stock: skipped"; exit 77; }

dir=$(mktemp -d /tmp/velta-prosody-system.XXXXXX)
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/data" "$dir/certs"
# Its includes, relative to the file, as the system server reads them.
if [ -d /etc/prosody/conf.d ]; then cp -rL /etc/prosody/conf.d "$dir/"; else mkdir "$dir/conf.d"; fi
# The recipe, then this copy's own files (a second Prosody must not touch the
# system's), both above the VirtualHost line.
awk -v recipe="$source_tree/examples/servers/prosody-system.cfg.lua" -v dir="$dir" '
  /^modules_enabled = \{/ { skipping = 1; while ((getline line < recipe) > 0) print line; next }
  skipping { if ($0 ~ /^\}/) skipping = 0; next }
  /^VirtualHost/ && !placed {
    print "data_path = \"" dir "/data\""; print "pidfile = \"" dir "/prosody.pid\""
    print "log = { { levels = { min = \"info\" }, to = \"file\", filename = \"" dir "/prosody.log\" } }"
    print "run_as_root = true"; placed = 1
  }
  { print }' "$stock" >"$dir/prosody.cfg.lua"
grep -q '^c2s_require_encryption = false$' "$dir/prosody.cfg.lua" || { echo "FAIL: the recipe was not applied"; exit 1; }

timeout 120 unshare --net --mount --pid --fork --mount-proc sh -c '
  ip link set lo up
  prosody -F --config "$1/prosody.cfg.lua" >"$1/out" 2>&1 &
  i=0
  until timeout 1 bash -c "exec 3<>/dev/tcp/127.0.0.1/5222" 2>/dev/null; do
    i=$((i + 1)); [ $i -lt 200 ] || { echo "prosody did not listen"; tail "$1/out" "$1/prosody.log"; exit 1; }
    sleep 0.1
  done
  "$2" --account 127.0.0.1' x "$dir" "$check"
