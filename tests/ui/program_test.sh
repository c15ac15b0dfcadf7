#!/usr/bin/env bash
# shellcheck disable=SC2015,SC2317  # A && pass || fail is meant; helpers run through within
# Whole-program tests of the lumoret binary given as $1 with its ICMP helper $2: single
# instance, shutdown and quit signals, rights (raw sockets through the helper, or datagram
# sockets), code loaded through GTK_MODULES (the socket probe $3 and the row probe $4),
# a huge config.ini, the command line, a missing display and the window's language. Runs inside a private network
# namespace (tests/isolated), since the engine starts for real, on the X display in
# $DISPLAY with a window manager. Exit 77 = skip. The rules of single parts (target list
# refusals, the name progress window, file writing and a full disk) have C++ tests.
set -u
bin=$1
helper=$2
socket_probe=$3
row_probe=$4
skip() { echo "program_test: $*; skipped" && exit 77; }
[ -n "${DISPLAY:-}" ] || skip "no DISPLAY"
command -v xdotool >/dev/null || skip "xdotool is missing"
xdpyinfo >/dev/null 2>&1 || skip "cannot reach the display $DISPLAY"
# In sanitizer builds: no note about used suppressions on the stderr we check.
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}print_suppressions=0"
# Sanitizer builds start and end several times slower; the limits are for the normal one.
slow=1
sanitized=0
ldd "$bin" 2>/dev/null | grep -qE 'lib(a|t)san' && slow=4 && sanitized=1

# The C locale: the window's Chinese, and its messages' (the window's language has its own
# part).
unset LANGUAGE LC_ALL LC_MESSAGES
export LANG=C.UTF-8
work=$(mktemp -d)
chmod 755 "$work"
trap 'kill -9 $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" && failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

# shellcheck source=tests/common/window_steps.sh
source "$(dirname "$0")/../common/window_steps.sh"
active() { [ "$(xdotool getactivewindow getwindowpid 2>/dev/null)" = "$1" ]; }

# CAP_NET_RAW (bit 13) in any set of any thread: effective, permitted, inheritable,
# ambient and bounding (the tests run as root, which may change the bounding set).
has_net_raw() {
  local v
  while read -r v; do
    (((0x$v >> 13) & 1)) && return 0
  done < <(awk '/^Cap(Inh|Prm|Eff|Amb|Bnd):/ { print $2 }' /proc/"$1"/task/*/status)
  return 1
}

# copy_program <dir>: the program and its helper as the build tree lays them out, in
# $work/<dir>.prog, without any file capability scripts/run may have given the build; the
# program's path in $copy.
copy_program() {
  mkdir -p "$work/$1.prog/ui" "$work/$1.prog/icmp_helper"
  cp "$bin" "$work/$1.prog/ui/lumoret"
  cp "$helper" "$work/$1.prog/icmp_helper/lumoret-icmp"
  cp -r "$(dirname "$bin")/../share" "$work/$1.prog/"
  copy=$work/$1.prog/ui/lumoret
}

# make_dir <dir> [owner]: a working directory with its own config.ini, its own runtime
# folder (the lock) and history store (never the user's; runs as nobody write it too).
# The host text that is not UTF-8 must not make the toolkit complain on stderr.
make_dir() {
  mkdir -p "$work/$1" "$work/$1.run" "$work/$1.data" && chmod 700 "$work/$1.run"
  chmod 1777 "$work/$1.data"
  printf '127.0.0.1\nnothing-here.invalid\n# the same host twice\n127.0.0.1\nbad-\377\300\n' \
    >"$work/$1/config.ini"
  [ -z "${2:-}" ] || chown "$2" "$work/$1" "$work/$1.run"
}

# start <dir> [command prefix...]: $bin run there with its lock; the pid in $pid.
start() {
  local dir=$1
  (cd "$work/$dir" && XDG_RUNTIME_DIR="$work/$dir.run" XDG_DATA_HOME="$work/$dir.data" \
    XDG_CONFIG_HOME="$work/$dir.config" \
    exec "${@:2}" "$bin" >>"$work/$dir.out" 2>>"$work/$dir.err") &
  pid=$!
}

# shows <title regex> <what>: $pid shows such a window (its id in $window) within 15 s.
shows() {
  within 15 titled "$pid" "$1" && pass "$2" && return 0
  fail "$2: no window matching '$1'" && cat "$work"/*.err
  return 1
}

# ends <pid> <seconds> <status, or - for any> <what>: the process ends in time with that
# status.
ends() {
  within "$2" gone "$1" || { fail "$4: still running after $2 s" && return 1; }
  wait "$1"
  local s=$?
  [ "$3" = - ] || [ "$s" = "$3" ] && pass "$4" || fail "$4: status $s"
}

# --- the command line, and no display: an answer or one line, and an end at once
make_dir o
rm "$work/o/config.ini"
# answers <option> <stdout's first line>: status 0, nothing on stderr, no config.ini made.
answers() {
  (cd "$work/o" && timeout 5 "$bin" "$1" >"$work/o.out" 2>"$work/o.err")
  local s=$?
  [ "$s" = 0 ] && [ "$(head -n1 "$work/o.out")" = "$2" ] && [ ! -s "$work/o.err" ] &&
    [ ! -e "$work/o/config.ini" ] && pass "$1 answers" || fail "$1: status $s, '$(cat "$work/o.out" "$work/o.err")'"
}
answers --version "Lumoret $(sed -n '1s/^lumoret (\([0-9.]*\)).*/\1/p' "$(dirname "$0")/../../debian/changelog")"
answers --help "用法：lumoret [--metrics-listen [主机]:端口] | --help | --version"
LANGUAGE=en answers --help "Usage: lumoret [--metrics-listen [HOST]:PORT] | --help | --version"
for option in --metrics-listen --metrics-listen=; do
  (cd "$work/o" && timeout 5 "$bin" $option >/dev/null 2>"$work/o.err")
  s=$?
  [ "$s" = 2 ] && grep -q "^lumoret: --metrics-listen 需要一个地址" "$work/o.err" &&
    pass "$option without an address: one line and status 2" ||
    fail "$option without an address: status $s, '$(cat "$work/o.err")'"
done
make_dir o
for display in "" ":1999"; do
  (cd "$work/o" && XDG_RUNTIME_DIR="$work/o.run" XDG_DATA_HOME="$work/o.data" timeout 10 \
    env -u WAYLAND_DISPLAY -u DISPLAY ${display:+DISPLAY=$display} "$bin" 2>"$work/o.err")
  s=$?
  [ "$s" = 1 ] && [ "$(wc -l <"$work/o.err")" = 1 ] &&
    grep -q "没有设置 DISPLAY\|无法打开显示 $display" "$work/o.err" &&
    pass "display '${display}': one line and status 1" ||
    fail "display '${display}': status $s, stderr: $(cat "$work/o.err")"
done

# --- a first instance: its window, and no CAP_NET_RAW once the socket is open
make_dir a
start a
a=$pid
shows '^Lumoret$' "the first instance shows its window" || exit 1
a_window=$window
has_net_raw "$a" && fail "CAP_NET_RAW left in a thread" && grep Cap /proc/"$a"/task/*/status

# --- the window's language: its column titles, English under LANGUAGE=en or an English
# locale, today's Chinese under the C locale
make_dir l
titles=$work/l.run/titles
# titled_in <what> <expected titles> <env...>: the window started so shows those titles.
titled_in() {
  rm -f "$titles"
  start l env "${@:3}" GTK_MODULES="$row_probe" LUMORET_TITLES="$titles"
  shows '^Lumoret$' "$1: the window comes up" || { kill -9 "$pid" && wait "$pid"; return; }
  within 10 test -s "$titles" && [ "$(head -n1 "$titles")" = "$2" ] &&
    pass "$1: the column titles read '$2'" || fail "$1: column titles '$(cat "$titles" 2>/dev/null)'"
  key_to "$window" Escape
  ends "$pid" 5 0 "$1: closes"
}
english=$'Host\tAverage\tLast\tMax\tMin\tLoss\tSent\tReplies\tTimeouts'
chinese=$'IP或域名\t平均延迟\t当前延迟\t最大延迟\t最小延迟\t丢包率\tping总数\t成功次数\t超时次数'
titled_in "LANGUAGE=en" "$english" LANGUAGE=en LANG=C
titled_in "LANG=en_US.UTF-8" "$english" -u LANGUAGE -u LC_ALL -u LC_MESSAGES LANG=en_US.UTF-8
titled_in "the C locale" "$chinese" -u LANGUAGE LC_ALL=C

# --- another instance (a lock of its own) in front, then a second start of the first
make_dir b
start b
b=$pid
shows '^Lumoret$' "an instance with a lock of its own runs beside it"
b_window=$window
xdotool windowactivate --sync "$b_window" >/dev/null 2>&1
within 3 active "$b" || fail "could not put another window in front"
start a
ends "$pid" 2 0 "a second start exits 0 within 2 s"
kill -0 "$a" && within 3 active "$a" && pass "the first instance stays up with its window active" ||
  fail "the first instance's window is not active"

# --- closing: Esc on one, the window manager's close box on the other
key_to "$a_window" Escape
ends "$a" 1 0 "Esc closes the window and the process exits 0 within a second"
key_to "$b_window" alt+F4
ends "$b" 1 0 "the close box ends the process with 0 within a second"

# --- --metrics-listen: the window's hosts on /metrics; /-/reload re-reads config.ini on the
# GUI thread (200, or 500 with the reason); a port in use leaves the window running. A fixed
# port: this namespace is the test's own.
metrics=127.0.0.1:19067
scrape() { curl -sS --max-time 10 "$@" 2>&1; }
make_dir m
(cd "$work/m" && XDG_RUNTIME_DIR="$work/m.run" XDG_DATA_HOME="$work/m.data" \
  XDG_CONFIG_HOME="$work/m.config" exec "$bin" --metrics-listen "$metrics" \
  >>"$work/m.out" 2>>"$work/m.err") &
m=$!
pid=$m
if shows '^Lumoret$' "a window with --metrics-listen"; then
  m_window=$window
  within 5 eval 'scrape http://$metrics/metrics | grep -q "host=\"127.0.0.1\""' &&
    pass "/metrics lists the window's hosts" || fail "/metrics on $metrics lacks host 127.0.0.1"
  printf '127.0.0.2\n' >>"$work/m/config.ini"
  [ "$(scrape -o /dev/null -w '%{http_code}' -X POST "http://$metrics/-/reload")" = 200 ] &&
    grep -q 'host="127.0.0.2"' <(scrape "http://$metrics/metrics") &&
    pass "/-/reload in the window: 200 and the new host on /metrics" ||
    fail "/-/reload in the window: not 200, or the new host is not on /metrics"
  head -c 70000 /dev/zero | tr '\0' a >"$work/m/config.ini"
  answer=$(scrape -w ' %{http_code}' -X POST "http://$metrics/-/reload")
  [[ "$answer" == *config.ini*" 500" ]] && pass "a reload of an unusable config.ini: 500 and why" ||
    fail "a reload of an unusable config.ini answered '$answer'"
  # A second window (a lock of its own) on the same port: it runs, and says why not.
  make_dir n
  (cd "$work/n" && XDG_RUNTIME_DIR="$work/n.run" XDG_DATA_HOME="$work/n.data" \
    XDG_CONFIG_HOME="$work/n.config" exec "$bin" --metrics-listen "$metrics" \
    >>"$work/n.out" 2>>"$work/n.err") &
  pid=$!
  if shows '^Lumoret$' "a window whose port is in use runs"; then
    grep -q "cannot listen on $metrics: Address already in use" "$work/n.err" &&
      pass "the port in use is said" || fail "port in use: stderr '$(cat "$work/n.err")'"
    key_to "$window" Escape
    ends "$pid" 2 0 "the window without its port ends with 0"
  fi
  key_to "$m_window" Escape
  ends "$m" 2 0 "the window with its endpoint ends with 0 within 2 s"
fi

# --- a first instance that does not answer: later starts still end at once
start a
shows '^Lumoret$' "a first instance for the stuck case"
kill -STOP "$pid"
stuck=$pid
for i in $(seq 10); do
  start a
  ends "$pid" 3 0 "start $i against a stopped first instance exits 0" || break
done
kill -CONT "$stuck"
# --- quit signals close the window in order, with status 0 (and with dialogs open, below)
kill -TERM "$stuck"
ends "$stuck" 2 0 "SIGTERM closes the program with status 0"

# quit_over <signal> <what is open> <its title, or none> <keys...>: opened by the keys in the
# context menu, it is there when the signal comes; the program ends with 0 within a second,
# in order (nothing on stderr), and gives the lock up.
quit_over() {
  start a env GSETTINGS_BACKEND=memory
  shows '^Lumoret$' "a window to open $2 in" || return
  key_to "$window" Menu && sleep 0.5 && { [ $# -lt 4 ] || xdotool key "${@:4}"; }
  [ -z "$3" ] || within 5 titled "$pid" "$3" || fail "$2 did not open"
  sleep 0.5
  : >"$work/a.err"
  kill -"$1" "$pid"
  ends "$pid" 1 0 "SIG$1 with $2 open ends the program with 0 within a second"
  [ -s "$work/a.err" ] && fail "SIG$1 over $2: $(cat "$work/a.err")"
}
quit_over TERM "the About box" '^关于 Lumoret$' Up Return
quit_over INT "the export's file dialog" '^导出为 CSV$' e
quit_over HUP "the context menu" ""
start a
shows '^Lumoret$' "the lock was released after the signals"
main=$window

# --- details windows close alone: Alt+F4 (the close box's way) and Esc
open_details() {
  # A double click on the first row; again should the toolkit take it for single ones.
  for _ in 1 2 3; do
    xdotool windowactivate --sync "$main" >/dev/null 2>&1
    xdotool mousemove --window "$main" 40 64 sleep 0.3 click --repeat 2 --delay 100 1
    within 1 titled "$pid" '详细信息' && return 0
  done
  fail "no details window opened"
  return 1
}
for key in alt+F4 Escape; do
  open_details || break
  details=$window
  key_to "$details" "$key"
  if within 1 bash -c "! xdotool search --onlyvisible --class lumoret | grep -qx $details"; then
    pass "$key closes the details window"
  else
    fail "$key left the details window open"
  fi
  kill -0 "$pid" 2>/dev/null && titled "$pid" '^Lumoret$' && pass "and only the details window" ||
    fail "$key in the details window closed the program"
done
# --- the lock goes with a process killed outright (a normal exit's is above)
kill -9 "$pid" && wait "$pid" 2>/dev/null
start a
shows '^Lumoret$' "a new start runs after the first was killed" && key_to "$window" Return
ends "$pid" 2 0 "Enter in the main window still ends the program with 0"
for d in a b; do
  [ -s "$work/$d.err" ] && fail "a normal run wrote to stderr:" && cat "$work/$d.err"
done

# --- a quit while a huge config.ini is read (1 GiB of empty lines, a sparse file of
# 64 MiB): the program ends within a second
make_dir q
perl -e 'open(my $f, ">", $ARGV[0]) or die; for (my $o = 65535; $o < 2**30; $o += 65536) {
  seek($f, $o, 0); print $f "\n" }' "$work/q/config.ini"
start q
sleep 0.3
kill -TERM "$pid"
ends "$pid" 1 0 "SIGTERM while a 1 GiB config.ini is read ends the program within a second"
rm -f "$work/q/config.ini"

# The remaining cases change users, which only root can do.
nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
if [ "$(id -u)" != 0 ] || ! "${nobody[@]}" true 2>/dev/null; then
  echo "program_test: not root in this namespace; the cases of other users are skipped"
  exit $((failures > 0))
fi

# --- without the right to open raw sockets, and no ICMP datagram sockets allowed to the
# user (the namespace's ping_group_range admits nobody): a clear message, a clean end
echo "1 0" >/proc/sys/net/ipv4/ping_group_range
make_dir n 65534:65534
copy_program n
bin=$copy start n "${nobody[@]}"
if shows '^Lumoret: 无法启动$' "missing rights are reported in a message box"; then
  eval "$(xdotool getwindowgeometry --shell "$window")"
  # Wrapped to a readable width, not one line as wide as the screen.
  ((WIDTH <= 800)) && pass "the message box is $WIDTH pixels wide" ||
    fail "the message box is $WIDTH pixels wide"
  key_to "$window" Return
fi
ends "$pid" 3 1 "the program ends cleanly (status 1) after the message"
# In the window's language (Chinese here), the system's cause in the system's.
grep -q 'setcap cap_net_raw+ep' "$work/n.err" && grep -q 'ping_group_range=' "$work/n.err" &&
  grep -q '无法启动：无法打开 ICMP 套接字：Operation not permitted' "$work/n.err" ||
  fail "stderr names not both remedies and the cause: $(cat "$work/n.err")"

# --- ICMP datagram sockets open to every group, and code of the user's choosing loaded
# into the program through GTK_MODULES: it finds no raw socket in the program, which
# probes all the same. With no right anywhere (on datagram sockets), with the right on
# the helper alone (the helper comes first), then on the program too, as an earlier
# setcap left it.
echo "0 2147483647" >/proc/sys/net/ipv4/ping_group_range
make_dir c 65534:65534
printf '127.0.0.1\n' >"$work/c/config.ini"
copy_program c
cp "$socket_probe" "$work/c.prog/socket_probe.so"
cp "$row_probe" "$work/c.prog/row_probe.so"
rows=$work/c.run/rows
# no_raw_socket <sockets file> <what>: the socket probe in the program wrote there that
# it found no raw socket.
no_raw_socket() {
  within 3 test -s "$1" && [ "$(cat "$1")" = "raw 0 hdrincl 0" ] &&
    pass "$2: code in the program finds no raw socket" ||
    fail "$2: the socket probe found '$(cat "$1" 2>/dev/null)', not raw 0 hdrincl 0"
}
# Each run: whether a helper stays beside the program, and where the right is.
for run in "0 no right" "1 the right on the helper" "1 the right on the helper and the program"; do
  where=${run#* }
  [ "$where" != "the right on the helper" ] || setcap cap_net_raw+ep "$work/c.prog/icmp_helper/lumoret-icmp"
  [ "$where" != "the right on the helper and the program" ] || setcap cap_net_raw+ep "$copy"
  rm -f "$work/c.run/sockets" "$rows"
  bin=$copy start c "${nobody[@]}" env GTK_MODULES="$work/c.prog/socket_probe.so:$work/c.prog/row_probe.so" \
    LUMORET_SOCKETS="$work/c.run/sockets" LUMORET_ROWS="$rows"
  if ! shows '^Lumoret$' "$where: the window comes up"; then
    kill -9 "$pid" && wait "$pid"
    continue
  fi
  within 10 replies 127.0.0.1 && pass "$where: replies" ||
    fail "$where: no replies: $(cat "$rows" 2>/dev/null)"
  no_raw_socket "$work/c.run/sockets" "$where"
  [ "$(pgrep -c -P "$pid" -x lumoret-icmp)" = "${run%% *}" ] ||
    fail "$where: $(pgrep -c -P "$pid" -x lumoret-icmp) helpers beside the program"
  key_to "$window" Escape
  # A sanitizer cannot read its options (and suppressions) in a process that started with
  # a file capability: its reports on the toolkit and Boost then decide the status.
  status=0
  [ "$where" = "the right on the helper and the program" ] && [ "$sanitized" = 1 ] && status=-
  ends "$pid" 3 "$status" "$where: closes cleanly"
done

# --- started through sudo: the invoking user's ids before config.ini is created
make_dir s 65534:65534
rm "$work/s/config.ini"
start s env SUDO_UID=65534 SUDO_GID=65534 GTK_MODULES="$work/c.prog/socket_probe.so" \
  LUMORET_SOCKETS="$work/s.run/sockets"
uids() { awk '$1 == "Uid:" { print $2, $3, $4, $5 }' "/proc/$1/status"; }
if shows '^Lumoret$' "a sudo start runs"; then
  [ "$(uids "$pid")" = "65534 65534 65534 65534" ] || fail "uids after the switch: $(uids "$pid")"
  [ "$(stat -c %u "$work/s/config.ini")" = 65534 ] || fail "config.ini is not the invoking user's"
  has_net_raw "$pid" && fail "CAP_NET_RAW left after the switch"
  no_raw_socket "$work/s.run/sockets" "a sudo start"
  helper_pid=$(pgrep -P "$pid" -x lumoret-icmp)
  [ -n "$helper_pid" ] && [ "$(uids "$helper_pid")" = "65534 65534 65534 65534" ] ||
    fail "the helper of a sudo start is not the invoking user's"
  key_to "$window" Escape
  ends "$pid" 2 0 "the sudo start ends with 0"
fi
start s env SUDO_UID=65534 SUDO_GID=x
if shows '^Lumoret: 无法启动$' "a bad SUDO_GID is reported, not run as root"; then
  has_net_raw "$pid" && fail "CAP_NET_RAW kept after a failed switch"
  key_to "$window" Return
fi
ends "$pid" 3 1 "a bad SUDO_GID ends with status 1"

[ "$failures" = 0 ] && echo "program_test: all passed"
exit $((failures > 0))
