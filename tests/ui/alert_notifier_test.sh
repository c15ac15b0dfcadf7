#!/bin/sh
# Runs alert_notifier_test on a session bus of its own (no service there starts on demand)
# under the X display in $DISPLAY: first with Debian's notification-daemon serving
# org.freedesktop.Notifications, then with nothing serving it. dbus-monitor records every
# Notify call in a file the test reads.
#   alert_notifier_test.sh TEST_PROGRAM
set -eu
die() { echo "alert_notifier_test: $*" >&2; exit 1; }
daemon=/usr/lib/notification-daemon/notification-daemon

if [ "${1:-}" = --on-bus ]; then
  test_program=$2
  # True once the name has an owner on the bus.
  owned() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.NameHasOwner string:org.freedesktop.Notifications |
      grep -q "boolean true"
  }
  dbus-monitor "interface='org.freedesktop.Notifications',member='Notify'" \
    >"$ALERT_MONITOR_LOG" 2>&1 &
  monitor=$!
  # Its NameLost says it has become a monitor; every call after it is seen.
  for _ in $(seq 100); do grep -q NameLost "$ALERT_MONITOR_LOG" && break; sleep 0.05; done
  grep -q NameLost "$ALERT_MONITOR_LOG" || die "dbus-monitor did not start"
  NO_AT_BRIDGE=1 "$daemon" >"$ALERT_TEST_DIR/daemon.log" 2>&1 &
  served=$!
  for _ in $(seq 100); do owned && break; sleep 0.05; done
  owned || { cat "$ALERT_TEST_DIR/daemon.log" >&2; die "notification-daemon did not start"; }
  status=0
  "$test_program" --gtest_filter='WithService.*' || status=1
  kill "$served"
  wait "$served" || true
  ! owned || die "notification-daemon did not end"
  "$test_program" --gtest_filter='WithoutService.*' || status=1
  kill "$monitor"
  exit "$status"
fi

[ $# = 1 ] || { echo "usage: alert_notifier_test.sh TEST_PROGRAM" >&2; exit 2; }
[ -n "${DISPLAY:-}" ] || die "no DISPLAY (scripts/with-display gives one)"
for tool in dbus-run-session dbus-monitor dbus-send "$daemon"; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/packages/install test)"
done
ALERT_TEST_DIR=$(mktemp -d /tmp/alert_notifier_test.XXXXXX)
trap 'rm -rf "$ALERT_TEST_DIR"' EXIT
export ALERT_TEST_DIR ALERT_MONITOR_LOG="$ALERT_TEST_DIR/monitor.log"
# Only the bus's own policy: the system's service files would start a daemon on demand.
cat >"$ALERT_TEST_DIR/bus.conf" <<CONF
<busconfig>
  <type>session</type>
  <listen>unix:dir=$ALERT_TEST_DIR</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
timeout 100 dbus-run-session --config-file="$ALERT_TEST_DIR/bus.conf" -- "$0" --on-bus "$1"
