# shellcheck shell=bash disable=SC2034,SC2154  # sets $window for, and reads $rows of, its callers
# Steps on the X display that the whole-program and the package tests share; sourced.

# within <seconds> <command...>: true once the command succeeds, polling every 0.1 s; the
# seconds count $slow times where that is set (sanitizer builds run slower).
within() {
  local i
  for ((i = 0; i < $1 * 10 * ${slow:-1}; i++)); do
    "${@:2}" && return 0
    sleep 0.1
  done
  return 1
}
# titled <pid> <title regex>: a visible window of pid with such a title (its id in
# $window). Titles read one by one, since xdotool's --name misses those not Latin-1.
titled() {
  local w
  for w in $(xdotool search --onlyvisible --pid "$1" 2>/dev/null); do
    xdotool getwindowname "$w" 2>/dev/null | grep -qE "$2" && window=$w && return 0
  done
  return 1
}
gone() { ! kill -0 "$1" 2>/dev/null; }
# Real key presses (GTK ignores synthetic ones) after making the window active.
key_to() { xdotool windowactivate --sync "$1" >/dev/null 2>&1 && xdotool key "$2"; }
# replies <host>: the row probe's file $rows counts at least two replies (成功次数, the
# eighth field) on host's row.
replies() { awk -F'\t' -v host="$1" '$1 == host && $8 + 0 >= 2 { f = 1 } END { exit !f }' "$rows" 2>/dev/null; }
