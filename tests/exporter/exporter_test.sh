#!/usr/bin/env bash
# lumoret-exporter as a program, in a private network namespace (tests/isolated) where
# 127.0.0.0/8 answers: its exit statuses and their one-line messages, reloads by SIGHUP and
# by POST /-/reload (a failed one keeps the list), and SIGTERM's orderly stop.
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

# The HTTP cases need the server; a build whose server is not there yet reports port 0.
if [ "${port:-0}" != 0 ]; then
  url=http://127.0.0.1:$port
  curl -sf -m 10 "$url/-/healthy" >/dev/null || fail "/-/healthy"
  printf '127.0.0.3\n127.0.0.2\n' >"$config"
  curl -sf -m 40 -X POST "$url/-/reload" >/dev/null || fail "POST /-/reload"
  logged "reloaded $config: 2 hosts (1 added, 1 removed, 1 kept)" || fail "/-/reload's change"
  within 10 sh -c "curl -sf -m 10 '$url/metrics' | grep -q 'host=\"127.0.0.3\"'" ||
    fail "127.0.0.3 is not in /metrics after the reload"
  rm "$config" && mkdir "$config"
  answer=$(curl -s -m 40 -o "$work/body" -w '%{http_code}' -X POST "$url/-/reload")
  { [ "$answer" = 500 ] && grep -qF "$config" "$work/body"; } ||
    fail "a failed /-/reload answered $answer: $(cat "$work/body")"
  rmdir "$config" && printf '127.0.0.1\n' >"$config"
  timeout 20 "$exporter" --config "$config" --web.listen-address "127.0.0.1:$port" \
    2>"$work/err" >/dev/null
  status=$?
  { [ "$status" = 1 ] && grep -q '^lumoret-exporter: ' "$work/err"; } ||
    fail "a port in use: status $status, $(cat "$work/err")"
else
  echo "exporter_test: the server reports port 0 (not built yet): HTTP cases skipped"
fi

kill -TERM "$pid"
wait "$pid"
status=$?
pid=
[ "$status" = 0 ] || fail "SIGTERM: exit status $status"
logged "stopping" || fail "no stop line"
echo "exporter_test: passed"
