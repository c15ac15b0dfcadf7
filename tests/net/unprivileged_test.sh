#!/usr/bin/env bash
# engine_run as a user with no capability at all, in a private network namespace with only
# loopback, on ICMP datagram sockets: a name whose only address is IPv6 is probed there.
# (The scenario test runs IPv4 and IPv6 literals this way; program_test the refusal where
# no socket is allowed.) Root only (it sets up the namespace and changes user); exit 77
# otherwise.
#   unprivileged_test.sh ENGINE_RUN
set -u
if [ "$(id -u)" != 0 ] || ! command -v setpriv >/dev/null; then
  echo "unprivileged_test: needs root and setpriv; skipped" >&2
  exit 77
fi
work=$(mktemp -d /tmp/lumoret-unpriv.XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
# A copy carries no file capability that the build may have been given.
cp "$1" "$work/engine_run"
echo v6-only.test >"$work/config.ini"
# The name resolves, from the namespace's own hosts file, to ::1 alone.
printf '127.0.0.1 localhost\n::1 v6-only.test\n' >"$work/hosts"
unshare --net --mount bash -c '
  ip link set lo up && mount --bind "$1/hosts" /etc/hosts &&
    echo "0 2147483647" >/proc/sys/net/ipv4/ping_group_range || exit 77
  cd "$1" && exec setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all \
    --bounding-set=-all ./engine_run 3.5' run "$work" >"$work/out" 2>"$work/err"
status=$?
[ "$status" = 77 ] && { echo "unprivileged_test: no namespace here; skipped" >&2; exit 77; }
# Its row: index,host,resolved,sent,replies,timeouts,...; the first reply unaccounted.
if [ "$status" = 0 ] && grep -qx '#mode6,datagram' "$work/out" &&
  awk -F, '$1 == 0 && $3 == 1 && $5 >= 2 && $6 == 0 { ok = 1 } END { exit !ok }' "$work/out"; then
  echo "unprivileged_test: passed"
  exit 0
fi
echo "FAIL: no replies to the IPv6-only name on datagram sockets (status $status):" >&2
cat "$work/out" "$work/err" >&2
exit 1
