#!/usr/bin/env bash
# A whole update over a private JACK server (asynchronous, as jackd runs by default) with a client
# made late on purpose, so that the server loses MIDI events and repeats some: the updater's own
# (its test build, RT88H_TEST_JACK_LATE), rt88h-devsim's (--late-cycles), or both.
# Passes when the run ends either with an error box, or with the update completed (the device
# answered EndUpdate and no box follows within the 30 s the updater waits for that answer) and
# the device's flash equal to the payloads. Fails when the update completes over a flash that
# differs (a refused or lost chunk taken as written), and on a hang: the device hearing nothing
# for 40 s, or no end within 600 s.
# Usage: jack_late_update.sh UPDATER DEVSIM SCENARIO [SEED]
#   random  both late in random cycles: the device in 1 % of its cycles, the updater in every
#           thousandth (SEED: the device's seed and where the updater's start; default 1).
#   quiet   the updater late in calls without output right before chosen sends, so that JACK
#           may hand the device such a send twice; the device programs each chunk in 60 ms, so
#           the copy's answer comes a programming time after the first, and refuses every 61st
#           chunk once: a refusal must never be taken for another chunk's.
#   copies  the device late 4.5 periods in the calls answering the message before each erase and
#           EndUpdate: the updater reads each of those statuses up to 4 times, one cycle apart,
#           right before its next step. The update must complete.
# UPDATER is rt88h-updater-testhooks (tests/system): the shipped program has no test hooks.
# UPDATER_LATE, if set, replaces the updater's pattern (for measurements).
# shellcheck source=tests/system/lib.sh disable=SC2317
. "$(dirname "$0")/lib.sh"
[ $# -ge 2 ] && UPDATER=$1 DEVSIM=$2
scenario=${3:-random}
seed=${4:-1}
need_tool Xvfb xvfb
need_tool jackd jackd2
need_tool jack_lsp jackd2
need_tool xdotool xdotool
need_program "$UPDATER"
need_program "$DEVSIM"

device_options=()
updater_late=
must_complete=0
case $scenario in
  random)
    device_options=(--late-cycles "random:1:$seed")
    # One cycle in a thousand (about every 5 s): each late call with output of ours at stake
    # costs the update up to 5 s of doubt.
    updater_late=$(seq -s, $((1000 + seed)) 1000 60000)
    ;;
  quiet)
    # Every 250th send: each costs a doubt, about 5 s.
    updater_late="before-send:$(seq -s, $((249 + seed)) 250 1900)"
    device_options=(--program-ms 60)
    for k in $(seq 61 61 1902); do device_options+=(--fail "1@write:$k"); done
    ;;
  copies)
    need_program "$PLAN"
    # The device's K-th send answers the updater's K-th message: the answers before each erase
    # and before EndUpdate, by the plan.
    before=$("$PLAN" | awk '$3 == "EraseFlash" || $3 == "EndUpdate" { printf "%s%d", sep, $1 - 1; sep = "," }')
    device_options=(--late-cycles "send:$before:4.5")
    must_complete=1
    ;;
  *)
    fail "unknown scenario $scenario"
    finish
    ;;
esac
updater_late=${UPDATER_LATE-$updater_late}

start_xvfb || finish
start_jackd "rt88h-late-$$" || finish
start_devsim device --name "$DEVICE" "${device_options[@]}" --exit-after-end --expect-complete ||
  finish
export XDG_RUNTIME_DIR="$WORK/run"
mkdir -m 700 "$XDG_RUNTIME_DIR"
[ -n "$updater_late" ] && export RT88H_TEST_JACK_LATE=$updater_late
start_app "$UPDATER" updater
unset RT88H_TEST_JACK_LATE
updater=$APP_PID
if ! wait_window "$updater" "$TITLE" 30; then
  fail "no window titled \"$TITLE\" within 30 s: $(cat "$WORK/updater.stderr")"
  finish
fi
main=$WID
note "window \"$TITLE\" is up; scenario $scenario: device ${device_options[*]:0:6}, updater late ${updater_late:-never}"
if [ -n "$updater_late" ] && ! grep -q 'made late' "$WORK/updater.stderr"; then
  fail "the updater did not take RT88H_TEST_JACK_LATE (not its test build?): $(cat "$WORK/updater.stderr")"
fi

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
    [ "$must_complete" = 1 ] && fail "an error box in scenario $scenario, where every step was answered"
    note "the update ended in a box \"$BOX_TITLE\": an error was reported"
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
