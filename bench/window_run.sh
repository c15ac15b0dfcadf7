# shellcheck shell=bash disable=SC2034  # sets $window for its callers
# Steps of the benchmarks that drive the real window (bench/gui, bench/alerts); sourced.

# Milliseconds since the epoch, without starting a process.
now_ms() { local t=${EPOCHREALTIME/./}; echo $((t / 1000)); }

# cpu_ticks <stat file>: user + system CPU in clock ticks, from /proc/PID/stat (the whole
# process) or /proc/PID/task/TID/stat (one thread; the GUI thread's id is the process's).
cpu_ticks() {
  local stat
  read -r -a stat <"$1"
  echo $((stat[13] + stat[14]))
}

# ms_per_s <ticks> <seconds>: CPU milliseconds a second.
ms_per_s() {
  awk -v d="$1" -v hz="$(getconf CLK_TCK)" -v s="$2" 'BEGIN { printf "%.1f", d * 1000 / hz / s }'
}

# wait_window <start ms>: the program's visible window titled "Lumoret" (its id in
# $window); fails after 120 s from start.
wait_window() {
  window=
  while [ -z "$window" ]; do
    window=$(xdotool search --onlyvisible --name '^Lumoret$' 2>/dev/null | head -n1) || true
    [ $(($(now_ms) - $1)) -lt 120000 ] || { echo "no window after 120 s" >&2; return 1; }
  done
}

# close_window <pid> <window>: Esc on the window, then waits up to 120 s for the process
# to end; prints "close_ms N" (from the key to the end) or "close_ms timeout".
close_window() {
  local t0
  xdotool windowactivate --sync "$2" >/dev/null 2>&1 || true
  t0=$(now_ms)
  xdotool key Escape
  while kill -0 "$1" 2>/dev/null && [ $(($(now_ms) - t0)) -lt 120000 ]; do sleep 0.01; done
  if kill -0 "$1" 2>/dev/null; then echo "close_ms timeout"; else echo "close_ms $(($(now_ms) - t0))"; fi
}
