#!/usr/bin/env bash
# A whole update over a private JACK server (asynchronous, as jackd runs by default) with both
# clients made late on purpose in random cycles, so that the server loses MIDI events and
# repeats some: the updater (RT88H_TEST_JACK_LATE) and rt88h-devsim (--late-cycles).
# Passes when the run ends either with an error box, or with the update completed (the device
# answered EndUpdate and no box follows within the 30 s the updater waits for that answer) and
# the device's flash equal to the payloads. Fails when the update completes over a flash that
# differs: a refused or lost chunk was taken as written.
# Usage: jack_late_update.sh UPDATER DEVSIM [PERCENT [SEED]]
#   PERCENT: share of the device's cycles made late (default 1); SEED: its seed (default 1).
#   The updater is late in every thousandth cycle.
# shellcheck source=tests/system/lib.sh disable=SC2317
. "$(dirname "$0")/lib.sh"
[ $# -ge 2 ] && UPDATER=$1 DEVSIM=$2
percent=${3:-1}
seed=${4:-1}
need_tool Xvfb xvfb
need_tool xdotool xdotool
need_tool jackd jackd2
need_tool jack_lsp jackd2
need_program "$UPDATER"
need_program "$DEVSIM"

device_late="random:$percent:$seed"
# The updater overstays one cycle in a thousand (about every 5 s): each such cycle with a message
# of its own going out may repeat that message, and costs the update up to 5 s of doubt.
updater_late=$(seq -s, $((1000 + seed)) 1000 60000)

start_xvfb || finish
start_jackd "rt88h-late-$$" || finish
start_devsim device --name "$DEVICE" --late-cycles "$device_late" --exit-after-end \
  --expect-complete || finish
export XDG_RUNTIME_DIR="$WORK/run"
mkdir -m 700 "$XDG_RUNTIME_DIR"
export RT88H_TEST_JACK_LATE=$updater_late
start_app "$UPDATER" updater
unset RT88H_TEST_JACK_LATE
updater=$APP_PID
if ! wait_window "$updater" "$TITLE" 30; then
  fail "no window titled \"$TITLE\" within 30 s: $(cat "$WORK/updater.stderr")"
  finish
fi
main=$WID
note "window \"$TITLE\" is up; device late in $device_late, updater in $updater_late"
grep -q 'made late' "$WORK/updater.stderr" ||
  fail "the updater did not take RT88H_TEST_JACK_LATE: $(cat "$WORK/updater.stderr")"

returned=$(now_us)
press "$main" Return
# The update ends with the device gone (it answered EndUpdate) or with a box; a lost answer
# costs the updater a wait of 1 s and a re-send, so this takes longer than the 96 s floor.
outcome=
while [ -z "$outcome" ]; do
  if find_box "$updater" "$main"; then
    outcome=box
  elif ! alive "$DEVSIM_PID"; then
    outcome=ended
  elif [ "$(device_silent_for device)" -ge 40 ] || (($(now_us) - returned > 600000000)); then
    outcome=timeout
  else
    sleep 0.2
  fi
done
note "after $(since "$returned") s: $outcome"

if [ "$outcome" = ended ]; then
  wait_end "$DEVSIM_PID" 5
  device_status=$EXIT_STATUS
  # The answer to EndUpdate may itself have been lost: then a box comes within 30 s.
  box_up() { find_box "$updater" "$main"; }
  if poll 32 box_up; then
    outcome=box
  else
    outcome=completed
  fi
elif alive "$DEVSIM_PID"; then
  kill -TERM "$DEVICE_PID"
  wait_end "$DEVSIM_PID" 5
  device_status=$EXIT_STATUS
fi

flash=$(sed -n 's/^Flash equals the embedded payloads: //p' "$WORK/device.out")
writes=$(report_count device WriteData)
note "device: $(describe_status "${device_status:-255}"); flash equal: ${flash:-no report}"
grep -E '^(Flash equals|Layout violations|Messages cut short|JACK cycles made late|  (WriteData|EraseFlash|EndUpdate) )' \
  "$WORK/device.out"
note "WriteData beyond the 1,902 of an update without loss: $((${writes:-0} - 1902)); $(device_delays device)"
[ -s "$WORK/updater.stderr" ] && note "stderr of rt88h-updater: $(head -c 2000 "$WORK/updater.stderr")"

case $outcome in
  box)
    note "the update ended in a box \"$BOX_TITLE\": an error was reported, as it may be"
    note "the device's last messages before the box:"
    device_lines device | tail -n 4
    [ "$BOX_TITLE" = Error ] || fail "box caption \"$BOX_TITLE\", expected \"Error\""
    press "$BOX" Return
    ;;
  completed)
    if [ "$flash" = yes ]; then
      note "the update completed and the flash equals the payloads"
    else
      fail "the update completed (EndUpdate answered, no box) but the flash differs: ${flash:-no report}"
    fi
    ;;
  timeout)
    fail "neither a box nor the end of the update: the device heard nothing for $(device_silent_for device) s, $(since "$returned") s after Return"
    device_lines device | tail -n 5
    ;;
esac

press "$main" Escape
if wait_end "$updater" 2; then
  [ "$EXIT_STATUS" -eq 0 ] || fail "$(describe_status "$EXIT_STATUS") after Escape"
else
  fail "still running 2 s after Escape"
fi
finish
