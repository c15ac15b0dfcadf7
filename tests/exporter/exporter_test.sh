#!/usr/bin/env bash
# lumoret-exporter as a program, in a private network namespace (tests/isolated) where
# 127.0.0.0/8 answers: its exit statuses and their one-line messages, reloads by SIGHUP (a failed
# one keeps the list) and by POST /-/reload, and SIGTERM's orderly stop. The HTTP
# answers themselves (healthy, 500 with the reason) are metrics_server_test's.
#   tests/exporter/exporter_test.sh <lumoret-exporter>
set -uo pipefail
exporter=$1
work=$(mktemp -d /tmp/lumoret-exporter-test.XXXXXX)
pid=
trap '[ -z "$pid" ] || kill -9 "$pid" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAILED: $*" >&2; [ -f "$work/log" ] && sed 's/^/  log: /' "$work/log" >&2; exit 1; }
# within SECONDS COMMAND...: COMMAND succeeds before SECONDS have passed.
within() {
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.1
  done
}
logged() { grep -qF -- "$1" "$work/log"; }
# expect STATUS LINE COMMAND...: COMMAND ends with STATUS, its stderr starting with LINE.
expect() {
  local status=$1 line=$2
  shift 2
  timeout 20 "$@" >/dev/null 2>"$work/err"
  local got=$?
  [ "$got" = "$status" ] || fail "$* ended with $got, not $status: $(cat "$work/err")"
  [ "$(head -1 "$work/err")" = "$line" ] || fail "$*: '$(head -1 "$work/err")', not '$line'"
}

config=$work/config.ini
expect 2 "lumoret-exporter: unknown option '--nope'" "$exporter" --nope
expect 2 "lumoret-exporter: --web.idle-timeout: '0' is not a whole number from 1 to 3600" \
  "$exporter" --config "$config" --web.idle-timeout=0
expect 1 "lumoret-exporter: cannot read $config: No such file or directory" \
  "$exporter" --config "$config"

printf '127.0.0.1\n' >"$config"
"$exporter" --config="$config" --web.listen-address 127.0.0.1:0 2>"$work/log" &
pid=$!
within 10 logged "serving 1 host from $config" || fail "no start line"
port=$(sed -n 's/.*, port \([0-9]*\)$/\1/p' "$work/log")

printf '127.0.0.1\n127.0.0.2 # added\n' >"$config"
kill -HUP "$pid"
within 10 logged "reloaded $config: 2 hosts (1 added, 0 removed, 1 kept)" || fail "SIGHUP"
mv "$config" "$work/kept.ini" && mkdir "$config"
kill -HUP "$pid"
within 10 logged "reload failed, still probing the 2 hosts: " || fail "a failed SIGHUP"
rmdir "$config" && mv "$work/kept.ini" "$config"

url=http://127.0.0.1:$port
printf '127.0.0.3\n127.0.0.2 # added\n' >"$config"
curl -sf -m 40 -X POST "$url/-/reload" >/dev/null || fail "POST /-/reload"
logged "reloaded $config: 2 hosts (1 added, 1 removed, 1 kept)" || fail "/-/reload's change"
within 10 sh -c "curl -sf -m 10 '$url/metrics' | grep -q 'host=\"127.0.0.3\"'" ||
  fail "127.0.0.3 is not in /metrics after the reload"
expect 1 "lumoret-exporter: cannot listen on 127.0.0.1:$port: Address already in use" \
  "$exporter" --config "$config" --web.listen-address "127.0.0.1:$port"

kill -TERM "$pid"
wait "$pid"
status=$?
pid=
[ "$status" = 0 ] || fail "SIGTERM: exit status $status"
logged "stopping" || fail "no stop line"
echo "exporter_test: passed"
