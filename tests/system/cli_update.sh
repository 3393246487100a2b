#!/usr/bin/env bash
# rt88h-update against rt88h-devsim over a private JACK server:
#   full   the complete update with --json: every line parses, the events come in order and
#          agree with what the device saw, the flash ends equal to the payloads, exit status 0,
#          and the support log tells the same
#   cases  --list; wrong input, after which no device has heard anything; a stop by SIGINT
#          while a second copy is refused the same device; a refusal, a time-out and the
#          test-image question without a terminal, each with its exit status, its lines and
#          its support log; the newest 20 logs kept; a log folder that cannot be written
# Usage: cli_update.sh full|cases [CLI DEVSIM]
# shellcheck source=tests/system/lib.sh disable=SC2317
. "$(dirname "$0")/lib.sh"
mode=${1:-}
CLI=$SOURCE_ROOT/build/default/app/rt88h-update
[ $# -ge 3 ] && CLI=$2 DEVSIM=$3
need_tool jackd jackd2
need_tool jack_lsp jackd2
need_tool jq jq
need_program "$CLI"
need_program "$DEVSIM"
export XDG_RUNTIME_DIR="$WORK/run"
mkdir -m 700 "$XDG_RUNTIME_DIR"
LOGS=$XDG_STATE_HOME/rt88h-updater

# Runs rt88h-update to its end: $1 names its files ($WORK/$1.out, .err), the rest are its
# options. Sets CLI_STATUS.
run_cli() {
  local tag=$1
  shift
  "$CLI" "$@" >"$WORK/$tag.out" 2>"$WORK/$tag.err" </dev/null
  CLI_STATUS=$?
}
expect_status() {
  [ "$CLI_STATUS" -eq "$2" ] ||
    fail "$1: exit status $CLI_STATUS, expected $2; stderr: $(head -c 1000 "$WORK/$1.err")"
}
# $1 holds a line matching $2 (extended regex), $3 times when given.
expect_lines() {
  local found
  found=$(grep -cE -- "$2" "$1" 2>/dev/null)
  if [ $# -ge 3 ]; then
    [ "$found" -eq "$3" ] || fail "$(basename "$1"): $found lines match '$2', expected $3"
  else
    [ "$found" -ge 1 ] || fail "$(basename "$1"): no line matches '$2'"
  fi
}
newest_log() { find "$LOGS" -name 'update-*.log' 2>/dev/null | sort | tail -n1; }
# The support log of the update just run: its ports by name and key, and its outcome last.
expect_log() {
  local tag=$1 device=$2 outcome=$3 log
  log=$(newest_log)
  if [ -z "$log" ]; then
    fail "$tag: no support log in $LOGS"
    return
  fi
  cp "$log" "$WORK/$tag.log"
  expect_lines "$WORK/$tag.log" "^program: rt88h-update "
  expect_lines "$WORK/$tag.log" "^MIDI OUT: \"$device\" jack:$device:midi_in\$" 1
  expect_lines "$WORK/$tag.log" "^MIDI IN: \"$device\" jack:$device:midi_out\$" 1
  [ "$(tail -n1 "$log" | sed 's/^ *[0-9.]* //')" = "outcome: $outcome" ] ||
    fail "$tag: the log ends with '$(tail -n1 "$log")', not the outcome '$outcome'"
}
messages_to() { device_lines "$1" | wc -l; }
# True when a JSON line of file $1 holds for filter $2 (further jq options after).
json_has() {
  local file=$1 filter=$2
  shift 2
  jq -se "any(.[]; $filter)" "$@" "$file" >/dev/null
}

start_jackd "rt88h-cli-$$" || finish

full_update() {
  start_devsim device --name "$DEVICE" --expect-complete || finish
  local timed=() started
  [ -x /usr/bin/time ] && timed=(/usr/bin/time -o "$WORK/cli.time" -f '%e %U %S %M')
  started=$(now_us)
  "${timed[@]}" "$CLI" --json >"$WORK/full.out" 2>"$WORK/full.err" </dev/null &
  local pid=$!
  own "$pid"
  while alive "$pid"; do
    # A loaded machine makes the update slower, never silent: silence is a hang.
    if [ "$(device_silent_for device)" -ge 40 ] || (($(now_us) - started > 600000000)); then
      fail "the update hung: the device heard nothing for $(device_silent_for device) s"
      device_lines device | tail -n 5
      finish
    fi
    sleep 0.2
  done
  wait_end "$pid" 5
  CLI_STATUS=$EXIT_STATUS
  expect_status full 0
  kill -TERM "$DEVICE_PID"
  wait_end "$DEVSIM_PID" 5
  [ "$EXIT_STATUS" -eq 0 ] || fail "rt88h-devsim --expect-complete: $(describe_status "$EXIT_STATUS")"
  expect_lines "$WORK/device.out" '^Flash equals the embedded payloads: yes$' 1

  # Every line one JSON object; the record's events in the procedure's order.
  jq -ec . "$WORK/full.out" >"$WORK/full.jsonl" || fail "standard output is not JSON lines"
  [ "$(wc -l <"$WORK/full.jsonl")" -eq "$(wc -l <"$WORK/full.out")" ] ||
    fail "not one JSON object per line"
  local order steps
  order=$(jq -r 'select(.event | test("^(ports|started|identified|step|finished|exit)$")) | .event' \
    "$WORK/full.jsonl" | uniq | tr '\n' ' ')
  [ "$order" = "ports started identified step finished exit " ] || fail "events in the order: $order"
  steps=$(jq -r 'select(.event == "step") | "\(.step):\(.kind)"' "$WORK/full.jsonl" | tr '\n' ' ')
  [ "$steps" = "0:begin 1:erase 2:erase 3:write 4:erase 5:write 6:write 7:end " ] ||
    fail "steps: $steps"
  json_has "$WORK/full.jsonl" '.event == "ports" and .copy == 1 and
    .out_key == "jack:\($d):midi_in" and .in_key == "jack:\($d):midi_out"' --arg d "$DEVICE" ||
    fail "the ports event: $(jq -c 'select(.event == "ports")' "$WORK/full.jsonl")"
  json_has "$WORK/full.jsonl" '.event == "identified" and .model == 88' ||
    fail "the identified event has not the model 88"
  json_has "$WORK/full.jsonl" \
    '.event == "finished" and .completed and .message == "Version update completed."' || fail "finished: $(jq -c 'select(.event == "finished")' "$WORK/full.jsonl")"
  [ "$(tail -n1 "$WORK/full.jsonl" | jq -c '[.event, .status]')" = '["exit",0]' ] ||
    fail "the last line is not the exit with status 0"
  jq -r 'select(.event == "progress") | .overall' "$WORK/full.jsonl" |
    awk '$1 < last { back = 1 } { last = $1 } END { exit back || last < 99 }' ||
    fail "the overall progress goes back or ends below 99 %"
  # Each re-send went to the device: what it heard is the plan's 1,905 erases and chunks and
  # the events' re-sends.
  local resent heard
  resent=$(jq -r 'select(.event == "resent") | .event' "$WORK/full.jsonl" | wc -l)
  heard=$(($(report_count device WriteData) + $(report_count device EraseFlash)))
  [ "$heard" -eq $((1905 + resent)) ] ||
    fail "the device heard $heard erases and chunks, the events tell 1905 + $resent"

  local seconds
  seconds=$(jq -rs '(map(select(.event == "finished"))[0].t - map(select(.event == "started"))[0].t)' \
    "$WORK/full.jsonl")
  note "update $seconds s ($(awk -v d="$seconds" -v f="$FLOOR_SECONDS" 'BEGIN { printf "%.4f", d / f }') of the $FLOOR_SECONDS s floor), $resent re-sent; $(device_delays device)"
  [ -s "$WORK/cli.time" ] &&
    note "rt88h-update: $(awk '{ printf "%.2f CPU s (user %s, system %s), peak RSS %d MiB", $2 + $3, $2, $3, $4 / 1024 }' "$WORK/cli.time")"

  expect_log full "$DEVICE" "Version update completed."
  expect_lines "$WORK/full.log" ' device model 0x58$' 1
  expect_lines "$WORK/full.log" ' step [1-6]/6: (erase|write image)' 6
  expect_lines "$WORK/full.log" ' sent again ' "$resent"
}

cases() {
  start_devsim device --name "$DEVICE" || finish
  start_devsim second --name "$DEVICE (2)" || finish
  start_devsim refusing --name Refusing --refuse-update-mode || finish
  start_devsim dropping --name Dropping --drop-chunk 3:7 || finish

  # The lists as the window has them, copy 1's entries marked.
  run_cli list --list
  expect_status list 0
  expect_lines "$WORK/list.out" "^\\* $DEVICE +jack:$DEVICE:midi_out\$" 1
  expect_lines "$WORK/list.out" "^\\* $DEVICE +jack:$DEVICE:midi_in\$" 1
  expect_lines "$WORK/list.out" "^  Dropping +jack:Dropping:midi_in\$" 1
  run_cli list-json --list --json
  [ "$(jq -r 'select(.preselected) | "\(.list) \(.key)"' "$WORK/list-json.out" | sort | tr '\n' ' ')" = \
    "in jack:$DEVICE:midi_out out jack:$DEVICE:midi_in " ] || fail "--list --json: $(cat "$WORK/list-json.out")"

  # Wrong input: a clear message and its status, nothing sent.
  local wrong
  while read -r tag status options; do
    # shellcheck disable=SC2086
    eval "run_cli $tag $options"
    expect_status "$tag" "$status"
    [ "$(wc -l <"$WORK/$tag.err")" -ge 1 ] || fail "$tag: no message"
  done <<'CASES'
unknown-option 2 --frobnicate
option-twice   2 --in Dropping --in Refusing
no-such-name   3 --out Nothing
key-gone       3 --out jack:Gone:midi_in --in jack:Gone:midi_out
two-ports      4 --out tavo
CASES
  expect_lines "$WORK/key-gone.err" 'the port is gone' 1
  expect_lines "$WORK/two-ports.err" "fits 2 MIDI outputs" 1
  for wrong in device second refusing dropping; do
    [ "$(messages_to "$wrong")" -eq 0 ] || fail "device $wrong heard something after wrong input"
  done

  # A stop: SIGINT during the update ends it at once with 130. Meanwhile a second copy is
  # refused the device, which is copy 1's.
  "$CLI" --json >"$WORK/stop.out" 2>"$WORK/stop.err" </dev/null &
  local stopping=$!
  own "$stopping"
  writing() { [ "$(device_count device ' WriteData ')" -ge 20 ]; }
  poll 10 writing || fail "no update ran on \"$DEVICE\": $(cat "$WORK/stop.err")"
  run_cli taken --out "$DEVICE" --in "$DEVICE"
  expect_status taken 6
  expect_lines "$WORK/taken.err" "is the device of copy 1" 1
  kill -INT "$stopping"
  if wait_end "$stopping" 2; then
    CLI_STATUS=$EXIT_STATUS
    expect_status stop 130
  else
    fail "still running 2 s after SIGINT"
  fi
  local heard
  heard=$(messages_to device)
  sleep 1
  [ "$(messages_to device)" -eq "$heard" ] || fail "the device heard more after the stop"
  [ "$(device_count device ' Identity Request ')" -eq 1 ] || fail "the refused copy sent something"
  json_has "$WORK/stop.out" '.event == "finished" and (.completed | not) and .message == ""' ||
    fail "no stopped finished event: $(tail -n 3 "$WORK/stop.out")"
  expect_log stop "$DEVICE" "stopped before the end"

  # A refusal, named by its name, with plain lines; 25 older logs before it: the newest 20 stay.
  mkdir -p "$LOGS"
  local i kept
  for ((i = 10; i < 35; i++)); do echo old >"$LOGS/update-20000101-0000$i.000-1.log"; done
  kept=$(find "$LOGS" -name 'update-*.log' -printf '%f\n' | sort | tail -n 19)
  run_cli refusal --in Refusing --out Refusing
  expect_status refusal 24
  expect_lines "$WORK/refusal.out" '^BeginUpdate: refused with status 11$' 1
  expect_lines "$WORK/refusal.err" '^rt88h-update: Error: Please set the Version-up mode\.$' 1
  expect_log refusal Refusing "Please set the Version-up mode."
  [ "$(find "$LOGS" -name 'update-*.log' -printf '%f\n' | sort)" = \
    "$(printf '%s\n%s' "$kept" "$(basename "$(newest_log)")")" ] ||
    fail "not the newest 20 logs kept: $(find "$LOGS" -name 'update-*.log' -printf '%f ')"

  # A time-out, named by its keys.
  run_cli timeout --in jack:Dropping:midi_out --out jack:Dropping:midi_in
  expect_status timeout 21
  expect_lines "$WORK/timeout.err" '^rt88h-update: Error: Time out error\(2\)$' 1
  expect_log timeout Dropping "Time out error(2)"
  expect_lines "$WORK/timeout.log" ' chunk at 0x1000: no answer in time$' 7
  expect_lines "$WORK/timeout.log" ' chunk at 0x1000 sent again \(send [2-7] of 7\)$' 6

  # A log folder that cannot be written: one line, and the update all the same.
  XDG_STATE_HOME=$WORK/list.out run_cli unlogged --in Refusing --out Refusing
  expect_status unlogged 24
  expect_lines "$WORK/unlogged.err" 'no support log' 1

  # Test images without a terminal to ask on: nothing written.
  if "$CLI" --version | grep -i 'test images' >/dev/null; then
    heard=$(messages_to refusing)
    RT88H_ALLOW_TEST_IMAGES='' run_cli no-terminal --in Refusing --out Refusing
    expect_status no-terminal 7
    expect_lines "$WORK/no-terminal.err" 'no terminal to ask on' 1
    [ "$(messages_to refusing)" -eq "$heard" ] || fail "test images went out without a yes"
  fi
}

case $mode in
  full) full_update ;;
  cases) cases ;;
  *)
    echo "usage: cli_update.sh full|cases [CLI DEVSIM]" >&2
    exit 2
    ;;
esac
finish
