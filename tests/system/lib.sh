# shellcheck shell=bash disable=SC2034,SC2317
# Shared by the whole-program tests and bench/side_by_side: a private X server, a private JACK
# server, rt88h-devsim devices and updater windows driven with xdotool as a person would.
# Sourced; the caller sets UPDATER, DEMO and DEVSIM (or takes the defaults below).
set -uo pipefail
export LC_ALL=C
export RT88H_ALLOW_TEST_IMAGES=1  # every device here is simulated: test images may go to it

SYSTEM_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SOURCE_ROOT=$(cd "$SYSTEM_DIR/../.." && pwd)
: "${UPDATER:=$SOURCE_ROOT/build/default/app/rt88h-updater}"
: "${DEMO:=$SOURCE_ROOT/build/default/app/rt88h-updater-demo}"
: "${DEVSIM:=$SOURCE_ROOT/build/default/sim/devsim/rt88h-devsim}"
: "${PLAN:=$SOURCE_ROOT/build/default/tools/rt88h-plan/rt88h-plan}"  # prints the update's messages

TITLE="Tavo RT-88H System v2.01"
DEVICE="TAVO RT Series"
# 1,908 messages, each answered at the next 50 ms tick, and the 500 ms pause after BeginUpdate.
FLOOR_SECONDS=95.9

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
note() { echo "$*"; }
# 77 is registered as SKIP_RETURN_CODE.
skip() {
  echo "SKIP: $*"
  exit 77
}
need_tool() {
  command -v "$1" >/dev/null 2>&1 ||
    skip "$1 is not installed (Debian package $2; scripts/bootstrap installs it)"
}
need_program() {
  [ -x "$1" ] || skip "$1 is not built"
}
finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
  echo "all checks passed"
  exit 0
}

# Time in microseconds, and a difference of two as seconds with three decimals.
now_us() {
  local t=$EPOCHREALTIME
  echo "${t/./}"
}
secs() { printf '%d.%03d' $(($1 / 1000000)) $((($1 % 1000000) / 1000)); }
since() { secs $(($(now_us) - $1)); }

# Private work directory; everything started is ended by its id on exit.
WORK=$(mktemp -d "${TMPDIR:-/tmp}/rt88h-system.XXXXXX")
chmod 700 "$WORK"
# The support logs of the updates run here stay here.
export XDG_STATE_HOME="$WORK/state"
OWN_PIDS=()
OWN_SERVERS=()
KEEP_WORK=${KEEP_WORK:-0}
own() { OWN_PIDS+=("$1"); }
# Ends what this shell started: SIGTERM, then SIGKILL after 3 s.
end_own() {
  local pid i
  for pid in "${OWN_PIDS[@]}"; do alive "$pid" && kill -TERM "$pid" 2>/dev/null; done
  for ((i = 0; i < 30; i++)); do
    local left=0
    for pid in "${OWN_PIDS[@]}"; do alive "$pid" && left=1; done
    [ "$left" -eq 0 ] && break
    sleep 0.1
  done
  for pid in "${OWN_PIDS[@]}"; do alive "$pid" && kill -KILL "$pid" 2>/dev/null; done
  wait 2>/dev/null
  # Semaphores that clients of a server that went before them leave behind.
  local server
  for server in "${OWN_SERVERS[@]}"; do rm -f /dev/shm/jack_sem.*_"$server"_*; done
}
cleanup() {
  end_own
  if [ "$KEEP_WORK" = 1 ] || [ "$failures" -ne 0 ]; then
    echo "(work files kept in $WORK)"
  else
    rm -rf "$WORK"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Running, and not a zombie waiting to be reaped.
alive() {
  local stat
  [ -r "/proc/$1/stat" ] || return 1
  read -r stat <"/proc/$1/stat" 2>/dev/null || return 1
  stat=${stat##*) }
  [ "${stat%% *}" != Z ]
}
ended() { ! alive "$1"; }

# Polls every 50 ms for up to $1 seconds; true as soon as the command is.
poll() {
  local limit=$(($1 * 20)) i
  shift
  for ((i = 0; i < limit; i++)); do
    "$@" && return 0
    sleep 0.05
  done
  "$@"
}

# Waits up to $2 seconds (decimals allowed) for process $1 to end; sets ENDED_AFTER (seconds
# from the call) and EXIT_STATUS (128+N for death by signal N). False when it still runs.
ENDED_AFTER=
EXIT_STATUS=
wait_end() {
  local pid=$1 start limit
  start=$(now_us)
  limit=$(awk -v s="$2" 'BEGIN { printf "%d", s * 1000000 }')
  while alive "$pid"; do
    if (($(now_us) - start > limit)); then return 1; fi
    sleep 0.02
  done
  ENDED_AFTER=$(since "$start")
  EXIT_STATUS=0
  wait "$pid" 2>/dev/null || EXIT_STATUS=$?
  return 0
}
describe_status() {
  if [ "$1" -gt 128 ]; then echo "killed by signal $(($1 - 128))"; else echo "exit status $1"; fi
}

# A private X server on a free display: sets and exports DISPLAY.
start_xvfb() {
  local file="$WORK/display.$BASHPID.$RANDOM" pid
  # -noreset: a server that resets when its last client leaves refuses the next one meanwhile.
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$file" 2>"$file.log" \
    </dev/null &
  pid=$!
  own "$pid"
  XVFB_PID=$pid
  poll 10 test -s "$file" || {
    fail "Xvfb did not start: $(cat "$file.log")"
    return 1
  }
  DISPLAY=":$(head -n1 "$file")"
  export DISPLAY
}

# JACK keeps at most 8 servers in its registry (/dev/shm/jack-shm-registry) and frees the entry of
# a killed server only when a server of the same name starts. Servers that were killed are
# started once more under their names and stopped cleanly, which frees their entries; a name
# whose server still answers is left alone (and a server of that name could not start anyway).
jack_registry_names() {
  tr -c '[:print:]' '\n' </dev/shm/jack-shm-registry 2>/dev/null |
    sed -n "s/^jack-$(id -u):\(.*\):\$/\1/p"
}
reclaim_dead_jack_servers() {
  local name pid i
  while read -r name; do
    [ -n "$name" ] || continue
    jack_lsp -s "$name" >/dev/null 2>&1 && continue  # alive
    jackd -n "$name" -d dummy -r 48000 -p 256 >/dev/null 2>&1 </dev/null &
    pid=$!
    local freed=0
    for ((i = 0; i < 100; i++)); do
      jack_lsp -s "$name" >/dev/null 2>&1 && freed=1 && break
      alive "$pid" || break
      sleep 0.05
    done
    kill -TERM "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    [ "$freed" = 1 ] && note "(freed the JACK registry entry of the killed server \"$name\")"
  done < <(jack_registry_names | sort -u)
}

# A private JACK server with the dummy driver: sets and exports JACK_DEFAULT_SERVER.
start_jackd() {
  local name=$1 frames=${2:-256} pid attempt
  export JACK_NO_START_SERVER=1
  for attempt in 1 2; do
    jackd -n "$name" -d dummy -r 48000 -p "$frames" >"$WORK/jackd-$name.log" 2>&1 </dev/null &
    pid=$!
    JACKD_PID=$pid
    jack_answers() { jack_lsp -s "$name" >/dev/null 2>&1 || ! alive "$JACKD_PID"; }
    poll 10 jack_answers
    if alive "$pid" && jack_lsp -s "$name" >/dev/null 2>&1; then
      own "$pid"
      OWN_SERVERS+=("$name")
      JACK_DEFAULT_SERVER=$name
      export JACK_DEFAULT_SERVER
      return 0
    fi
    stop_jackd "$pid"
    [ "$attempt" = 2 ] && break
    if grep -q 'Too many servers already active' "$WORK/jackd-$name.log"; then
      reclaim_dead_jack_servers
    else
      # Every server and client of this user shares one metadata database (libdb), which a
      # server that hung or died on its way out can leave locked; each server removes it when it
      # stops, so a new one is made.
      note "(jackd -n $name did not answer within 10 s; its metadata database made anew: $(tail -n 3 "$WORK/jackd-$name.log" | tr '\n' ' '))"
      rm -rf "/dev/shm/jack_db-$(id -u)"
    fi
  done
  fail "jackd -n $name did not answer within 10 s: $(cat "$WORK/jackd-$name.log")
JACK's registry holds: $(jack_registry_names | tr '\n' ' ')"
  return 1
}

# Stops a server this shell started: SIGTERM, then SIGKILL after 3 s, so that none lingers.
stop_jackd() {
  kill -TERM "$1" 2>/dev/null
  poll 3 ended "$1" || {
    note "(jackd $1 still ran 3 s after SIGTERM: killed)"
    kill -KILL "$1" 2>/dev/null
  }
  wait "$1" 2>/dev/null
}

# rt88h-devsim on the JACK server; $1 names its files ($WORK/$1.out, .err, .time), the rest are
# its options. Sets DEVSIM_PID (of /usr/bin/time, whose status is the device's) and DEVICE_PID
# (the device itself, which the signals go to).
# Without /usr/bin/time (Debian package time) the two are the same and no .time file is written.
start_devsim() {
  local tag=$1 timed=() service=(--backend jack)
  shift
  # A raw MIDI device is its own service: devsim refuses both.
  case " $* " in *" --rawmidi "*) service=() ;; esac
  [ -x /usr/bin/time ] && timed=(/usr/bin/time -o "$WORK/$tag.time" -f '%e %U %S %M')
  "${timed[@]}" "$DEVSIM" "${service[@]}" --verbose "$@" >"$WORK/$tag.out" 2>"$WORK/$tag.err" </dev/null &
  DEVSIM_PID=$!
  own "$DEVSIM_PID"
  devsim_ready() { grep -q "^rt88h-devsim: playing" "$WORK/$tag.err" 2>/dev/null || ! alive "$DEVSIM_PID"; }
  poll 10 devsim_ready
  if ! grep -q '^rt88h-devsim: playing' "$WORK/$tag.err"; then
    fail "rt88h-devsim $* did not start: $(cat "$WORK/$tag.err")"
    return 1
  fi
  DEVICE_PID=$DEVSIM_PID
  if [ ${#timed[@]} -gt 0 ]; then
    DEVICE_PID=$(pgrep -P "$DEVSIM_PID" | head -n1)
    own "$DEVICE_PID"
  fi
}
# Messages the device has seen so far, one line each ("#N Kind K, ...").
device_lines() { grep -E '^ *[0-9.]+ #[0-9]+ ' "$WORK/$1.out" 2>/dev/null; }
device_count() { device_lines "$1" | grep -c "$2"; }
# Whether device $1 logged a line matching $2. grep reads to the end: under pipefail, a grep -q
# that matched early would fail on the SIGPIPE it leaves a long log's reader.
device_logged() { device_lines "$1" | grep -- "$2" >/dev/null; }
# Seconds since the device last logged a message. An update that goes on never falls silent
# for long (its longest wait between messages is about 5 s); a hung one does.
device_silent_for() { echo $(($(date +%s) - $(stat -c %Y "$WORK/$1.out"))); }
# Where an update lost time, from the arrival times the device logged: "late N X stalls M Y
# early E" with N messages that came one tick or more late (X seconds beyond the 50 ms each), M
# that came 0.9 s or more after the one before (Y seconds lost): a chunk sent again after its
# 1 s wait, or one held up on the way; and E that came within 10 ms of the one before, sooner
# than any answer can travel back and be taken at a tick: the updater had not waited for the
# device's answer. The pause after BeginUpdate is not counted.
device_delays() {
  device_lines "$1" | awk '
    { t = $1; kind = $3 }
    NR > 1 && previous != "BeginUpdate" {
      gap = t - last
      if (gap >= 0.9) { stalls++; lost += gap - 0.05 }
      else if (gap > 0.075) { late++; extra += gap - 0.05 }
      else if (gap < 0.01) early++
    }
    { last = t; previous = kind }
    END { printf "late %d %.2f stalls %d %.2f early %d", late, extra, stalls, lost, early }'
}
# The count of one kind in the device's report ("  WriteData   9").
report_count() { sed -n "s/^  $2 *\([0-9][0-9]*\).*/\1/p" "$WORK/$1.out" | head -n1; }

# Starts a program with its files under $WORK/$2; sets APP_PID.
start_app() {
  local program=$1 tag=$2
  "$program" >"$WORK/$tag.stdout" 2>"$WORK/$tag.stderr" </dev/null &
  APP_PID=$!
  own "$APP_PID"
}

# The title of copy n.
instance_title() {
  if [ "$1" -eq 1 ]; then echo "$TITLE"; else echo "$TITLE ($1)"; fi
}
# shellcheck disable=SC2016
regex_of() { printf '%s' "$1" | sed 's/[][\.*^$()+?{}|]/\\&/g'; }

# The visible windows of a process.
windows_of() { xdotool search --all --onlyvisible --pid "$1" --name '.*' 2>/dev/null; }
# The visible window of process $1 titled exactly $2; sets WID.
# (xdotool's patterns ignore case: the title is compared once more, exactly.)
find_window() {
  local w
  WID=
  for w in $(xdotool search --all --onlyvisible --pid "$1" --name "^$(regex_of "$2")\$" 2>/dev/null); do
    if [ "$(xdotool getwindowname "$w" 2>/dev/null)" = "$2" ]; then
      WID=$w
      return 0
    fi
  done
  return 1
}
# Waits up to $3 seconds for window $2 of process $1 while the process lives; sets WID.
wait_window() {
  local pid=$1 title=$2
  window_or_end() { find_window "$pid" "$title" || ! alive "$pid"; }
  poll "$3" window_or_end
  find_window "$pid" "$title"
}
# A visible window of process $1 other than window $2 (a message box); sets BOX and BOX_TITLE.
find_box() {
  local w
  BOX=
  BOX_TITLE=
  for w in $(windows_of "$1"); do
    [ "$w" = "$2" ] && continue
    BOX=$w
    BOX_TITLE=$(xdotool getwindowname "$w" 2>/dev/null)
    return 0
  done
  return 1
}
# Gives the window the focus (there is no window manager) and types a key into it.
press() {
  timeout 5 xdotool windowfocus --sync "$1" 2>/dev/null || timeout 5 xdotool windowfocus "$1"
  timeout 5 xdotool key --clearmodifiers "$2"
}

# CPU seconds (user + system) and peak resident set (KiB) of a running process.
cpu_seconds() {
  local stat ticks
  read -r stat <"/proc/$1/stat" || return 1
  stat=${stat##*) }
  # Fields after the name: state is 1, utime 12, stime 13.
  # shellcheck disable=SC2086
  set -- $stat
  ticks=$(getconf CLK_TCK)
  awk -v u="${12}" -v s="${13}" -v t="$ticks" 'BEGIN { printf "%.2f", (u + s) / t }'
}
peak_rss_kib() { sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$1/status"; }
# Where a process's CPU seconds went: "main M realtime R other O ended E" (the main thread,
# threads under a real-time policy such as JACK's process thread, the other living threads, and
# threads that have already ended).
thread_cpu() {
  local pid=$1 task stat main=0 realtime=0 other=0 total ticks
  for task in /proc/"$pid"/task/*; do
    read -r stat <"$task/stat" 2>/dev/null || continue
    stat=${stat##*) }
    # shellcheck disable=SC2086
    set -- $stat
    ticks=$((${12} + ${13}))
    if [ "${task##*/}" = "$pid" ]; then
      main=$((main + ticks))
    elif [ "${39}" = 1 ] || [ "${39}" = 2 ]; then
      realtime=$((realtime + ticks))
    else
      other=$((other + ticks))
    fi
  done
  total=$(cpu_seconds "$pid")
  awk -v m="$main" -v r="$realtime" -v o="$other" -v t="$total" -v hz="$(getconf CLK_TCK)" 'BEGIN {
    printf "main %.2f realtime %.2f other %.2f ended %.2f", m / hz, r / hz, o / hz, t - (m + r + o) / hz }'
}
# Proportional set size (KiB): shared pages divided among the processes that map them.
pss_kib() { sed -n 's/^Pss:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$1/smaps_rollup"; }

# The JACK connections of a port, one per line.
jack_connections() {
  jack_lsp -c 2>/dev/null | awk -v port="$1" '
    /^[^ \t]/ { current = $0; next }
    current == port { sub(/^[ \t]+/, ""); print }'
}
