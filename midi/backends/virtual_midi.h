#pragma once
// The in-process virtual MIDI service behind midi/in_process.h.
#include <memory>
#include <string>
#include <string_view>

#include "midi/in_process.h"
#include "midi/midi_service.h"

namespace rt88h::midi {

class VirtualMidiBackend : public MidiBackend {
 public:
  // Adds a device at the end of both lists of this back-end.
  virtual std::shared_ptr<VirtualDevice> addDevice(std::string name) = 0;
  // The name of this back-end's device with that key; "" when it has none.
  virtual std::string nameOfKey(std::string_view key) = 0;
};

std::shared_ptr<VirtualMidiBackend> makeVirtualMidiBackend();

// The virtual back-end registered in midiService() (always there; empty until devices are added).
VirtualMidiBackend& virtualMidi();

}  // namespace rt88h::midi
