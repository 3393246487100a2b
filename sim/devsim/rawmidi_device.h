#pragma once
// The device's end of a raw MIDI device (snd_rawmidi), where a USB-MIDI device sits: what the
// host's sequencer sends to the device's client arrives here as bytes, and bytes written here
// reach the host as events of at most 256 bytes.
#include <memory>
#include <string>

#include "midi/midi_service.h"

namespace rt88h::devsim {

// Opens `device` ("hw:0,1") both ways. The input side turns the byte stream into the input
// callbacks of a back-end, and DeviceRemoved when the device's card goes (the device side of a
// USB cable pulled); a send on the output side returns once the kernel has the bytes.
bool openRawMidi(const std::string& device, midi::InCallback callback, void* instance,
                 std::unique_ptr<midi::InDevice>& in, std::unique_ptr<midi::OutDevice>& out,
                 std::string* reason);

}  // namespace rt88h::devsim
