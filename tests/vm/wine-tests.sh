#!/bin/sh
# Inside the VM, in a chroot of the host's root (scripts/alsa-vm test --windows): Windows programs
# under the host's Wine reaching rt88h-devsim through WinMM, winealsa and the kernel's sequencer.
# winmm_probe lists the MIDI devices and makes the Identity round trip; then the Windows updater's
# whole update over the VM's USB-MIDI device 1 (run --usb-midi), once that program exists.
#   wine-tests.sh SOURCE_ROOT PROBE_EXE DEVSIM_BINARY PREFIX_TEMPLATE [UPDATER_EXE [QUICK]]
# PREFIX_TEMPLATE is a Wine prefix made on the host (copied here: made in the VM it takes minutes).
# QUICK 1 leaves out the updater's whole update.
root=$1
probe=$2
devsim=$3
template=$4
updater=${5:-}
quick=${6:-0}
failed=0
readonly device="TAVO RT Series"
pass() { echo "alsa-vm check passed: $1"; }
fail() {
  echo "alsa-vm check FAILED: $1"
  failed=1
}
note() { echo "wine-tests: $*"; }
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

# Polls a condition every 0.1 s until it holds or $1 seconds have passed.
poll() {
  limit=$1
  shift
  deadline=$(($(date +%s) + limit))
  while ! "$@"; do
    [ "$(date +%s)" -ge "$deadline" ] && return 1
    sleep 0.1
  done
}

alive() { kill -0 "$1" 2>/dev/null; }

wine=
for candidate in /usr/lib/wine/wine64 "$(command -v wine64)" "$(command -v wine)"; do
  if [ -n "$candidate" ] && [ -x "$candidate" ]; then wine=$candidate; break; fi
done
# Debian's wineserver script pins -p0; the binary takes a linger time.
wineserver=$(dirname "$wine")/wineserver64
[ -x "$wineserver" ] || wineserver=$(dirname "$wine")/wineserver
if [ -z "$wine" ]; then
  fail "Wine is installed on the host (Debian: wine64)"
  exit 1
fi
note "$("$wine" --version)"

export RT88H_WINEPREFIX=/tmp/rt88h-wine
export WINEPREFIX=$RT88H_WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# The template's large files (the PE libraries, hundreds of MB) as links into the read-only host;
# the rest, the registry first, as copies Wine may write. Few processes: each costs under TCG.
copy_prefix() {
  mkdir -m 700 "$WINEPREFIX" &&
    cp -rs "$template/." "$WINEPREFIX/" &&
    (cd "$template" && find . \( -type f -size -65k \) -o \( -type f -name '*.reg' \) -o -type l |
      tar -c -T - -f - | tar -x -C "$WINEPREFIX" --unlink-first -f -)
}

started=$(now)
if [ -d "$template/drive_c" ] && copy_prefix; then
  note "Wine prefix copied from $template in $(since "$started") s"
else
  fail "Wine prefix copied from the host's template $template"
  exit 1
fi
# One server for the whole run: each program then finds it and the session's services running.
"$wineserver" -p </dev/null >/dev/null 2>&1
started=$(now)
if "$root/scripts/wine-run" cmd /c exit; then
  note "Wine's first start (server, services, cmd) took $(since "$started") s"
else
  fail "Wine starts cmd in the VM"
  exit 1
fi

devsim_pid=
# shellcheck disable=SC2317 # called through poll
devsim_ready() { grep -q '^rt88h-devsim: playing' /tmp/devsim.err || ! alive "$devsim_pid"; }
# shellcheck disable=SC2317 # called through poll
devsim_ended() { ! alive "$devsim_pid"; }

# rt88h-devsim with these arguments (on ALSA unless they say otherwise); false unless it says it
# plays.
devsim_start() {
  case " $* " in *" --rawmidi "*) ;; *) set -- --backend alsa "$@" ;; esac
  "$devsim" "$@" >/tmp/devsim.out 2>/tmp/devsim.err &
  devsim_pid=$!
  poll 30 devsim_ready
  if grep -q '^rt88h-devsim: playing' /tmp/devsim.err; then
    head -n 1 /tmp/devsim.err
    return 0
  fi
  cat /tmp/devsim.err
  kill -TERM "$devsim_pid" 2>/dev/null
  wait "$devsim_pid"
  return 1
}

# Ends rt88h-devsim, waits for it (bounded) and sets devsim_status.
devsim_stop() {
  alive "$devsim_pid" && kill -TERM "$devsim_pid"
  if poll 30 devsim_ended; then
    wait "$devsim_pid"
    devsim_status=$?
  else
    kill -KILL "$devsim_pid"
    wait "$devsim_pid"
    devsim_status=124
  fi
}

# The probe: winealsa reads the sequencer's ports at WinMM's first MIDI call, so devsim goes first.
probe_round_trip() {
  echo "== winmm_probe.exe --device \"$device\" against $devsim --backend alsa"
  if ! devsim_start --verbose; then
    fail "rt88h-devsim starts on ALSA"
    return
  fi
  started=$(now)
  "$root/scripts/wine-run" "$probe" --device "$device" --timeout-ms 20000 --terminate \
    >/tmp/probe.raw 2>&1
  status=$?
  # A Windows program's text output ends its lines with CR LF.
  tr -d '\r' </tmp/probe.raw >/tmp/probe.out
  cat /tmp/probe.out
  note "winmm_probe ran $(since "$started") s, exit $status"
  devsim_stop
  cat /tmp/devsim.out
  if grep -q "^midi in [0-9]*: $device" /tmp/probe.out &&
    grep -q "^midi out [0-9]*: $device" /tmp/probe.out; then
    pass "WinMM under Wine lists rt88h-devsim's sequencer ports"
  else
    fail "WinMM under Wine lists rt88h-devsim's sequencer ports"
  fi
  if [ "$status" -eq 0 ] && grep -q '^identity reply$' /tmp/probe.out; then
    pass "Identity Request and Reply through midiOutLongMsg and midiInAddBuffer"
  else
    fail "Identity Request and Reply through midiOutLongMsg and midiInAddBuffer (exit $status)"
  fi
  if grep -q 'Identity Request[ 0-9]*, 6 bytes, identity reply' /tmp/devsim.out; then
    pass "rt88h-devsim received the Identity Request from WinMM whole"
  else
    fail "rt88h-devsim received the Identity Request from WinMM whole"
  fi
  if [ "$devsim_status" -le 1 ] && grep -q '^Layout violations: 0$' /tmp/devsim.out; then
    pass "rt88h-devsim ends on SIGTERM with its report, no layout violation"
  else
    fail "rt88h-devsim ends on SIGTERM with its report, no layout violation (exit $devsim_status)"
  fi
}

# The Windows updater's whole update: devsim as the firmware of a USB-MIDI device, the .exe under
# Wine on the host's Xvfb, driven with xdotool, devsim's flash compared with the payloads at the
# end.
windows_update() {
  tools=1
  if ! command -v Xvfb >/dev/null || ! command -v xdotool >/dev/null; then
    note "Xvfb or xdotool is not installed on the host (packages xvfb, xdotool; scripts/bootstrap --tests)"
    tools=0
  fi
  if [ -z "$updater" ] || [ ! -f "$updater" ]; then
    note "no Windows updater in this build (${updater:-none given}): its whole update is not tested"
    return
  fi
  if [ "$quick" = 1 ]; then
    note "--quick: the Windows updater's whole update left out"
    return
  fi
  if [ $tools -eq 0 ]; then
    fail "the Windows updater's whole update needs Xvfb and xdotool on the host"
    return
  fi
  if [ -z "${RT88H_USB_MIDI:-}" ]; then
    fail "the Windows updater's whole update needs the VM's USB-MIDI device (run --usb-midi 1)"
    return
  fi
  update_whole
}

# Seconds of CPU a process has used so far (user + system), from /proc.
cpu_seconds() {
  awk -v hz="$(getconf CLK_TCK)" '{ printf "%.2f", ($14 + $15) / hz }' "/proc/$1/stat" 2>/dev/null
}

# Through snd-usb-audio: Wine lists the device by its port's name ("TAVO RT Series MIDI 1",
# as client and port together are too long for WinMM), which no copy preselects; the keys
# choose it, as a user would.
update_whole() {
  echo "== the Windows updater's whole update over USB-MIDI device 1"
  if ! "$RT88H_USB_MIDI" plug 1 ||
    ! devsim_start --rawmidi "$("$RT88H_USB_MIDI" rawmidi 1)" --verbose --exit-after-end \
      --expect-complete; then
    fail "USB-MIDI device 1 plugged in, rt88h-devsim playing its firmware"
    return
  fi
  display=:57
  Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
  # shellcheck disable=SC2317 # called through poll
  display_up() { [ -S "/tmp/.X11-unix/X${display#:}" ]; }
  if ! poll 30 display_up; then
    fail "Xvfb opens a display in the VM"
    devsim_stop
    return
  fi
  DISPLAY=$display RT88H_ALLOW_TEST_IMAGES=1 "$wine" "$updater" >/tmp/updater.out 2>&1 &
  updater_pid=$!
  # shellcheck disable=SC2317 # called through poll
  window_shown() {
    DISPLAY=$display xdotool search --onlyvisible --name '^Tavo RT-88H System v2.01$' >/dev/null
  }
  if poll 180 window_shown; then
    pass "the Windows updater shows its window under Wine"
  else
    fail "the Windows updater shows its window under Wine"
  fi
  window=$(DISPLAY=$display xdotool search --onlyvisible --name '^Tavo RT-88H System v2.01$' |
    head -n 1)
  # From Execute, which has the focus: Tab, Tab to the input list, T for its one entry that
  # begins with it, Tab to the output list, T, and Enter for Execute. Keys go out once the window
  # has the focus.
  # shellcheck disable=SC2317 # called through poll
  focused() {
    DISPLAY=$display xdotool windowfocus --sync "$window" 2>/dev/null
    [ "$(DISPLAY=$display xdotool getwindowfocus 2>/dev/null)" = "$window" ]
  }
  if [ -n "$window" ] && poll 30 focused; then
    DISPLAY=$display xdotool key --delay 300 Tab Tab t Tab t Return 2>/dev/null
  else
    note "the window $window did not take the focus: $(DISPLAY=$display xdotool getwindowfocus 2>&1)"
  fi
  # shellcheck disable=SC2317 # called through poll
  update_began() { grep -q 'Identity Request' /tmp/devsim.out; }
  started=$(now)
  cpu_before=$(cpu_seconds "$updater_pid")
  if [ -n "$window" ] && poll 60 update_began; then
    pass "the device chosen by keys, Enter on the window starts the update over WinMM"
  else
    fail "the device chosen by keys, Enter on the window starts the update over WinMM"
  fi
  # Ended, or a hang: rt88h-devsim heard nothing for 40 s (the longest quiet wait is about 5 s).
  lines=0
  quiet_since=$(date +%s)
  while alive "$devsim_pid"; do
    now_lines=$(wc -l </tmp/devsim.out)
    if [ "$now_lines" -ne "$lines" ]; then
      lines=$now_lines
      quiet_since=$(date +%s)
    elif [ $(($(date +%s) - quiet_since)) -ge 40 ]; then
      fail "the update goes on: rt88h-devsim heard nothing for 40 s"
      break
    fi
    sleep 0.5
  done
  took=$(since "$started")
  cpu=$(awk -v a="${cpu_before:-0}" -v b="$(cpu_seconds "$updater_pid")" 'BEGIN { printf "%.2f", b - a }')
  devsim_stop
  sed -n '/report/,$p' /tmp/devsim.out
  if [ "$devsim_status" -eq 0 ] && grep -q 'Flash equals the embedded payloads: yes' /tmp/devsim.out
  then
    pass "the Windows updater's whole update over WinMM: flash equals the payloads"
  else
    fail "the Windows updater's whole update over WinMM: flash equals the payloads (devsim exit $devsim_status)"
  fi
  note "whole update by the Windows updater under Wine over USB-MIDI: $took s from Enter to EndUpdate answered (floor 95.9 s); updater CPU in it ${cpu} s (emulated: TCG), ${cpu_before:-?} s before it"
  if DISPLAY=$display xdotool search --name '^rt88h-updater$' >/dev/null 2>&1; then
    fail "no message box after the whole update"
  else
    pass "no message box after the whole update"
  fi
  # Esc closes the window; the process's end is not a check (WinMM's exit under Wine here).
  DISPLAY=$display xdotool windowfocus --sync "$window" key Escape 2>/dev/null
  # shellcheck disable=SC2317 # called through poll
  updater_ended() { ! alive "$updater_pid"; }
  if poll 60 updater_ended; then
    wait "$updater_pid"
    note "the Windows updater ended after Esc, exit $?"
  else
    fail "the Windows updater ends after Esc"
    kill -KILL "$updater_pid" 2>/dev/null
  fi
  kill "$xvfb" 2>/dev/null
  wait "$xvfb" 2>/dev/null
  "$RT88H_USB_MIDI" unplug 1
}

# Not a check: how a WinMM program's ordinary exit ends here (the Windows updater's will too).
exit_status_note() {
  "$root/scripts/wine-run" "$probe" >/dev/null 2>&1
  status=$?
  note "winmm_probe without --terminate (ExitProcess after WinMM's MIDI driver loaded): exit $status"
}

probe_round_trip
exit_status_note
windows_update
"$wineserver" -k 2>/dev/null
exit $failed
