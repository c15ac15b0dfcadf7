#!/usr/bin/env bash
# The installer under Wine, as an administrator deploys it and a user starts it: a silent
# install puts Lumoret.exe, its ReadMes, LICENSE.txt, config.sample.ini and the
# uninstaller in Program Files, with a Start-menu entry and an Add or Remove Programs
# entry; a start through that entry works in the user's %APPDATA%\Lumoret, whose
# config.ini is copied from the installed sample, gets 127.0.0.1 replies and finds Help's
# ReadMe.txt beside the program; a silent uninstall leaves Program Files, the Start menu
# and the registry clean and keeps the user's config.ini and history.
#   tests/windows/installer_test.sh INSTALLER PROBE_DIR
# PROBE_DIR holds lumoret_probe.exe and lumoret_probe_hook.dll for Lumoret.exe's
# architecture. Wine's prefix comes from the environment (prepared by scripts/windows);
# runs on the X display in $DISPLAY without a window manager, inside a private network
# namespace with only loopback, and refuses to run anywhere else. The installed sample is
# edited to list 127.0.0.1 only, as an administrator may edit it, so that the start
# probes no public host (it could not reach one here anyway). scripts/windows runs it as
#   tests/isolated scripts/with-display --size 900x480 --no-wm -- \
#     tests/windows/installer_test.sh INSTALLER PROBE_DIR
set -u
work=$(mktemp -d /tmp/lumoret-installer.XXXXXX)
# A failure leaves the screen as it was in failure.png (beside the installer) and shows
# what Wine said.
fail() {
  echo "windows: FAILED: installer: $*" >&2
  import -window root "$out/failure-installer.png" 2>/dev/null
  [ -f "$work/wine.log" ] && tail -n 20 "$work/wine.log" | sed 's/^/windows:   wine: /' >&2
  exit 1
}
step() { echo "windows:   installer: $*"; }
if [ $# != 2 ] || [ ! -f "$1" ] || [ ! -f "$2/lumoret_probe.exe" ]; then
  echo "usage: tests/windows/installer_test.sh INSTALLER PROBE_DIR (with lumoret_probe.exe)" >&2
  exit 2
fi
installer=$(realpath "$1")
out=$(dirname "$installer")
cd "$2" || exit 2
[ -z "$(ip -o link show | awk -F': ' '$2 != "lo"')" ] ||
  fail "not in a private network namespace (links besides lo: tests/isolated)"
xdpyinfo >/dev/null 2>&1 || fail "no X display in DISPLAY='${DISPLAY:-}' (scripts/with-display)"
[ -d "${WINEPREFIX:-}/drive_c" ] || fail "no Wine prefix in WINEPREFIX='${WINEPREFIX:-}'"

pids=()
# shellcheck disable=SC2317  # called by the trap
finish() {
  wineserver -k 2>/dev/null
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap finish EXIT
started=$(date +%s)
elapsed() { echo "$(($(date +%s) - started))s"; }

# Wine would copy the Start-menu entry into this machine's own desktop menu.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}winemenubuilder.exe=d"
# The loader of the installer's architecture, as scripts/windows names it.
wine=${WINE:-wine}
probe() { timeout 120 "$wine" lumoret_probe.exe "$@"; }
unset LANGUAGE LC_ALL LC_MESSAGES
export LANG=C.UTF-8
drive=$WINEPREFIX/drive_c
menu_entry="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/Lumoret.lnk"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Lumoret'
# The registry view the installer writes: a 64-bit one's, or a 32-bit one's (redirected
# under WOW6432Node in a 64-bit prefix).
view=/reg:32
file -b "$installer" | grep -q '^PE32+' && view=/reg:64
uninstall_entry() { timeout 120 "$wine" reg query "$uninstall_key" "$view" "$@" >>"$work/wine.log" 2>&1; }
# Program Files (x86) too: a 64-bit prefix puts a 32-bit program there.
installed() { find "$drive" -maxdepth 2 -path "$drive/Program Files*/Lumoret" -type d; }
user_folders() { find "$drive/users" -path "*/AppData/$1/Lumoret" -type d; }
# The prefix is kept between runs: nothing of an earlier one counts.
{ installed; user_folders Roaming; user_folders Local; } | xargs -r -d '\n' rm -rf
rm -f "$menu_entry"

timeout 600 "$wine" "$installer" /S >"$work/wine.log" 2>&1 || fail "silent install exited with $?"
folder=$(installed)
[ -n "$folder" ] || fail "nothing installed in Program Files"
for file in Lumoret.exe ReadMe.txt ReadMe.en.txt LICENSE.txt config.sample.ini Uninstall.exe; do
  [ -f "$folder/$file" ] || fail "no $file in $folder"
done
[ -f "$menu_entry" ] || fail "no Start-menu entry"
uninstall_entry /v UninstallString ||
  fail "no entry in Add or Remove Programs"
step "silent install into $(basename "$(dirname "$folder")")\\Lumoret with its Start-menu and uninstall entries ($(elapsed))"

printf '127.0.0.1\r\n' >"$folder/config.sample.ini"
timeout 600 "$wine" start /wait 'C:\ProgramData\Microsoft\Windows\Start Menu\Programs\Lumoret.lnk' \
  >>"$work/wine.log" 2>&1 &
lumoret=$!
pids+=("$lumoret")
probe window 120 || fail "no window titled Lumoret after a start from the Start menu"
probe replies 60 >"$work/rows.txt" || { cat "$work/rows.txt"; fail "the 127.0.0.1 row got no replies"; }
config=$(user_folders Roaming)/config.ini
cmp -s "$config" "$folder/config.sample.ini" ||
  fail "the user's config.ini is not the installed sample: $(ls -l "$config" 2>&1)"
[ ! -e "$folder/config.ini" ] || fail "config.ini written in Program Files"
step "Start-menu start works in AppData\\Roaming\\Lumoret, config.ini copied from the sample; 127.0.0.1 replies"
probe help 60 >"$work/notepad.txt" || { cat "$work/notepad.txt"; fail "Help found no ReadMe.txt"; }
step "Help opens the ReadMe.txt beside the program"
# Replacing a running program would leave half of it. (The uninstaller's refusal, the
# same check, runs in a copy of it whose end cannot be waited for from here.)
timeout 120 "$wine" "$installer" /S >>"$work/wine.log" 2>&1 && fail "a silent install went on while Lumoret ran"
[ -f "$folder/Lumoret.exe" ] || fail "a refused install removed Lumoret.exe"
step "a second install refused while Lumoret runs"
probe close || fail "closing the window"
for _ in $(seq 600); do kill -0 "$lumoret" 2>/dev/null || break; sleep 0.1; done
kill -0 "$lumoret" 2>/dev/null && fail "Lumoret.exe still runs a minute after its window closed"
wait "$lumoret"
status=$?
[ "$status" = 0 ] || fail "Lumoret.exe exited with $status"
[ -f "$(user_folders Local)/history.sqlite3" ] || fail "no history in AppData\\Local\\Lumoret"

printf '# the user'"'"'s own\r\n127.0.0.1\r\n' >"$work/own.ini"
cp "$work/own.ini" "$config"
timeout 120 "$wine" "$folder/Uninstall.exe" /S >>"$work/wine.log" 2>&1 || fail "silent uninstall exited with $?"
# The uninstaller runs from a copy in the temporary folder, so that it can remove itself:
# its start returns at once.
for _ in $(seq 300); do [ -e "$folder" ] || break; sleep 1; done
[ ! -e "$folder" ] || fail "left in Program Files after uninstall: $(ls -A "$folder")"
[ ! -e "$menu_entry" ] || fail "the Start-menu entry is left after uninstall"
uninstall_entry &&
  fail "the entry in Add or Remove Programs is left after uninstall"
cmp -s "$config" "$work/own.ini" || fail "the user's config.ini was not kept"
[ -f "$(user_folders Local)/history.sqlite3" ] || fail "the user's history was not kept"
step "silent uninstall: Program Files, Start menu and registry clean; the user's config.ini and history kept ($(elapsed))"
