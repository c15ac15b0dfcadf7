#!/usr/bin/env bash
# The IPv6 side of the test bench, with iputils ping as the prober: the responder answers
# ICMPv6 echo from the probed address after its rule's delay, answers "wrong-src" from the
# next address, the peer's kernel answers nothing itself, and the record lists the probers.
# Root only (netbench); exit 77 otherwise.
#   ipv6_bench_test.sh NETBENCH
set -u
netbench=$1
if [ "$(id -u)" != 0 ] || ! command -v ping >/dev/null; then
  echo "ipv6_bench_test: needs root and ping; skipped" >&2
  exit 77
fi
work=$(mktemp -d /tmp/lumoret-v6bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
printf '%s\n' '2001:db8::5 delay=40' '2001:db8::6 kind=wrong-src' '2001:db8::/48 loss=100' \
  >"$work/rules"
"$netbench" --rules "$work/rules" --record "$work/record.csv" --timeout 30 -- sh -c '
  ping -6 -n -c 3 -i 0.2 2001:db8::5; ping -6 -n -c 1 -W 1 2001:db8::6
  ping -6 -n -c 1 -W 1 2001:db8:0:1::9' >"$work/ping.out" 2>&1
status=$?
[ "$status" = 77 ] && exit 77
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
# ping's status is 1: the last two get no reply from the probed address.
[ "$status" = 1 ] || fail "netbench ended with $status: $(cat "$work/ping.out")"
replies=$(grep -c '^64 bytes from 2001:db8::5: ' "$work/ping.out")
[ "$replies" = 3 ] || fail "2001:db8::5 answered $replies of 3: $(cat "$work/ping.out")"
# time=40.1 ms and the like: never before the rule's delay, not far behind it.
awk '/^64 bytes from 2001:db8::5: / { sub(/.*time=/, ""); if ($1 < 40 || $1 > 60) bad = 1 }
  END { exit bad }' "$work/ping.out" || fail "delay off: $(grep time= "$work/ping.out")"
grep -q '^64 bytes from 2001:db8::7: .*DIFFERENT ADDRESS' "$work/ping.out" ||
  fail "no reply from the next address for wrong-src"
grep -q '^64 bytes from 2001:db8:0:1::9' "$work/ping.out" &&
  fail "an address the rules leave unanswered got a reply: the peer's kernel answers"
# address,identifier,rule,requests,first_sequence,replies,...
grep -q '^2001:db8::5,[0-9]*,reply,3,1,3,' "$work/record.csv" ||
  fail "record: $(cat "$work/record.csv")"
grep -q '^2001:db8:0:1::9,[0-9]*,reply,1,1,0,0,0,1,' "$work/record.csv" ||
  fail "no lost request in the record: $(cat "$work/record.csv")"
grep -q '^#summary,.*,send_errors,0,' "$work/record.csv" ||
  fail "send errors: $(grep '^#summary' "$work/record.csv")"
[ "$failures" = 0 ] && echo "ipv6_bench_test: passed"
exit $((failures > 0))
