#pragma once
// The flag rules of a caller's MidiHeader, one set for every device of every back-end.
#include <cstdint>

#include "midi/midi_api.h"

namespace rt88h::midi {

// Preparing a prepared header succeeds.
inline int prepareHeader(MidiHeader* header) {
  if (header == nullptr) return kMidiErrorInvalidHandle;
  header->flags.fetch_or(kHeaderPrepared);
  return kMidiOk;
}

// Taken by a device and not yet handed back.
inline bool headerInFlight(uint32_t flags) {
  return (flags & kHeaderInQueue) != 0 && (flags & kHeaderDone) == 0;
}

// kMidiOk when a device may take the header now, else why not.
inline int headerTakeable(uint32_t flags) {
  if ((flags & kHeaderPrepared) == 0) return kMidiErrorUnprepared;
  if (headerInFlight(flags)) return kMidiErrorStillPlaying;
  return kMidiOk;
}

// Taken: in the device's queue and no longer done.
inline void markQueued(MidiHeader* header) {
  header->flags.fetch_and(~kHeaderDone);
  header->flags.fetch_or(kHeaderInQueue);
}

// Done and out of the queue in one step: the owner may free the header the moment it sees done.
inline void markDone(MidiHeader* header) {
  uint32_t flags = header->flags.load();
  while (!header->flags.compare_exchange_weak(flags, (flags & ~kHeaderInQueue) | kHeaderDone)) {
  }
}

// Refused while a device holds the header.
inline int unprepareHeader(MidiHeader* header) {
  if (header == nullptr) return kMidiErrorInvalidHandle;
  if (headerInFlight(header->flags.load())) return kMidiErrorStillPlaying;
  header->flags.fetch_and(~(kHeaderPrepared | kHeaderInQueue));
  return kMidiOk;
}

}  // namespace rt88h::midi
