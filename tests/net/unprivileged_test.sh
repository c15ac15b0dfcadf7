#!/usr/bin/env bash
# engine_run as a user with no capability at all, in a private network namespace with only
# loopback: it falls back to ICMP datagram sockets where ping_group_range admits its group,
# for IPv4 and IPv6, and says so; a host listed twice gives two rows that both count, and
# a name with only an IPv6 address is probed there. Where the range admits
# nobody, it fails and names the raw socket's missing right. Root only (it sets up the
# namespace and changes user); exit 77 otherwise.
#   unprivileged_test.sh ENGINE_RUN
set -u
engine_run=$1
if [ "$(id -u)" != 0 ] || ! command -v setpriv >/dev/null; then
  echo "unprivileged_test: needs root and setpriv; skipped" >&2
  exit 77
fi
work=$(mktemp -d /tmp/lumoret-unpriv.XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
# A copy carries no file capability that the build may have been given.
cp "$engine_run" "$work/engine_run"
printf '127.0.0.1\n# the same host again: a row of its own\n127.0.0.1\n::1\n::1\nv6-only.test\n' \
  >"$work/config.ini"
# The name resolves, from the namespace's own hosts file, to ::1 alone.
printf '127.0.0.1 localhost\n::1 v6-only.test\n' >"$work/hosts"
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Runs engine_run for 3.5 s as nobody, with the namespace's ping_group_range set to $1.
run_as_nobody() {
  unshare --net --mount bash -c '
    ip link set lo up || exit 77
    mount --bind "$2/hosts" /etc/hosts || exit 77
    echo "$1" >/proc/sys/net/ipv4/ping_group_range || exit 77
    cd "$2" && exec setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all \
      --bounding-set=-all ./engine_run 3.5' run "$1" "$work"
}

run_as_nobody "0 2147483647" >"$work/open.out" 2>"$work/open.err"
status=$?
[ "$status" = 77 ] && { echo "unprivileged_test: no namespace here; skipped" >&2; exit 77; }
[ "$status" = 0 ] || fail "engine_run ended with $status: $(cat "$work/open.err")"
grep -qx '#mode,datagram' "$work/open.out" || fail "mode not reported as datagram"
grep -qx '#mode6,datagram' "$work/open.out" || fail "IPv6 mode not reported as datagram"
# Rows: index,host,resolved,sent,replies,timeouts,...; three requests at least, the first
# reply unaccounted, no timeout.
for row in 0 1 2 3 4; do
  awk -F, -v row=$row '$1 == row && $5 >= 2 && $6 == 0 { found = 1 } END { exit !found }' \
    "$work/open.out" || fail "row $row got no replies: $(grep "^$row," "$work/open.out")"
done
grep -q ',foreign,0,malformed,0,send_errors,0,receive_errors,0,stalls,0,kernel_drops,0$' "$work/open.out" ||
  fail "datagrams went astray: $(grep '^#summary' "$work/open.out")"

run_as_nobody "1 0" >"$work/closed.out" 2>"$work/closed.err"
status=$?
[ "$status" = 1 ] || fail "with neither socket allowed, engine_run ended with $status"
grep -q 'Operation not permitted' "$work/closed.err" ||
  fail "the missing right is not named: $(cat "$work/closed.err")"

[ "$failures" = 0 ] && echo "unprivileged_test: passed"
exit $((failures > 0))
