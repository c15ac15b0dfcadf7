#!/usr/bin/env bash
# The engine's counts under Wine: engine_run.exe probes 200 hosts of the test network
# (127.0.1.1 to 127.0.1.200, this namespace's loopback) for SECONDS in each MODE, and every
# host must have had a reply to every request but the last one (still open at the stop)
# and no timeout. With both modes, every host's request count must also agree between
# them within one.
#   tests/windows/count_test.sh RUN_DIR SECONDS MODE...
# MODE is raw (as root: Winsock's raw socket) or echo (as the user nobody, without
# raw-socket rights: the system's echo API, for which this namespace's
# net.ipv4.ping_group_range is opened, as Wine's echo functions need). RUN_DIR holds
# engine_run.exe; the runs' output is left there as MODE.csv. Wine prefixes come from the
# environment: WINEPREFIX for root's, USER_WINEPREFIX (owned by nobody, with USER_HOME its
# home) for the echo mode, and WINE names the loader. Runs inside a private network namespace with only loopback,
# and refuses to run anywhere else: scripts/windows runs it as
#   tests/isolated tests/windows/count_test.sh RUN_DIR SECONDS raw echo
set -u
fail() { echo "windows: FAILED: $*" >&2; exit 1; }
step() { echo "windows:   $*"; }
if [ $# -lt 3 ] || [ ! -f "$1/engine_run.exe" ]; then
  echo "usage: tests/windows/count_test.sh RUN_DIR SECONDS raw|echo... (with engine_run.exe)" >&2
  exit 2
fi
run_dir=$1 seconds=$2
shift 2
[ -z "$(ip -o link show | awk -F': ' '$2 != "lo"')" ] ||
  fail "not in a private network namespace (links besides lo: tests/isolated)"
cd "$run_dir" || exit 2
wine=${WINE:-wine}
for i in $(seq 1 200); do echo "127.0.1.$i"; done >config.ini
# Only this run's modes are compared.
rm -f raw.csv echo.csv
# The engine's own bound: its run, plus Wine's start and end.
limit=$((seconds + 120))

run_mode() { # mode
  local as=() socket=raw
  if [ "$1" = echo ]; then
    # Wine would lend the user a raw socket that finds few replies (README).
    socket=datagram
    [ -n "${USER_WINEPREFIX:-}" ] || fail "no USER_WINEPREFIX for the echo mode"
    echo "0 2147483647" >/proc/sys/net/ipv4/ping_group_range || fail "opening ping_group_range"
    as=(setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all
      env WINEPREFIX="$USER_WINEPREFIX" HOME="${USER_HOME:-$USER_WINEPREFIX}")
  fi
  local started=$SECONDS
  # Windows ends its lines with CR LF.
  "${as[@]}" timeout "$limit" "$wine" engine_run.exe --socket $socket "$seconds" 2>"$1.err" | tr -d '\r' >"$1.csv"
  local status=${PIPESTATUS[0]}
  "${as[@]}" timeout 30 wineserver -k 2>/dev/null
  [ "$status" = 0 ] || { cat "$1.err" >&2; fail "engine_run.exe in $1 mode exited with $status"; }
  local mode
  mode=$(sed -n 's/^#mode,//p' "$1.csv")
  case "$1:$mode" in
    raw:raw | echo:datagram) ;;
    *) fail "the $1 run probed in mode '$mode'" ;;
  esac
  # Every host: requests - replies is 0 or 1, no timeout.
  awk -F, -v mode="$1" '
    /^#/ || NR == 1 { next }
    { hosts++; sent += $4; replies += $5
      if ($4 - $5 > 1 || $4 - $5 < 0 || $6 != 0 || $4 < 2) {
        bad++; if (bad <= 5) print "windows:   " mode ": " $2 " sent " $4 ", replies " $5 ", timeouts " $6 }
    }
    END { print "windows:   " mode ": " hosts " hosts, " sent " requests, " replies " replies"
      exit (hosts == 200 && bad == 0) ? 0 : 1 }' "$1.csv" ||
    fail "$1 mode: not every host had its replies"
  step "$1 mode ($mode): engine_run.exe ran $((SECONDS - started)) s"
}

for mode in "$@"; do
  case "$mode" in
    raw | echo) run_mode "$mode" ;;
    *) fail "unknown mode $mode" ;;
  esac
done
if [ -f raw.csv ] && [ -f echo.csv ]; then
  # Per host, raw against echo: the request counts differ by one at most.
  awk -F, '
    FNR == 1 || /^#/ { next }
    FILENAME == ARGV[1] { raw[$2] = $4; next }
    { d = $4 - raw[$2]; if (d < -1 || d > 1) { bad++; if (bad <= 5) print "windows:   " $2 ": raw " raw[$2] ", echo " $4 } }
    END { exit bad > 0 }' raw.csv echo.csv || fail "the modes' request counts differ by more than one"
  step "raw and echo modes: every host's requests agree within one"
fi
