#!/bin/sh
# Inside the VM, in a chroot of the host's root (scripts/alsa-vm test --windows): Windows programs
# under the host's Wine reaching rt88h-devsim through WinMM, winealsa and the kernel's sequencer:
# winmm_probe lists the MIDI devices and makes the Identity round trip. The Wine prefix and server
# stay for tests/vm/usb-tests.sh, which has the Windows updater update a USB-MIDI device.
#   wine-tests.sh SOURCE_ROOT PROBE_EXE DEVSIM_BINARY PREFIX_TEMPLATE
# PREFIX_TEMPLATE is a Wine prefix made on the host (copied here: made in the VM it takes minutes).
root=$1
probe=$2
devsim=$3
template=$4
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

# rt88h-devsim on ALSA with these arguments; false unless it says it plays.
devsim_start() {
  "$devsim" --backend alsa "$@" >/tmp/devsim.out 2>/tmp/devsim.err &
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

# Not a check: how a WinMM program's ordinary exit ends here (the Windows updater's will too).
exit_status_note() {
  "$root/scripts/wine-run" "$probe" >/dev/null 2>&1
  status=$?
  note "winmm_probe without --terminate (ExitProcess after WinMM's MIDI driver loaded): exit $status"
}

probe_round_trip
exit_status_note
exit $failed
