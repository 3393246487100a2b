#pragma once
// Sequencer events as the input side sees them; no sequencer needed to use these.
#include <alsa/asoundlib.h>

#include <cstddef>
#include <cstdint>

#include "midi/backends/common.h"
#include "midi/backends/lent_buffers.h"

namespace rt88h::midi {

// The MIDI bytes one event stands for: a SysEx piece points into the event's data, any other
// message is written into `scratch`. 0 for events that carry no MIDI (announcements, ...).
std::size_t eventBytes(const snd_seq_event_t& event, uint8_t (&scratch)[3], const uint8_t** bytes);

// One received event into an input device's buffers.
void deliverEvent(const snd_seq_event_t& event, EventReader& reader, LentBuffers& buffers);

// What became of one call of snd_seq_event_input.
enum class InputStep : uint8_t { Event, Overrun, Failed };
InputStep inputStep(int result);

// The largest SysEx message one variable-length event can carry, given the library's output
// buffer and a kernel pool of `poolCells` cells (bytes; each cell holds one event's size).
std::size_t alsaMessageLimit(std::size_t outputBufferBytes, std::size_t poolCells);

// A kernel client (a raw MIDI port: USB-MIDI, virmidi) writes a SysEx event into its raw MIDI
// buffer in one go and silently drops what does not fit, 4,096 bytes by default. Splitting a
// message does not help: the next event is delivered before the buffer has drained.
inline constexpr std::size_t kKernelClientMessageLimit = 4096;

// The largest message one device may be sent, given the client's own limit.
std::size_t alsaDeviceMessageLimit(std::size_t clientLimit, bool kernelClient);

}  // namespace rt88h::midi
