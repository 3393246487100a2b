#!/usr/bin/env bash
# Starts the program installed from the package, as a user would, without any MIDI service:
#   offscreen   it comes up, runs, and SIGTERM closes it: exit status 0
#   no-display  it says so in one line on stderr and exits non-zero; --help and --version
#               answer on stdout, a wrong option on stderr with exit status 2
#   x11         on a private X server its window appears with its title and icon, and
#               Escape closes it: exit status 0
. "$(dirname "$0")/common.sh"
mode=$1
need_package
bin="$ROOT/usr/bin/rt88h-updater"
[ -x "$bin" ] || { echo "FAIL: $bin missing" >&2; exit 1; }

run=$(mktemp -d "$WORK/run-$mode.XXXXXX")
chmod 700 "$run"
# Private lock directory (instance number 1), no JACK server, no ALSA sequencer.
export XDG_RUNTIME_DIR="$run"
export JACK_DEFAULT_SERVER="rt88h-package-test-$$" JACK_NO_START_SERVER=1
export ALSA_CONFIG_PATH=/dev/null
export RT88H_ALLOW_TEST_IMAGES=1  # no device here: test images may go anywhere
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
lock="$run/Tavo RT-88H System v2.01.lock"
title="Tavo RT-88H System v2.01"

pid=
xpid=
cleanup() {
  [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null
  [ -n "$xpid" ] && kill -TERM "$xpid" 2>/dev/null
  true
}
trap cleanup EXIT

# Polls a condition every 0.1 s for up to $1 seconds while the program lives.
wait_for() {
  local limit=$(($1 * 10)) i
  shift
  for ((i = 0; i < limit; i++)); do
    "$@" && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
# True when the program has ended within $1 seconds.
ended_within() {
  local limit=$(($1 * 10)) i
  for ((i = 0; i < limit; i++)); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  return 1
}
lock_held() { [ -e "$lock" ] && ! flock -n "$lock" true; }

# How the program ended; 128+N is death by signal N.
describe_status() {
  local s=$1
  if [ "$s" -gt 128 ]; then echo "killed by signal $((s - 128)) ($(kill -l $((s - 128))))"; else echo "exit status $s"; fi
}
show_output() {
  echo "--- stderr of rt88h-updater:" >&2
  cat "$run/stderr" >&2 || true
}

case $mode in
  no-display)
    status=0
    timeout --kill-after=5 30 "$bin" >"$run/stdout" 2>"$run/stderr" || status=$?
    note "without a display: $(describe_status "$status")"
    show_output
    [ "$status" -ne 0 ] || fail "exit status 0 without a display"
    [ "$status" -lt 124 ] || fail "did not end by itself: $(describe_status "$status")"
    lines=$(wc -l <"$run/stderr")
    [ "$lines" -eq 1 ] || fail "expected one line on stderr, got $lines"
    [ -s "$run/stdout" ] && fail "wrote to stdout"
    grep -qi display "$run/stderr" || fail "the message does not mention the display"
    ls "$run"/core* >/dev/null 2>&1 && fail "left a core file"
    # ARGUMENTS|STATUS|STREAM: what each command line answers, and where.
    for c in "--help|0|stdout" "--version|0|stdout" "-h|0|stdout" "--bogus|2|stderr" "file|2|stderr"; do
      IFS='|' read -r args want stream <<<"$c"
      status=0
      timeout --kill-after=5 30 "$bin" $args >"$run/stdout" 2>"$run/stderr" || status=$?
      [ "$status" -eq "$want" ] || fail "$args: $(describe_status "$status"), expected $want"
      other=stderr
      [ "$stream" = stderr ] && other=stdout
      [ -s "$run/$stream" ] || fail "$args: nothing on $stream"
      [ -s "$run/$other" ] && fail "$args: wrote to $other: $(head -n2 "$run/$other")"
      [ "$want" -eq 0 ] || grep -q -- "--help" "$run/stderr" || fail "$args: no hint at --help"
    done
    ;;

  offscreen)
    need_tool flock util-linux
    export QT_QPA_PLATFORM=offscreen
    "$bin" >"$run/stdout" 2>"$run/stderr" &
    pid=$!
    if ! wait_for 30 lock_held; then
      status=0
      wait "$pid" || status=$?
      pid=
      show_output
      fail "did not take its instance lock: $(describe_status "$status")"
      finish
    fi
    note "instance 1 taken; watching for 3 s"
    # It must survive building its window, listing the (absent) devices and a few timer ticks.
    ended_within 3 && fail "ended by itself while starting"
    kill -TERM "$pid" 2>/dev/null || true
    status=0
    wait "$pid" || status=$?
    pid=
    note "after SIGTERM: $(describe_status "$status")"
    show_output
    # SIGTERM closes the window as its close box does.
    [ "$status" -eq 0 ] || fail "$(describe_status "$status")"
    ;;

  x11)
    need_tool Xvfb xvfb
    need_tool xdotool xdotool
    need_tool xprop x11-utils
    # -displayfd picks a free display and tells us which.
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$run/display" 2>"$run/xvfb.log" &
    xpid=$!
    for ((i = 0; i < 100; i++)); do
      [ -s "$run/display" ] && break
      kill -0 "$xpid" 2>/dev/null || break
      sleep 0.1
    done
    [ -s "$run/display" ] || skip "Xvfb did not start: $(cat "$run/xvfb.log")"
    DISPLAY=":$(head -n1 "$run/display")"
    export DISPLAY
    "$bin" >"$run/stdout" 2>"$run/stderr" &
    pid=$!
    find_window() { wid=$(xdotool search --onlyvisible --name "^${title//./\\.}\$" 2>/dev/null | head -n1) && [ -n "$wid" ]; }
    if ! wait_for 30 find_window; then
      show_output
      fail "no visible window titled \"$title\""
      finish
    fi
    note "window $wid: $(xprop -id "$wid" WM_CLASS _NET_WM_NAME | tr '\n' ' ')"
    # Qt may set the icon just after mapping the window.
    has_icon() { xprop -id "$wid" _NET_WM_ICON 2>/dev/null | grep -q 'Icon ('; }
    wait_for 10 has_icon || fail "the window has no icon"
    # Escape ends the dialog as Exit does; with no window manager the focus is given by hand.
    xdotool windowfocus --sync "$wid" 2>/dev/null || xdotool windowfocus "$wid"
    xdotool key --clearmodifiers Escape
    status=0
    if ! ended_within 20; then
      fail "still running 20 s after Escape"
      kill -TERM "$pid"
    fi
    wait "$pid" || status=$?
    pid=
    note "after Escape: $(describe_status "$status")"
    show_output
    [ "$status" -eq 0 ] || fail "$(describe_status "$status") after Escape"
    ;;

  *)
    echo "usage: run_installed.sh ENV offscreen|no-display|x11" >&2
    exit 2
    ;;
esac
finish
