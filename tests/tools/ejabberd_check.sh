#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# velta-check against a private ejabberd started from
# examples/servers/ejabberd.yml, as it is and with each setting broken that a
# stock server gets wrong, and against Debian's own /etc/ejabberd/ejabberd.yml:
# every verdict and the exit status. Each server runs in namespaces of its
# own (network: its own loopback, so 127.0.0.1:5222 is free; processes: the
# server and the epmd it starts end with it). Skipped (77) without ejabberd.
# Usage: ejabberd_check.sh VELTA_CHECK SOURCE_DIR
set -eu
check="$1" source_tree="$2"

command -v ejabberdctl >/dev/null || { echo "ejabberd is not installed: skipped"; exit 77; }
[ "$(id -u)" -eq 0 ] || { echo "not root (no namespaces): skipped"; exit 77; }

example="$source_tree/examples/servers/ejabberd.yml"
work=$(mktemp -d /tmp/velta-ejabberd-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"   # ejabberd runs as its own user
failures=0

# One variant: NAME, the config, velta-check's options, the verdicts
# expected ("name=verdict ..." in velta-check's order) and the exit status.
variant() {
  name="$1" config="$2" options="$3" expected="$4" status="$5"
  dir="$work/$name"
  mkdir -p "$dir/db" "$dir/logs"
  cp "$config" "$dir/ejabberd.yml"
  : >"$dir/ejabberdctl.cfg"
  chmod -R a+rwX "$dir"
  cat >"$dir/run.sh" <<SCRIPT
ip link set lo up
ERL_EPMD_ADDRESS=127.0.0.1 ejabberdctl --ctl-config "$dir/ejabberdctl.cfg" --config "$dir/ejabberd.yml" \
  --spool "$dir/db" --logs "$dir/logs" foreground >"$dir/server.log" 2>&1 &
i=0
until timeout 1 bash -c 'exec 3<>/dev/tcp/127.0.0.1/5222' 2>/dev/null; do
  i=\$((i + 1)); [ \$i -lt 300 ] || { echo "ejabberd did not listen within 30 s"; exit 99; }
  sleep 0.1
done
"$check" $options 127.0.0.1
SCRIPT
  code=0
  output=$(timeout 120 unshare --net --mount --pid --fork --mount-proc sh "$dir/run.sh" 2>&1) || code=$?
  got=$(echo "$output" | awk '/^(pass|warn|fail|skip)  / { printf "%s%s=%s", sep, $2, $1; sep = " " }')
  if [ "$got" = "$expected" ] && [ "$code" -eq "$status" ]; then
    echo "ok   $name: $got (exit $code)"
  else
    echo "FAIL $name"
    echo "  expected: $expected (exit $status)"
    echo "  got:      $got (exit $code)"
    echo "$output" | sed 's/^/  | /'
    tail -n 20 "$dir/logs/ejabberd.log" 2>/dev/null | sed 's/^/  log | /'
    failures=$((failures + 1))
  fi
}

probes="reachable=pass stream=pass starttls=pass registration=pass sasl=pass"

variant example "$example" --account \
  "$probes account=pass second-start=pass account-removed=pass" 0

sed 's/^    starttls: false$/    starttls: true\n    starttls_required: true/' "$example" >"$work/tls.yml"
variant starttls "$work/tls.yml" "" \
  "reachable=pass stream=pass starttls=fail registration=fail sasl=fail" 1

sed '/^  mod_register:$/,/^    ip_access: all$/d' "$example" >"$work/no-register.yml"
variant no-mod-register "$work/no-register.yml" "" \
  "reachable=pass stream=pass starttls=pass registration=fail sasl=pass" 1

sed 's/^  - localhost$/  - example.com/' "$example" >"$work/host.yml"
variant other-domain "$work/host.yml" "" \
  "reachable=pass stream=fail starttls=skip registration=skip sasl=skip" 1

sed '/^registration_timeout: infinity$/d' "$example" >"$work/timeout.yml"
variant registration-timeout "$work/timeout.yml" --account \
  "$probes account=pass second-start=fail account-removed=pass" 1

if [ -f /etc/ejabberd/ejabberd.yml ]; then
  variant debian-stock /etc/ejabberd/ejabberd.yml "" \
    "reachable=pass stream=pass starttls=fail registration=fail sasl=fail" 1
fi

[ "$failures" -eq 0 ] || { echo "ejabberd_check: $failures variant(s) failed"; exit 1; }
echo "ejabberd_check: ok"
