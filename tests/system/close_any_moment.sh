#!/usr/bin/env bash
# Closing the window at any moment of an update ends the program at once and cleanly: each run
# starts a copy on a private X server, presses Return, waits a random moment of the first 10 s of
# the update and closes it as a stop does: Escape, which closes only outside an update, then
# SIGTERM, which takes the stop question's Yes path; the process must end with status 0 within
# 2 s of the signal. The moments are spread over the phases in turn: identity and
# BeginUpdate (0.02-0.2 s), the 500 ms pause, the first two erases, the chunks of step 3, the
# third erase (about 7.1 s) and the chunks of step 5.
#   demo runs  rt88h-updater-demo with its in-process device; no box may appear
#   box runs   rt88h-updater against rt88h-devsim over JACK with a fault that puts up a box;
#              at the moment the box is up, Escape goes to it (it is modal and has the focus),
#              then Escape to the window: "Illegal device connected.", "Please set the
#              Version-up mode.", "Transfer error occurred.", "Time out error(2)",
#              and the disconnection box after the JACK server went away
# The moments come from a seeded generator: a failure names its seed and run.
# Usage: close_any_moment.sh [--runs N] [--box-runs M] [--lanes L] [--seed S]
#                            [--demo PATH] [--updater PATH] [--devsim PATH]
# shellcheck source=tests/system/lib.sh disable=SC2317
. "$(dirname "$0")/lib.sh"
runs=50
box_runs=10
lanes=2
seed=${RT88H_SYSTEM_SEED:-8801}
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2 ;;
    --box-runs) box_runs=$2 ;;
    --lanes) lanes=$2 ;;
    --seed) seed=$2 ;;
    --demo) DEMO=$2 ;;
    --updater) UPDATER=$2 ;;
    --devsim) DEVSIM=$2 ;;
    *)
      echo "close_any_moment.sh: unknown option $1" >&2
      exit 2
      ;;
  esac
  shift 2
done
need_tool Xvfb xvfb
need_tool xdotool xdotool
need_program "$DEMO"
if [ "$box_runs" -gt 0 ]; then
  need_tool jackd jackd2
  need_tool jack_lsp jackd2
  need_program "$UPDATER"
  need_program "$DEVSIM"
fi

# The plan: run, kind, moment in ms after Return, fault.
scenarios=(jack-stop model drop-chunk refuse fail-begin)
RANDOM=$seed
random_ms() { echo $(($1 + ((RANDOM << 15) | RANDOM) % ($2 - $1 + 1))); }
plan="$WORK/plan"
: >"$plan"
boxes_planned=0
phases=(20:200 200:600 600:800 800:3000 3000:7000 7000:7400 7400:10000)
for ((i = 1; i <= runs; i++)); do
  phase=${phases[(i - 1) % ${#phases[@]}]}
  moment=$(random_ms "${phase%:*}" "${phase#*:}")
  kind=demo
  fault=-
  if [ "$box_runs" -gt 0 ] && [ $((i * box_runs / runs)) -gt "$boxes_planned" ]; then
    kind=box
    fault=${scenarios[boxes_planned % ${#scenarios[@]}]}
    [ "$fault" = drop-chunk ] && fault="drop-chunk:$(random_ms 1 40)"
    boxes_planned=$((boxes_planned + 1))
  fi
  echo "$i $kind $moment $fault" >>"$plan"
done
note "seed $seed: $runs runs ($boxes_planned with a box up), $lanes at a time"

# Sends Escape to whatever box is up (a person's Escape lands on the modal box), then Escape to
# the window and SIGTERM to the program, until it ends; a box that comes up after them means they
# never reached the window, and the round starts again. Sets CLOSE_RESULT.
close_program() {
  local pid=$1 main=$2 tries boxes=0 races=0 key=Escape escaped
  for ((tries = 0; tries < 12; tries++)); do
    if find_box "$pid" "$main"; then
      BOXES_SEEN+=("$BOX_TITLE")
      local box=$BOX
      press "$box" "$key"
      key=Return
      boxes=$((boxes + 1))
      box_closed() { ! xdotool getwindowname "$box" >/dev/null 2>&1 || ! windows_of "$pid" | grep -x -- "$box" >/dev/null; }
      poll 3 box_closed || {
        CLOSE_RESULT="box \"$BOX_TITLE\" did not close"
        return 1
      }
      alive "$pid" || {
        CLOSE_RESULT="closing a box ended the program"
        return 1
      }
      continue
    fi
    press "$main" Escape
    kill -TERM "$pid" 2>/dev/null
    escaped=$(now_us)
    while alive "$pid"; do
      if find_box "$pid" "$main"; then
        races=$((races + 1))
        continue 2
      fi
      if (($(now_us) - escaped > 2000000)); then
        CLOSE_RESULT="still running 2 s after SIGTERM"
        return 1
      fi
      sleep 0.02
    done
    local latency
    latency=$(since "$escaped")
    wait "$pid" 2>/dev/null
    local status=$?
    CLOSE_RESULT="$(describe_status "$status") after ${latency} s, $boxes box(es) closed, $races close(s) lost to a box"
    CLOSE_LATENCY=$latency
    [ "$status" -eq 0 ]
    return
  done
  CLOSE_RESULT="still running after 12 rounds of boxes"
  return 1
}

one_run() {
  local i=$1 kind=$2 moment=$3 fault=$4 tag="run$1" pid main returned device_options=() server=
  local run_dir="$WORK/$tag"
  mkdir -m 700 "$run_dir"
  export XDG_RUNTIME_DIR="$run_dir"
  BOXES_SEEN=()
  CLOSE_LATENCY=-
  if [ "$kind" = demo ]; then
    # No JACK server: the demo's own device is all there is.
    export JACK_DEFAULT_SERVER="rt88h-absent-$$" JACK_NO_START_SERVER=1
    start_app "$DEMO" "$tag"
  else
    case $fault in
      model) device_options=(--model 0x56) ;;
      refuse) device_options=(--refuse-update-mode) ;;
      fail-begin) device_options=(--fail 2@begin:1) ;;
      drop-chunk:*) device_options=(--drop-chunk "${fault#drop-chunk:}:7") ;;
      jack-stop) ;;
    esac
    server="rt88h-close-$$-$i"
    start_jackd "$server" || return 1
    start_devsim "$tag.device" --name "$DEVICE" "${device_options[@]}" || return 1
    start_app "$UPDATER" "$tag"
  fi
  pid=$APP_PID
  if ! wait_window "$pid" "$TITLE" 30; then
    echo "$i $kind $moment $fault FAIL no window within 30 s: $(head -c 300 "$WORK/$tag.stderr")" >"$WORK/result.$i"
    return 1
  fi
  main=$WID
  press "$main" Return
  returned=$(now_us)
  local due=$((returned + moment * 1000))
  if [ "$kind" = box ]; then
    if [ "$fault" = jack-stop ]; then
      # The server gone is the device gone: the box comes at the next tick.
      local stop_at=$((due - 1300000))
      ((stop_at < returned + 200000)) && stop_at=$((returned + 200000))
      while (($(now_us) < stop_at)); do sleep 0.02; done
      kill -TERM "$JACKD_PID"
    fi
    box_up() { find_box "$pid" "$main" || ! alive "$pid"; }
    poll 30 box_up
    if ! find_box "$pid" "$main"; then
      echo "$i $kind $moment $fault FAIL no box within 30 s" >"$WORK/result.$i"
      return 1
    fi
    # At the moment, or a little after the box came up if it came later.
    local hold
    hold=$(($(now_us) + $(random_ms 200 1000) * 1000))
    ((due < hold)) && due=$hold
  fi
  while (($(now_us) < due)); do sleep 0.01; done
  local at
  at=$(since "$returned")
  if [ "$kind" = demo ] && find_box "$pid" "$main"; then
    echo "$i $kind $moment $fault FAIL box \"$BOX_TITLE\" during the demo's update at $at s" >"$WORK/result.$i"
    close_program "$pid" "$main"
    return 1
  fi
  local verdict=ok
  close_program "$pid" "$main" || verdict=FAIL
  local seen=""
  ((${#BOXES_SEEN[@]} > 0)) && seen=" boxes: $(printf '"%s" ' "${BOXES_SEEN[@]}")"
  echo "$i $kind $at $fault $verdict $CLOSE_LATENCY $CLOSE_RESULT$seen" >"$WORK/result.$i"
  [ -n "$server" ] && stop_jackd "$JACKD_PID"
  [ -n "$server" ] && kill -TERM "$DEVICE_PID" 2>/dev/null
  [ "$verdict" = ok ]
}

run_lane() {
  local lane=$1 line
  OWN_PIDS=()
  OWN_SERVERS=()
  trap end_own EXIT
  trap 'exit 130' INT TERM
  start_xvfb || exit 1
  while read -r -u 3 i kind moment fault; do
    (($((i - 1)) % lanes == lane)) || continue
    one_run "$i" "$kind" "$moment" "$fault"
    [ -s "$WORK/result.$i" ] || echo "$i $kind $moment $fault FAIL (no result)" >"$WORK/result.$i"
    read -r line <"$WORK/result.$i"
    echo "run $line"
    # A sanitizer's report, or whatever else the program said on its way out.
    if [[ $line != *" ok "* ]] && [ -s "$WORK/run$i.stderr" ]; then
      echo "--- stderr of run $i:"
      head -c 3000 "$WORK/run$i.stderr"
    fi
  done 3<"$plan"
}

started=$(now_us)
lane_pids=()
for ((lane = 0; lane < lanes; lane++)); do
  run_lane "$lane" &
  lane_pids+=($!)
  own "$!"
done
for pid in "${lane_pids[@]}"; do wait "$pid"; done

note "--- $(since "$started") s for $runs runs"
for ((i = 1; i <= runs; i++)); do
  if [ ! -s "$WORK/result.$i" ]; then
    fail "run $i: no result (seed $seed)"
    continue
  fi
  read -r _ kind _ _ verdict rest <"$WORK/result.$i"
  [ "$verdict" = ok ] || fail "run $i (seed $seed): $(cat "$WORK/result.$i")"
done
# Where the moments fell, and the slowest ends.
awk '$5 == "ok" || $5 == "FAIL" {
       t = $3 + 0
       if (t < 0.2) a++; else if (t < 0.6) b++; else if (t < 0.8) c++; else if (t < 7) d++; else if (t < 7.4) e++; else f++
       if ($6 != "-" && $6 + 0 > worst) worst = $6 + 0
       if ($2 == "box") boxes++
     }
     END { printf "moments after Return: %d in 0-0.2 s (identity, BeginUpdate), %d in 0.2-0.6 s (pause), %d in 0.6-0.8 s (erases 1-2), %d in 0.8-7 s (step 3), %d in 7-7.4 s (erase 3), %d later (step 5); %d runs with a box up; slowest end %.3f s after SIGTERM\n", a, b, c, d, e, f, boxes, worst }' \
  "$WORK"/result.*
finish
