#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# scripts/server as a user runs it: the server it starts passes
# velta-check --account, and once it returns nothing of the server is left
# (no process, no listening socket, no folder). Runs in namespaces of its own
# (network: 127.0.0.1:5222 is free; processes: what is left can be counted).
# Skipped (77) without root or without the server.
# Usage: server_script_check.sh prosody|ejabberd VELTA_CHECK SOURCE_DIR
set -eu
kind="$1" check="$2" source_tree="$3"

[ "$(id -u)" -eq 0 ] || { echo "not root (no namespaces): skipped"; exit 77; }
command -v "$([ "$kind" = prosody ] && echo prosody || echo ejabberdctl)" >/dev/null ||
  { echo "$kind is not installed: skipped"; exit 77; }

output=$(timeout 300 unshare --net --mount --pid --fork --mount-proc sh -c '
  ip link set lo up
  "$1/scripts/server" "$2" 127.0.0.1 -- "$3" --account 127.0.0.1 || echo "status $?"
  echo "left:"; ps -e -o comm= | grep -v -x -e sh -e ps -e grep || true
  ss -Hltn' x "$source_tree" "$kind" "$check" 2>&1) || true
echo "$output"

echo "$output" | grep -q "^verdict: the library can work with this server$" || { echo "FAIL: no passing verdict"; exit 1; }
echo "$output" | grep -q "^status " && { echo "FAIL: non-zero exit"; exit 1; }
left=$(echo "$output" | sed -n '/^left:$/,$p' | sed 1d)
[ -z "$left" ] || { echo "FAIL: left behind: $left"; exit 1; }
# The folder the script named (not a count of /tmp: other runs share it).
folder=$(echo "$output" | sed -n 's/^server: .*(PID [0-9]*, folder \([^)]*\)).*/\1/p' | head -1)
[ -n "$folder" ] || { echo "FAIL: the script named no folder"; exit 1; }
[ ! -e "$folder" ] || { echo "FAIL: $folder was left"; exit 1; }
echo "server_script_check $kind: ok"
