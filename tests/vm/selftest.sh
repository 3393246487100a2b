#!/bin/sh
# Inside the VM (scripts/alsa-vm selftest): the sequencer and raw MIDI ports the kernel offers,
# and SysEx messages from a raw MIDI port to a sequencer subscriber, as from a USB-MIDI device.
probe=$1
failed=0
check() {
  name=$1
  shift
  echo "== $name"
  if "$@"; then
    echo "alsa-vm check passed: $name"
  else
    echo "alsa-vm check FAILED: $name"
    failed=$((failed + 1))
  fi
}
check "/dev/snd/seq exists" test -c /dev/snd/seq
check "aconnect -l" aconnect -l
check "amidi -l" amidi -l
# shellcheck disable=SC2016 # expanded by the inner sh
check "Midi Through and four virtual raw MIDI clients" \
  sh -c '[ "$(aconnect -l | grep -c -e "Midi Through" -e "Virtual Raw MIDI 0-[0-3]")" -ge 5 ]'
check "2359-byte SysEx: 10 events of at most 256 bytes" \
  "$probe" --bytes 2359 --expect-events 10 --expect-largest 256
# The default input pool overruns on a few KiB when the reader falls behind; 2000 cells hold
# 64 KiB of them.
check "8192-byte SysEx with an input pool of 2000 cells" \
  "$probe" --bytes 8192 --pool 2000 --expect-events 32 --expect-largest 256
check "65536-byte SysEx with an input pool of 2000 cells" \
  "$probe" --bytes 65536 --pool 2000 --expect-events 256 --expect-largest 256
exit $failed
