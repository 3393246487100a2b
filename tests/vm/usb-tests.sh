#!/usr/bin/env bash
# Inside the VM, in a chroot of the host's root (scripts/alsa-vm test, run --usb-midi 2): the
# real programs on the host's Xvfb, driven with keys, over USB-MIDI devices the kernel makes
# (snd-usb-audio on the host side, rt88h-devsim as the firmware on the gadget's raw MIDI port):
#   two devices of one name   each copy preselects its own ("TAVO RT Series", "… (2)"): both
#                             updated side by side, both flashes equal to the payloads
#   unplugged in an erase     an "Error" box within 10 s (the erase's own wait is 30 s); Escape
#                             then ends the program within 2 s
#   unplugged at chunk 300    in a program started afresh: the box within 10 s; Rescan Device,
#                             and Execute finds no device to open
#   plugged in again          Rescan Device, Execute: the whole update over the half-written
#                             flash, no box; its time against the floor and the updater's CPU
#   the Windows program       under Wine (WinMM, winealsa, snd-usb-audio), after
#                             tests/vm/wine-tests.sh, whose Wine prefix and server it uses
#   usb-tests.sh UPDATER DEVSIM [QUICK [WINDOWS_UPDATER]]
# QUICK 1 leaves out the whole updates (two devices, plugged in again, the Windows program).
# shellcheck source=tests/system/lib.sh disable=SC2317
. "$(dirname "$0")/../system/lib.sh"
UPDATER=$1
DEVSIM=$2
quick=${3:-0}
windows_updater=${4:-}
control=${RT88H_USB_MIDI:?run by scripts/alsa-vm run --usb-midi 2}
# The Qt copy's own message boxes have its name as their caption.
readonly program_caption=${UPDATER##*/}

checks_failed=0
pass() { echo "alsa-vm check passed: $1"; }
fail() {
  echo "alsa-vm check FAILED: $*"
  checks_failed=$((checks_failed + 1))
}
check() {
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
seconds_since() { secs $(($(now_us) - $1)); }

# The device's firmware on device K's raw MIDI port; $1 names its files.
play() {
  local tag=$1 device=$2
  shift 2
  start_devsim "$tag" --rawmidi "$("$control" rawmidi "$device")" --exit-after-end \
    --expect-complete "$@"
}
device_said() { grep -q "$2" "$WORK/$1.err"; }
flash_matches() { grep -q '^Flash equals the embedded payloads: yes$' "$WORK/$1.out"; }
# Until the device has ended by itself, or heard nothing for 40 s (a hang; the longest quiet
# wait of an update is about 5 s).
await_device_end() {
  local tag=$1 pid=$2
  while alive "$pid"; do
    [ "$(device_silent_for "$tag")" -ge 40 ] && return 1
    sleep 0.5
  done
}

# A copy of the program with its window up; sets APP_PID and WID.
open_copy() {
  start_app "$UPDATER" "$1"
  wait_window "$APP_PID" "$(instance_title "$2")" 60
}
# Escape on the window: true when the program ended with status 0 within 2 s (else it is ended,
# so that the next copy gets its number).
escape_ends() {
  press "$2" Escape
  wait_end "$1" 2 && [ "$EXIT_STATUS" -eq 0 ] && return 0
  kill -KILL "$1" 2>/dev/null
  wait "$1" 2>/dev/null
  return 1
}

# Unplugs device 1 once its log has $3: true when a box captioned "Error" came within $4 s, as
# the window's own wait for it (one xdotool that polls, not one per look); sets BOX, BOX_AFTER.
# The unplug itself may take 10 s more: the kernel frees the device side's card only once the
# firmware's raw MIDI writer has closed, which drains first.
unplug_at() {
  local pid=$1 line=$2 limit=$3 unplugged unplugging
  BOX_AFTER=
  poll 120 device_logged dev "$line" || return 1
  unplugged=$(now_us)
  "$control" unplug 1 &
  unplugging=$!
  BOX=$(timeout "$limit" xdotool search --sync --all --onlyvisible --pid "$pid" \
    --name '^Error$' | head -n 1)
  BOX_AFTER=$(seconds_since "$unplugged")
  note "unplugged at \"$line\": box ${BOX:-none} after $BOX_AFTER s"
  wait "$unplugging" && [ -n "$BOX" ]
}
no_box() { ! find_box "$1" "$2"; }
# Return on box $1 of process $2 until it has gone: a key given while it was still coming up is
# lost.
close_box() {
  local i
  box_gone() { ! windows_of "$2" | grep -x -- "$1" >/dev/null; }
  for i in 1 2 3 4 5; do
    press "$1" Return
    poll 2 box_gone "$1" "$2" && return 0
  done
  return 1
}
titled() { [ "$BOX_TITLE" = "$1" ]; }
tabs() {
  local i
  for ((i = 0; i < $3; i++)); do press "$1" "$2"; done
}

two_devices() {
  echo "== two USB-MIDI devices of one name, each updated by its own copy"
  local one two first w1 second w2 started
  if ! "$control" plug 1 || ! "$control" plug 2; then
    fail "USB-MIDI devices 1 and 2 plugged in"
    return
  fi
  play one 1 || { fail "rt88h-devsim plays device 1"; return; }
  one=$DEVICE_PID
  play two 2 || { fail "rt88h-devsim plays device 2"; return; }
  two=$DEVICE_PID
  open_copy first 1 || { fail "copy 1 shows its window"; return; }
  first=$APP_PID w1=$WID
  open_copy second 2 || { fail "copy 2 shows its window"; return; }
  second=$APP_PID w2=$WID
  started=$(now_us)
  press "$w1" Return
  press "$w2" Return
  identity() { device_logged "$1" ' Identity Request 1,'; }
  check "copy 1 chose device 1 and copy 2 device 2, by the names the lists give them" \
    poll 10 identity one && check "… the second device, \"TAVO RT Series (2)\"" poll 10 identity two
  check "both updates end" await_device_end one "$one"
  check "… both" await_device_end two "$two"
  note "two updates side by side over USB-MIDI: $(seconds_since "$started") s"
  check "device 1's flash equals the payloads" flash_matches one
  check "device 2's flash equals the payloads" flash_matches two
  no_boxes() { no_box "$first" "$w1" && no_box "$second" "$w2"; }
  check "no box in either copy" no_boxes
  escape_ends "$first" "$w1"
  escape_ends "$second" "$w2"
  "$control" unplug 1
  "$control" unplug 2
}

unplugged_and_back() {
  echo "== a USB-MIDI device unplugged mid-update, plugged in again"
  "$control" plug 1 || { fail "USB-MIDI device 1 plugged in"; return; }
  # The first erase is answered after 20 s, as a slow flash might: the window waits in it.
  play dev 1 --late 20000@erase:1 || { fail "rt88h-devsim plays device 1"; return; }
  local device=$DEVICE_PID
  open_copy erase 1 || { fail "the program shows its window"; return; }
  press "$WID" Return
  check "unplugged during an erase: an \"Error\" box within 10 s" unplug_at "$APP_PID" \
    ' EraseFlash 1,' 10
  close_box "$BOX" "$APP_PID"
  check "Escape then ends the program within 2 s, status 0" escape_ends "$APP_PID" "$WID"

  if ! "$control" plug 1 || ! poll 30 device_said dev 'plugged in again'; then
    fail "device 1 plugged in again, its firmware back"
    return
  fi
  open_copy chunk 1 || { fail "the program shows its window again"; return; }
  local pid=$APP_PID window=$WID
  press "$window" Return
  check "unplugged at chunk 300, in the middle of the second region: an \"Error\" box within 10 s" \
    unplug_at "$pid" ' WriteData 300,' 10
  close_box "$BOX" "$pid"
  # The focus went to the status line when the controls greyed: Tab reaches Rescan Device, and
  # three more (the step counter, About) Execute.
  press "$window" Tab
  press "$window" Return
  tabs "$window" Tab 3
  press "$window" Return
  refused() {
    box_up() { find_box "$pid" "$window"; }
    poll 10 box_up && titled "$program_caption"
  }
  check "after Rescan Device, Execute finds no device to open" refused
  close_box "$BOX" "$pid"
  [ "$quick" = 1 ] && { note "--quick: the whole update after plugging in again left out"; return; }

  if ! "$control" plug 1 || ! poll 30 device_said dev 'plugged in again'; then
    fail "device 1 plugged in again, its firmware back"
    return
  fi
  # Execute has the focus: three Shift+Tab back to Rescan Device, then three Tab to Execute.
  local cpu_before started
  tabs "$window" shift+Tab 3
  press "$window" Return
  tabs "$window" Tab 3
  cpu_before=$(cpu_seconds "$pid")
  started=$(now_us)
  press "$window" Return
  check "plugged in again, Rescan Device and Execute: the update runs from the start" \
    poll 10 device_logged dev ' Identity Request 3,'
  check "… and ends" await_device_end dev "$device"
  note "whole update over USB-MIDI: $(seconds_since "$started") s from Return (floor $FLOOR_SECONDS s); $(sed -n 's/^Update duration: //p' "$WORK/dev.out") BeginUpdate to EndUpdate answered; updater CPU in it $(awk -v a="$cpu_before" -v b="$(cpu_seconds "$pid")" 'BEGIN { printf "%.2f", b - a }') s (TCG)"
  check "… over the half-written flash: it equals the payloads" flash_matches dev
  check "… and no box" no_box "$pid" "$window"
  check "Escape ends the program within 2 s" escape_ends "$pid" "$window"
  "$control" unplug 1
}

# Wine lists the device by its port's name ("TAVO RT Series MIDI 1", as client and port together
# are too long for WinMM), which no copy preselects: the keys choose it, as a user would.
windows_program() {
  echo "== the Windows updater under Wine over USB-MIDI device 1"
  local wine=/usr/lib/wine/wine64
  export WINEPREFIX=/tmp/rt88h-wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  [ -d "$WINEPREFIX/drive_c" ] || { fail "the Wine prefix of tests/vm/wine-tests.sh is there"; return; }
  if ! "$control" plug 1 || ! play win 1; then
    fail "device 1 plugged in, its firmware playing"
    return
  fi
  local device=$DEVICE_PID
  "$wine" "$windows_updater" >"$WORK/windows.out" 2>&1 &
  local pid=$!
  own "$pid"
  shown() { WID=$(xdotool search --onlyvisible --name "^$(regex_of "$TITLE")\$" | head -n 1); [ -n "$WID" ]; }
  check "the Windows updater shows its window" poll 180 shown || return
  # From Execute: Tab, Tab to the input list, T for its one entry that begins with it, Tab to
  # the output list, T, and Enter for Execute.
  local started cpu_before
  cpu_before=$(cpu_seconds "$pid")
  press "$WID" Tab
  press "$WID" Tab
  press "$WID" t
  press "$WID" Tab
  press "$WID" t
  started=$(now_us)
  press "$WID" Return
  check "the device chosen by keys, Return starts the update over WinMM" \
    poll 60 device_logged win ' Identity Request 1,'
  check "… and it ends" await_device_end win "$device"
  note "whole update by the Windows updater under Wine over USB-MIDI: $(seconds_since "$started") s from Return (floor $FLOOR_SECONDS s); updater CPU in it $(awk -v a="$cpu_before" -v b="$(cpu_seconds "$pid")" 'BEGIN { printf "%.2f", b - a }') s (TCG)"
  check "… the flash equals the payloads" flash_matches win
  boxless() { ! xdotool search --onlyvisible --name '^rt88h-updater$' >/dev/null; }
  check "… no box" boxless
  # Esc closes the window; the process's end is not a check (WinMM's exit under Wine here).
  press "$WID" Escape
  wait_end "$pid" 60 && note "the Windows updater ended after Escape, $(describe_status "$EXIT_STATUS")"
  "$control" unplug 1
}

start_xvfb || exit 1
export XDG_RUNTIME_DIR="$WORK/run"
mkdir -m 700 "$XDG_RUNTIME_DIR"
if [ "$quick" = 1 ]; then
  note "--quick: two devices side by side left out"
else
  two_devices
fi
unplugged_and_back
if [ -z "$windows_updater" ]; then
  note "no Windows updater given: the Windows program over USB-MIDI is not tested"
elif [ "$quick" = 1 ]; then
  note "--quick: the Windows updater's whole update left out"
else
  windows_program
fi
exit $((checks_failed > 0))
