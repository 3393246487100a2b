#!/bin/sh
# Inside the VM (scripts/alsa-vm test): the ALSA back-end's tests against the kernel's sequencer
# and its virtual raw MIDI ports; rt88h-devsim on ALSA and on a raw MIDI device, answering
# through the path a USB-MIDI device takes (its SysEx arrives in 256-byte events); then the
# real updater window updating rt88h-devsim over ALSA.
#   alsa-tests.sh TESTS_BINARY [DEVSIM_BINARY [WINDOW_TESTS_BINARY [QUICK]]]
# QUICK 1 leaves out the window's whole update (about 100 s).
tests=$1
devsim=$2
window=$3
quick=${4:-0}
failed=0
pass() { echo "alsa-vm check passed: $1"; }
fail() {
  echo "alsa-vm check FAILED: $1"
  failed=1
}

# AlsaWithoutSequencer is for machines without one; here it would only skip.
filter='Alsa*:-AlsaWithoutSequencer.*'
echo "== $tests --gtest_filter=$filter"
"$tests" --gtest_filter="$filter" --gtest_color=no || failed=1

# "client:port" of the port with that name of the client with that name, from aconnect -l.
port_of() {
  aconnect -l | awk -v c="$1" -v p="$2" '
    /^client / { split($0, q, "\047"); name = q[2]; id = $2; sub(":", "", id) }
    /^ +[0-9]+ \047/ && name == c {
      split($0, q, "\047"); port = q[2]; sub(/ +$/, "", port)
      if (port == p) { print id ":" $1; exit }
    }'
}

# A 2,359-byte message (the size of a WriteData) of another maker, then an Identity Request:
# the reply to the second means the first was taken in before it.
{
  printf '\360\175'
  head -c 2356 /dev/zero | tr '\0' 'A'
  printf '\367'
  printf '\360\176\000\006\001\367'
} >/tmp/sent.syx

# Starts rt88h-devsim with these arguments; false unless its first line says it plays.
devsim_start() {
  rm -f /tmp/devsim.err
  mkfifo /tmp/devsim.err
  "$devsim" "$@" --verbose >/tmp/devsim.out 2>/tmp/devsim.err &
  pid=$!
  exec 3</tmp/devsim.err
  read -r line <&3
  echo "$line"
  case $line in
    *playing*) return 0 ;;
  esac
  wait $pid
  exec 3<&-
  return 1
}

# Sends /tmp/sent.syx from hw:0,0, ends the device and judges its answer and report.
devsim_exchange() {
  what=$1
  reply=$(amidi -p hw:0,0 -s /tmp/sent.syx -d -t 2 2>&1)
  echo "reply: $reply"
  kill -TERM $pid
  wait $pid
  status=$?
  exec 3<&-
  cat /tmp/devsim.out
  case $(echo "$reply" | tr -d ' \n') in
    *F07E000602525800*) pass "rt88h-devsim answers the Identity Request $what" ;;
    *) fail "rt88h-devsim answers the Identity Request $what" ;;
  esac
  if grep -q ', 2359 bytes' /tmp/devsim.out; then
    pass "rt88h-devsim joins a SysEx that came in 256-byte events $what"
  else
    fail "rt88h-devsim joins a SysEx that came in 256-byte events $what"
  fi
  # Exit 1 reports the filler message as a layout violation, which it is; more means a crash.
  if [ "$status" -le 1 ] && grep -q '^Layout violations: 1$' /tmp/devsim.out; then
    pass "rt88h-devsim ends on SIGTERM with its report $what"
  else
    fail "rt88h-devsim ends on SIGTERM with its report $what (exit $status)"
  fi
}

# As a sequencer client of its own, reached from the raw MIDI port hw:0,0.
devsim_on_alsa() {
  echo "== $devsim --backend alsa --verbose"
  if ! devsim_start --backend alsa; then
    fail "rt88h-devsim starts on ALSA"
    return
  fi
  raw=$(port_of "Virtual Raw MIDI 0-0" "VirMIDI 0-0")
  din=$(port_of "TAVO RT Series" "MIDI in")
  dout=$(port_of "TAVO RT Series" "MIDI out")
  echo "raw MIDI $raw, device in $din, out $dout"
  if [ -z "$raw" ] || [ -z "$din" ] || [ -z "$dout" ]; then
    fail "rt88h-devsim ports listed"
    kill -TERM $pid
    wait $pid
    exec 3<&-
    return
  fi
  if ! aconnect "$raw" "$din" || ! aconnect "$dout" "$raw"; then fail "aconnect"; fi
  devsim_exchange "over ALSA"
  aconnect -x
}

# On raw MIDI device hw:0,1, reached from hw:0,0 with the two virmidi clients connected both
# ways: kernel to kernel, as a USB-MIDI device is reached.
devsim_on_rawmidi() {
  echo "== $devsim --rawmidi hw:0,1 --verbose"
  if ! devsim_start --rawmidi hw:0,1; then
    fail "rt88h-devsim starts on raw MIDI hw:0,1"
    return
  fi
  a=$(port_of "Virtual Raw MIDI 0-0" "VirMIDI 0-0")
  b=$(port_of "Virtual Raw MIDI 0-1" "VirMIDI 0-1")
  echo "raw MIDI $a <-> $b"
  if [ -z "$a" ] || [ -z "$b" ] || ! aconnect "$a" "$b" || ! aconnect "$b" "$a"; then
    fail "aconnect $a $b"
  fi
  devsim_exchange "on raw MIDI"
  aconnect -x
}

if [ -n "$devsim" ] && [ -x "$devsim" ]; then
  devsim_on_alsa
  devsim_on_rawmidi
else
  echo "alsa-vm: no rt88h-devsim in this build"
fi

if [ -n "$window" ] && [ -x "$window" ]; then
  window_filter='*'
  [ "$quick" = 1 ] && window_filter='-*WholeUpdate*'
  echo "== $window --gtest_filter=$window_filter"
  "$window" --gtest_filter="$window_filter" --gtest_color=no || failed=1
else
  echo "alsa-vm: no window test in this build"
fi
exit $failed
