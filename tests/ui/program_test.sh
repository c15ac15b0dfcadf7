#!/usr/bin/env bash
# Whole-program tests of the lumoret binary given as $1: single instance, shutdown,
# rights. Runs inside a private network namespace (tests/isolated), since the engine
# starts for real, on the X display in $DISPLAY with a window manager. Exit 77 = skip.
set -u
bin=$1

skip() {
  echo "program_test: $*; skipped"
  exit 77
}
[ -n "${DISPLAY:-}" ] || skip "no DISPLAY"
command -v xdotool >/dev/null || skip "xdotool is missing"
xdpyinfo >/dev/null 2>&1 || skip "cannot reach the display $DISPLAY"

# In sanitizer builds: no note about used suppressions on the stderr we check.
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}print_suppressions=0"

# Sanitizer builds start and end several times slower; the limits below are for the
# normal build.
slow=1
if ldd "$bin" 2>/dev/null | grep -qE 'lib(a|t)san'; then
  slow=4
fi

work=$(mktemp -d)
chmod 755 "$work"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

# A working directory with its own config.ini and its own runtime folder (the lock).
make_dir() {
  mkdir -p "$work/$1" "$work/$1.run"
  chmod 700 "$work/$1.run"
  printf '127.0.0.1\nnothing-here.invalid\n# the same host twice\n127.0.0.1\n' >"$work/$1/config.ini"
}

# start <dir> <runtime dir> [command prefix...]: the new pid in $started.
start() {
  local dir=$1 run=$2
  shift 2
  (cd "$work/$dir" && XDG_RUNTIME_DIR="$run" exec "$@" "$bin" >"$work/$dir.out" 2>"$work/$dir.err") &
  started=$!
  pids+=("$started")
}

# window_of <pid> <title regex> <seconds>: the visible window id in $window.
window_of() {
  local i
  window=
  for ((i = 0; i < $3 * 10 * slow; i++)); do
    window=$(xdotool search --all --onlyvisible --pid "$1" --name "$2" 2>/dev/null | head -n1)
    [ -n "$window" ] && return 0
    kill -0 "$1" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# ended <pid> <seconds>: true when it ended in time; its status in $status.
ended() {
  local i
  for ((i = 0; i < $2 * 20 * slow; i++)); do
    if ! kill -0 "$1" 2>/dev/null; then
      wait "$1"
      status=$?
      return 0
    fi
    sleep 0.05
  done
  return 1
}

active_pid() { xdotool getactivewindow getwindowpid 2>/dev/null; }

# wait_active <pid> <seconds>
wait_active() {
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    [ "$(active_pid)" = "$1" ] && return 0
    sleep 0.1
  done
  return 1
}

# key_to <window> <key>: real key presses (synthetic ones are ignored by GTK).
key_to() {
  xdotool windowactivate --sync "$1" >/dev/null 2>&1
  xdotool key "$2"
}

# No CAP_NET_RAW (bit 13) in the main thread's sets nor in any thread's effective set.
has_net_raw() {
  local pid=$1 set value task
  for set in CapInh CapPrm CapEff CapAmb; do
    value=$(awk -v s="$set:" '$1 == s { print $2 }' "/proc/$pid/status")
    (((0x$value >> 13) & 1)) && return 0
  done
  for task in /proc/"$pid"/task/*; do
    value=$(awk '$1 == "CapEff:" { print $2 }' "$task/status")
    (((0x$value >> 13) & 1)) && return 0
  done
  return 1
}

# --- a first instance: window, rights given up, stats moving
make_dir a
start a "$work/a.run"
a=$started
if window_of "$a" '^Lumoret$' 10; then
  pass "first instance shows its window"
else
  fail "no window titled Lumoret from the first instance"
  cat "$work/a.err"
  exit 1
fi
a_window=$window
if has_net_raw "$a"; then
  fail "CAP_NET_RAW left after the socket was opened"
  grep Cap "/proc/$a/status"
else
  pass "no CAP_NET_RAW left"
fi

# --- another window in front (an instance with a lock of its own), then a second start
make_dir b
start b "$work/b.run"
b=$started
window_of "$b" '^Lumoret$' 10 || fail "no window from the independent instance"
b_window=$window
xdotool windowactivate --sync "$b_window" >/dev/null 2>&1
wait_active "$b" 3 || fail "could not put another window in front"
t0=$(date +%s%N)
start a "$work/a.run"
second=$started
if ended "$second" 2 && [ "$status" = 0 ]; then
  pass "second start exits 0 within 2 s ($((($(date +%s%N) - t0) / 1000000)) ms)"
else
  fail "second start did not exit 0 within 2 s (status ${status:-none})"
fi
if kill -0 "$a" 2>/dev/null && wait_active "$a" 3; then
  pass "the first instance stays up with its window active"
else
  fail "the first instance's window did not come to the front (active pid $(active_pid))"
fi

# --- closing: Esc on one, the close box (the window manager's close) on the other
xdotool windowactivate --sync "$a_window" >/dev/null 2>&1
t0=$(date +%s%N)
xdotool key Escape
if ended "$a" 1 && [ "$status" = 0 ]; then
  pass "Esc closes the window and the process exits 0 within a second ($((($(date +%s%N) - t0) / 1000000)) ms)"
else
  fail "after Esc: not ended with 0 within a second (status ${status:-running})"
fi
key_to "$b_window" alt+F4
if ended "$b" 1 && [ "$status" = 0 ]; then
  pass "the close box ends the process with 0 within a second"
else
  fail "after the close box: not ended with 0 within a second (status ${status:-running})"
fi
for d in a b; do
  if [ -s "$work/$d.err" ]; then
    fail "a normal run wrote to stderr:"
    cat "$work/$d.err"
  fi
done

# --- the lock goes with the process: after a normal exit and after SIGKILL
start a "$work/a.run"
c=$started
if window_of "$c" '^Lumoret$' 10; then
  pass "a new start runs after the first has exited"
else
  fail "no window after the first instance exited"
fi
kill -9 "$c"
wait "$c" 2>/dev/null
start a "$work/a.run"
d=$started
if window_of "$d" '^Lumoret$' 10; then
  pass "a new start runs after the first was killed"
  key_to "$window" Return
  ended "$d" 2 && [ "$status" = 0 ] || fail "Enter did not end the process with 0"
else
  fail "no window after the first instance was killed"
fi

# --- a config.ini that cannot be read: a message naming the file
make_dir c
rm "$work/c/config.ini"
mkdir "$work/c/config.ini"
start c "$work/c.run"
c=$started
if window_of "$c" '^Lumoret: cannot start$' 10; then
  key_to "$window" Return
  if ended "$c" 3 && [ "$status" = 1 ] && grep -q 'config.ini' "$work/c.err"; then
    pass "an unreadable config.ini is reported and the program ends cleanly"
  else
    fail "unreadable config.ini: status ${status:-running}, stderr: $(cat "$work/c.err")"
  fi
else
  fail "no message about an unreadable config.ini"
fi

# The remaining cases change users, which only root can do.
if [ "$(id -u)" != 0 ] || ! setpriv --reuid=65534 --regid=65534 --clear-groups true 2>/dev/null; then
  echo "program_test: not root in this namespace; the cases of other users are skipped"
  exit $((failures > 0))
fi

# --- without the right to open raw sockets: a clear message, a clean end
make_dir n
chown 65534:65534 "$work/n" "$work/n.run"
# A copy carries no file capability that scripts/run may have given the build.
cp "$bin" "$work/n/lumoret"
bin=$work/n/lumoret
start n "$work/n.run" setpriv --reuid=65534 --regid=65534 --clear-groups
n=$started
if window_of "$n" '^Lumoret: cannot start$' 10; then
  pass "missing rights are reported in a message box"
  key_to "$window" Return
else
  fail "no message box about missing rights"; cat "$work/n.err" "$work/n.out"
fi
if ended "$n" 3 && [ "$status" = 1 ]; then
  pass "the program ends cleanly (status 1) after the message"
else
  fail "after the message: status ${status:-running}, expected 1"
fi
grep -q 'setcap cap_net_raw+ep' "$work/n.err" || fail "stderr does not name the remedy"
grep -q 'Operation not permitted' "$work/n.err" || fail "stderr does not name the cause"
bin=$1

# --- a plain user with the capability on the file: it leaves every set of the process
make_dir f
chown 65534:65534 "$work/f" "$work/f.run"
cp "$1" "$work/f/lumoret"
if setcap cap_net_raw+ep "$work/f/lumoret" 2>/dev/null; then
  bin=$work/f/lumoret
  start f "$work/f.run" setpriv --reuid=65534 --regid=65534 --clear-groups
  f=$started
  bin=$1
  if window_of "$f" '^Lumoret$' 10; then
    if has_net_raw "$f"; then
      fail "a setcap start keeps CAP_NET_RAW"
      grep Cap "/proc/$f/task/"*/status
    else
      pass "a setcap start gives CAP_NET_RAW up"
    fi
    key_to "$window" Escape
    ended "$f" 2 && [ "$status" = 0 ] || fail "the setcap start did not end with 0"
  else
    fail "no window from a setcap start"
    cat "$work/f.err"
  fi
else
  echo "program_test: cannot set file capabilities here; the setcap case is skipped"
fi

# --- started through sudo: the invoking user's ids before config.ini is created
make_dir s
rm "$work/s/config.ini"
chown 65534:65534 "$work/s"
start s "$work/s.run" env SUDO_UID=65534 SUDO_GID=65534
s=$started
if window_of "$s" '^Lumoret$' 15; then
  uids=$(awk '$1 == "Uid:" { print $2, $3, $4, $5 }' "/proc/$s/status")
  [ "$uids" = "65534 65534 65534 65534" ] || fail "uids after the switch: $uids"
  [ "$(stat -c %u "$work/s/config.ini" 2>/dev/null)" = 65534 ] ||
    fail "config.ini does not belong to the invoking user"
  has_net_raw "$s" && fail "CAP_NET_RAW left after the switch"
  pass "a sudo start runs as the invoking user"
  key_to "$window" Escape
  ended "$s" 2 && [ "$status" = 0 ] || fail "the sudo start did not end with 0"
else
  fail "no window from the sudo start"
  cat "$work/s.err"
fi

[ "$failures" = 0 ] && echo "program_test: all passed"
exit $((failures > 0))
