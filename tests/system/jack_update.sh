#!/usr/bin/env bash
# The real program against rt88h-devsim over a private JACK server, driven through its window on
# a private X server:
#   drop-chunk  the device never answers chunk 3: seven sends, then "Time out error(2)" in a box
#   full        the complete update: the device's flash ends equal to the payloads
# Either way the window must have chosen the device's ports by itself (the device gets the
# Identity Request after Return), and Escape must end the program with status 0 within 2 s.
# During the full update Escape does nothing and Exit asks; its No lets the update complete.
# Usage: jack_update.sh drop-chunk|full [UPDATER DEVSIM]
# shellcheck source=tests/system/lib.sh disable=SC2317
. "$(dirname "$0")/lib.sh"
mode=${1:-}
[ $# -ge 3 ] && UPDATER=$2 DEVSIM=$3
need_tool Xvfb xvfb
need_tool xdotool xdotool
need_tool jackd jackd2
need_tool jack_lsp jackd2
need_program "$UPDATER"
need_program "$DEVSIM"

case $mode in
  drop-chunk) device_options=(--drop-chunk 3:7) ;;
  full) device_options=(--exit-after-end --expect-complete) ;;
  *)
    echo "usage: jack_update.sh drop-chunk|full [UPDATER DEVSIM]" >&2
    exit 2
    ;;
esac

start_xvfb || finish
start_jackd "rt88h-system-$$" || finish
start_devsim device --name "$DEVICE" "${device_options[@]}" || finish
export XDG_RUNTIME_DIR="$WORK/run"
mkdir -m 700 "$XDG_RUNTIME_DIR"
start_app "$UPDATER" updater
updater=$APP_PID
if ! wait_window "$updater" "$TITLE" 30; then
  fail "no window titled \"$TITLE\" within 30 s: $(cat "$WORK/updater.stderr")"
  finish
fi
main=$WID
note "window \"$TITLE\" is up; device: \"$DEVICE\" ${device_options[*]}"
[ "$(device_lines device | wc -l)" -eq 0 ] || fail "the device got messages before Return"

returned=$(now_us)
press "$main" Return
identity_seen() { device_logged device ' Identity Request 1,'; }
if poll 5 identity_seen; then
  note "the device got the Identity Request $(since "$returned") s after Return: its ports were pre-selected"
else
  fail "the device got no Identity Request within 5 s of Return: its ports were not chosen"
  finish
fi
# Both directions run between the updater and this device, and nowhere else.
to_device=$(jack_connections "$DEVICE:midi_in")
from_device=$(jack_connections "$DEVICE:midi_out")
note "JACK: $to_device -> $DEVICE:midi_in, $DEVICE:midi_out -> $from_device"
[ "$(printf '%s\n' "$to_device" | grep -c .)" -eq 1 ] || fail "device input connected to: $to_device"
[ "$(printf '%s\n' "$from_device" | grep -c .)" -eq 1 ] || fail "device output connected to: $from_device"

case $mode in
  drop-chunk)
    box_up() { find_box "$updater" "$main"; }
    if ! poll 30 box_up; then
      fail "no message box within 30 s of Return"
      finish
    fi
    shown=$(now_us)
    note "box \"$BOX_TITLE\" after $(secs $((shown - returned))) s"
    [ "$BOX_TITLE" = Error ] || fail "box caption \"$BOX_TITLE\", expected \"Error\""
    # The device logs in a process of its own: its line of the last send is awaited, not assumed.
    nine_writes() { [ "$(device_count device ' WriteData ')" -ge 9 ]; }
    poll 5 nine_writes
    # Chunks 1 and 2 answered; the third sent seven times, each left unanswered, never an eighth.
    device_lines device | grep ' WriteData ' >"$WORK/writes"
    writes=$(wc -l <"$WORK/writes")
    [ "$writes" -eq 9 ] || fail "$writes WriteData messages, expected 2 + 7"
    [ "$(grep -c ', status 0$' "$WORK/writes")" -eq 2 ] || fail "chunks 1 and 2 not both answered"
    [ "$(grep -c 'fault, no answer$' "$WORK/writes")" -eq 7 ] || fail "not seven unanswered sends"
    # Each re-send follows the 1,000 ms wait and the 100 ms pause.
    awk '/fault, no answer/ { t[n++] = $1 } END {
           for (i = 1; i < n; i++) printf "%.3f\n", t[i] - t[i - 1] }' "$WORK/writes" >"$WORK/gaps"
    note "re-sends after: $(tr '\n' ' ' <"$WORK/gaps")s"
    awk '$1 < 1.05 || $1 > 1.6 { bad = 1 } END { exit bad }' "$WORK/gaps" ||
      fail "re-send intervals outside 1.05 to 1.6 s"
    # The box follows the last wait of 1 s: the procedure gave up with "Time out error(2)".
    last_send=$(awk '/fault, no answer/ { t = $1 } END { print t }' "$WORK/writes")
    first_line=$(device_lines device | head -n1 | awk '{ print $1 }')
    note "last send $(awk -v a="$last_send" -v b="$first_line" 'BEGIN { printf "%.3f", a - b }') s after the Identity Request"
    # Nothing more is sent once the box is up, however long it stays.
    count_before=$(device_lines device | wc -l)
    sleep 1.5
    [ "$(device_lines device | wc -l)" -eq "$count_before" ] || fail "messages sent after the box"
    press "$BOX" Return
    box_gone() { ! find_box "$updater" "$main"; }
    poll 5 box_gone || fail "Return did not close the box"
    alive "$updater" || fail "closing the box ended the program"
    find_window "$updater" "$TITLE" || fail "the window is gone with the box"
    ;;
  full)
    # The device ends by itself after answering EndUpdate; no box may appear meanwhile but the
    # question that Exit asks 5 s in (after an Escape, which does nothing): No lets it go on.
    asked=0
    while alive "$DEVSIM_PID"; do
      if [ "$asked" = 0 ] && (($(now_us) - returned > 5000000)); then
        asked=1
        press "$main" Escape
        sleep 0.5
        alive "$updater" || fail "Escape ended the update"
        find_box "$updater" "$main" && fail "Escape during the update put up \"$BOX_TITLE\""
        press "$main" shift+Tab  # from the status line past the grey lists to Exit
        press "$main" Return
        # The question is the box of the program's name (Qt may show other windows meanwhile).
        question_up() {
          question=
          for w in $(windows_of "$updater"); do
            [ "$w" != "$main" ] && [ "$(xdotool getwindowname "$w" 2>/dev/null)" = rt88h-updater ] &&
              question=$w
          done
          [ -n "$question" ]
        }
        poll 5 question_up || fail "Exit during the update asked nothing"
        note "Exit during the update asked; answered No by Return"
        press "$question" Return
        question_gone() { ! question_up; }
        poll 5 question_gone || fail "Return did not answer the question"
        alive "$updater" || fail "No ended the update"
        continue
      fi
      if find_box "$updater" "$main"; then
        fail "box \"$BOX_TITLE\" during the update, $(since "$returned") s after Return"
        device_lines device | tail -n 5
        finish
      fi
      # A loaded machine makes the update slower, never silent: silence is a hang.
      if [ "$(device_silent_for device)" -ge 40 ] || (($(now_us) - returned > 600000000)); then
        fail "the update hung: the device heard nothing for $(device_silent_for device) s, $(since "$returned") s after Return"
        device_lines device | tail -n 5
        note "stderr of rt88h-updater: $(head -c 2000 "$WORK/updater.stderr")"
        finish
      fi
      sleep 0.2
    done
    ended=$(now_us)
    wait_end "$DEVSIM_PID" 5
    device_status=$EXIT_STATUS
    duration=$(secs $((ended - returned)))
    note "device ended $duration s after Return ($(awk -v d="$duration" -v f="$FLOOR_SECONDS" 'BEGIN { printf "%.4f", d / f }') of the $FLOOR_SECONDS s floor), $(describe_status "$device_status")"
    grep -E '^(Flash equals|Update duration|Layout violations|  (WriteData|EraseFlash|EndUpdate) )' \
      "$WORK/device.out"
    [ "$device_status" -eq 0 ] || fail "rt88h-devsim --expect-complete: $(describe_status "$device_status")"
    grep -q '^Flash equals the embedded payloads: yes$' "$WORK/device.out" ||
      fail "the flash does not equal the payloads"
    # Each chunk once, unless the machine held the update up: a chunk whose answer came after the
    # 1 s wait goes again, and each such re-send follows a stall (a gap of 0.9 s or more) the
    # device saw. A loaded machine may cause that; an extra send without a stall is a fault.
    writes=$(report_count device WriteData)
    delays=$(device_delays device)
    stalls=$(echo "$delays" | awk '{ print $5 }')
    note "WriteData: ${writes:-none}; $delays"
    if [ "${writes:-0}" -lt 1902 ] || [ "${writes:-0}" -gt $((1902 + stalls)) ]; then
      fail "${writes:-no} WriteData messages, expected 1,902 plus at most one per stall ($stalls)"
    fi
    [ "$(report_count device EndUpdate)" = 1 ] || fail "not one EndUpdate"
    # Success shows no box.
    sleep 0.5
    find_box "$updater" "$main" && fail "box \"$BOX_TITLE\" after a successful update"
    ;;
esac

escaped=$(now_us)
press "$main" Escape
if wait_end "$updater" 2; then
  note "Escape: $(describe_status "$EXIT_STATUS") after $ENDED_AFTER s"
  [ "$EXIT_STATUS" -eq 0 ] || fail "$(describe_status "$EXIT_STATUS") after Escape"
else
  fail "still running 2 s after Escape"
fi
[ -s "$WORK/updater.stderr" ] && note "stderr of rt88h-updater: $(head -c 2000 "$WORK/updater.stderr")"

if [ "$mode" = drop-chunk ]; then
  kill -TERM "$DEVICE_PID"
  wait_end "$DEVSIM_PID" 5
  grep -E '^(Layout violations|  (WriteData|EndUpdate) )' "$WORK/device.out"
  [ "$(report_count device WriteData)" = 9 ] || fail "the report does not count 9 WriteData"
  [ "$(report_count device EndUpdate)" = 0 ] || fail "EndUpdate was sent"
  grep -q '^Layout violations: 0$' "$WORK/device.out" || fail "the device saw layout violations"
fi
note "($(since "$escaped") s from Escape to the end of the checks)"
finish
