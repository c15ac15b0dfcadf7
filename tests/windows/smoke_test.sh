#!/usr/bin/env bash
# Smoke test of Lumoret.exe under Wine: its window comes up, the 127.0.0.1 row gets
# replies, Help and About sit in the window menu, the details window opens from the
# context menu, a second start gives way to the first, closing the window ends the
# process with status 0, and the history database in %LOCALAPPDATA%\Lumoret holds the
# row's probes. Leaves screenshot.png (the screen with the window) in RUN_DIR.
#   tests/windows/smoke_test.sh [--echo] RUN_DIR
# --echo: the short check of a start without raw-socket rights (run it as such a user, with
# ping_group_range opened in the namespace): the window comes up, says the echo mode when
# LUMORET_WINE_ECHO_TEXT names the text it shows, the 127.0.0.1 row gets replies, and
# closing the window ends the process with status 0.
# RUN_DIR holds Lumoret.exe, lumoret_probe.exe, lumoret_probe_hook.dll, ReadMe.txt and a
# config.ini listing 127.0.0.1 and ::1. The ::1 row must get replies too when
# LUMORET_WINE_IPV6=1 (Windows' ICMPv6 probing); off, as Wine 8 has none, the window must
# say why the row goes unprobed. Wine's prefix
# comes from the environment (WINEPREFIX and the rest, prepared by scripts/windows), WINE
# names the loader (default wine). Runs on the X display in $DISPLAY without a window
# manager (Wine draws its own desktop), inside a private network namespace with only
# loopback, and refuses to run anywhere else. scripts/windows runs it as
#   tests/isolated scripts/with-display --size 900x480 --no-wm -- tests/windows/smoke_test.sh RUN_DIR
set -u
# A failure leaves the screen as it was in failure.png and shows what Wine said.
fail() {
  echo "windows: FAILED: $*" >&2
  import -window root failure.png 2>/dev/null
  [ -f wine.log ] && tail -n 20 wine.log | sed 's/^/windows:   wine: /' >&2
  exit 1
}
step() { echo "windows:   $*"; }
echo_mode=0
[ "${1:-}" = --echo ] && echo_mode=1 && shift
if [ $# != 1 ] || [ ! -f "$1/Lumoret.exe" ]; then
  echo "usage: tests/windows/smoke_test.sh [--echo] RUN_DIR (with Lumoret.exe)" >&2
  exit 2
fi
wine=${WINE:-wine}
cd "$1" || exit 2
# Wine's own network calls must not leave the machine either.
[ -z "$(ip -o link show | awk -F': ' '$2 != "lo"')" ] ||
  fail "not in a private network namespace (links besides lo: tests/isolated)"
xdpyinfo >/dev/null 2>&1 || fail "no X display in DISPLAY='${DISPLAY:-}' (scripts/with-display)"

pids=()
# shellcheck disable=SC2317  # called by the trap
finish() {
  wineserver -k 2>/dev/null
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
}
trap finish EXIT

probe() { timeout 120 "$wine" lumoret_probe.exe "$@"; }
# The C locale, which Lumoret reads as its Chinese, the titles the probe looks for; with no
# locale variable at all it would follow Wine's system language.
unset LANGUAGE LC_ALL LC_MESSAGES
export LANG=C.UTF-8
# The prefix is kept between runs: only this run's history counts.
history_folders() { find "$WINEPREFIX/drive_c/users" -path '*/AppData/Local/Lumoret' -type d; }
history_folders | xargs -r rm -rf
"$wine" Lumoret.exe >wine.log 2>&1 &
first=$!
pids+=("$first")
probe window 120 || fail "no window titled Lumoret"
step "window titled Lumoret is up"
probe replies 60 127.0.0.1 >rows.txt || { cat rows.txt; fail "the 127.0.0.1 row got no replies"; }
sed 's/^/windows:     /' rows.txt
if [ "${LUMORET_WINE_IPV6:-0}" = 1 ]; then
  probe replies 30 ::1 >/dev/null || fail "the ::1 row got no replies"
  step "the ::1 row got replies"
else
  # Wine 8 has no ICMPv6 probing: the window must say why the row stays unprobed.
  probe text 30 "不探测 IPv6 主机" >texts.txt ||
    { cat texts.txt; fail "the window does not say why ::1 goes unprobed"; }
  step "the window says why the ::1 row goes unprobed"
fi
import -window root screenshot.png || fail "screenshot"

# A known fault not yet found: in some runs (2 of 5 on x86_64, 2 of 3 on i686 under
# qemu, as often with a build of 1f0cf26 as with today's) the process faults inside
# ntdll's heap code after the window has closed, as it ends: a write to 8000000E,
# 80000012 or 0. With LUMORET_WINE_EXIT_FAULT=note (scripts/windows' default) such a fault
# after the close is printed as a note and the run goes on to the history check; with
# LUMORET_WINE_EXIT_FAULT=fail it fails the run. A fault before the close always fails.
exit_fault_noted() {
  [ "${LUMORET_WINE_EXIT_FAULT:-fail}" = note ] &&
    grep -q 'Unhandled page fault on write access' wine.log
}
# Waits for the end of the first instance, which must end with status 0.
closed() {
  ! grep -q 'Unhandled' wine.log || { cat wine.log >&2; fail "a fault before the window closed"; }
  probe close || fail "closing the window"
  for _ in $(seq 600); do
    kill -0 "$first" 2>/dev/null || break
    if exit_fault_noted; then
      step "NOTE: the window closed, then the process faulted as it ended (known, not yet found):"
      grep 'Unhandled' wine.log | sed 's/^/windows:     /'
      wineserver -k 2>/dev/null
      wait "$first" 2>/dev/null
      return 0
    fi
    sleep 0.1
  done
  kill -0 "$first" 2>/dev/null && fail "Lumoret.exe still runs a minute after its window closed"
  wait "$first"
  status=$?
  [ "$status" = 0 ] || { cat wine.log >&2; fail "Lumoret.exe exited with $status"; }
  step "window closed: Lumoret.exe exited 0"
}
if [ "$echo_mode" = 1 ]; then
  if [ -n "${LUMORET_WINE_ECHO_TEXT:-}" ]; then
    probe text 30 "$LUMORET_WINE_ECHO_TEXT" >texts.txt ||
      { cat texts.txt; fail "the window does not say '$LUMORET_WINE_ECHO_TEXT'"; }
    step "the window says '$LUMORET_WINE_ECHO_TEXT'"
  fi
  closed
  exit 0
fi
probe help 60 >notepad.txt || { cat notepad.txt; fail "Help in the window menu"; }
step "window menu: Help opens ReadMe.txt in Notepad"
probe about 60 || fail "About in the window menu"
step "window menu: About opens the About box, Esc closes it"
probe details 60 || fail "details window from the context menu"
step "context menu: the first row's details window opens, and closes again"

# A second start, while another program has the foreground, gives way and brings the
# first window to the front.
"$wine" notepad.exe >/dev/null 2>&1 &
other=$!
pids+=("$other")
for _ in $(seq 100); do probe foreground 0 >/dev/null 2>&1 || break; sleep 0.2; done
probe foreground 0 >/dev/null 2>&1 && fail "Notepad did not take the foreground"
start=$(date +%s)
timeout 120 "$wine" Lumoret.exe >/dev/null 2>&1
status=$?
[ "$status" = 0 ] || fail "a second start exited with $status"
kill -0 "$first" 2>/dev/null || fail "the first instance ended with the second"
probe foreground 10 || fail "the first window did not come to the front"
step "second start exited 0 after $(($(date +%s) - start))s; the first window came to the front"
kill "$other" 2>/dev/null
probe replies 30 >/dev/null || fail "replies stopped"

closed
db=$(history_folders | head -n 1)/history.sqlite3
[ -f "$db" ] || fail "no history database in the user's AppData\\Local\\Lumoret"
probes=$(sqlite3 -readonly "$db" \
  "SELECT coalesce(sum(probe_count), 0) FROM probe_minutes WHERE host = '127.0.0.1'") ||
  fail "history database unreadable"
[ "${probes:-0}" -gt 0 ] || fail "the history database holds no probe of 127.0.0.1"
step "history: $probes probes of 127.0.0.1 kept in $(basename "$(dirname "$db")")\\history.sqlite3"
