#pragma once
// MIDI ports of the ALSA sequencer: one sequencer client for the program, a port of ours per
// open device, subscribed to the device's port.
#include <cstddef>
#include <memory>
#include <string>

#include "midi/midi_service.h"

namespace rt88h::midi {

// clientName empty: the program's name. Lists nothing when the sequencer cannot be opened.
std::shared_ptr<MidiBackend> makeAlsaBackend(std::string clientName = {});

// A sequencer client of its own whose ports others subscribe to (the device simulator).
class AlsaEndpoint {
 public:
  virtual ~AlsaEndpoint() = default;
  virtual int openInput(const std::string& portName, InCallback callback, void* instance,
                        std::unique_ptr<InDevice>& device) = 0;
  virtual int openOutput(const std::string& portName, std::unique_ptr<OutDevice>& device) = 0;
};

std::unique_ptr<AlsaEndpoint> openAlsaEndpoint(const std::string& clientName, std::string* reason);

}  // namespace rt88h::midi
