#!/bin/sh
# Inside the VM (scripts/alsa-vm test): the ALSA back-end's tests against the kernel's sequencer,
# then rt88h-devsim on ALSA answering through a virtual raw MIDI port, the path a USB-MIDI device
# takes (its SysEx arrives in 256-byte events).
#   alsa-tests.sh TESTS_BINARY [DEVSIM_BINARY]
tests=$1
devsim=$2
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

devsim_check() {
  echo "== $devsim --backend alsa --verbose"
  mkfifo /tmp/devsim.err
  "$devsim" --backend alsa --verbose >/tmp/devsim.out 2>/tmp/devsim.err &
  pid=$!
  exec 3</tmp/devsim.err
  # Its first line on stderr says whether it plays or why not.
  read -r line <&3
  echo "$line"
  case $line in
    *playing*) ;;
    *)
      fail "rt88h-devsim starts on ALSA"
      wait $pid
      return
      ;;
  esac
  raw=$(port_of "Virtual Raw MIDI 0-0" "VirMIDI 0-0")
  din=$(port_of "TAVO RT Series" "MIDI in")
  dout=$(port_of "TAVO RT Series" "MIDI out")
  echo "raw MIDI $raw, device in $din, out $dout"
  if [ -z "$raw" ] || [ -z "$din" ] || [ -z "$dout" ]; then
    fail "rt88h-devsim ports listed"
    kill -TERM $pid
    wait $pid
    return
  fi
  if ! aconnect "$raw" "$din" || ! aconnect "$dout" "$raw"; then fail "aconnect"; fi

  # A 2,359-byte message (the size of a WriteData) of another maker, then an Identity Request:
  # the reply to the second means the first was taken in before it.
  {
    printf '\360\175'
    head -c 2356 /dev/zero | tr '\0' 'A'
    printf '\367'
    printf '\360\176\000\006\001\367'
  } >/tmp/sent.syx
  reply=$(amidi -p hw:0,0 -s /tmp/sent.syx -d -t 2 2>&1)
  echo "reply: $reply"
  kill -TERM $pid
  wait $pid
  status=$?
  exec 3<&-
  cat /tmp/devsim.out
  case $(echo "$reply" | tr -d ' \n') in
    *F07E000602525800*) pass "rt88h-devsim answers the Identity Request over ALSA" ;;
    *) fail "rt88h-devsim answers the Identity Request over ALSA" ;;
  esac
  if grep -q ', 2359 bytes' /tmp/devsim.out; then
    pass "rt88h-devsim joins a SysEx that came in 256-byte events"
  else
    fail "rt88h-devsim joins a SysEx that came in 256-byte events"
  fi
  # Exit 1 reports the filler message as a layout violation, which it is; more means a crash.
  if [ "$status" -le 1 ] && grep -q '^Layout violations: 1$' /tmp/devsim.out; then
    pass "rt88h-devsim ends on SIGTERM with its report"
  else
    fail "rt88h-devsim ends on SIGTERM with its report (exit $status)"
  fi
}

if [ -n "$devsim" ] && [ -x "$devsim" ]; then
  devsim_check
else
  echo "alsa-vm: no rt88h-devsim in this build"
fi
exit $failed
