#include "midi/backends/alsa_events.h"

#include <cerrno>

namespace rt88h::midi {
namespace {

uint8_t channelStatus(uint8_t kind, const snd_seq_event_t& event) {
  return static_cast<uint8_t>(kind | (event.data.note.channel & 0x0F));
}

uint8_t low7(int value) {
  return static_cast<uint8_t>(value & 0x7F);
}

std::size_t channelMessage(const snd_seq_event_t& event, uint8_t (&out)[3]) {
  const auto& control = event.data.control;
  switch (event.type) {
    case SND_SEQ_EVENT_NOTEON:
    case SND_SEQ_EVENT_NOTEOFF:
    case SND_SEQ_EVENT_KEYPRESS:
      out[0] = channelStatus(event.type == SND_SEQ_EVENT_NOTEON    ? 0x90
                             : event.type == SND_SEQ_EVENT_NOTEOFF ? 0x80
                                                                   : 0xA0,
                             event);
      out[1] = low7(event.data.note.note);
      out[2] = low7(event.data.note.velocity);
      return 3;
    case SND_SEQ_EVENT_CONTROLLER:
      out[0] = static_cast<uint8_t>(0xB0 | (control.channel & 0x0F));
      out[1] = low7(static_cast<int>(control.param));
      out[2] = low7(control.value);
      return 3;
    case SND_SEQ_EVENT_PGMCHANGE:
    case SND_SEQ_EVENT_CHANPRESS:
      out[0] = static_cast<uint8_t>((event.type == SND_SEQ_EVENT_PGMCHANGE ? 0xC0 : 0xD0) |
                                    (control.channel & 0x0F));
      out[1] = low7(control.value);
      return 2;
    case SND_SEQ_EVENT_PITCHBEND: {
      const int value = control.value + 8192;  // the sequencer centres it on 0
      out[0] = static_cast<uint8_t>(0xE0 | (control.channel & 0x0F));
      out[1] = low7(value);
      out[2] = low7(value >> 7);
      return 3;
    }
    default: return 0;
  }
}

std::size_t systemMessage(const snd_seq_event_t& event, uint8_t (&out)[3]) {
  const int value = event.data.control.value;
  switch (event.type) {
    case SND_SEQ_EVENT_QFRAME:
      out[0] = 0xF1;
      out[1] = low7(value);
      return 2;
    case SND_SEQ_EVENT_SONGPOS:
      out[0] = 0xF2;
      out[1] = low7(value);
      out[2] = low7(value >> 7);
      return 3;
    case SND_SEQ_EVENT_SONGSEL:
      out[0] = 0xF3;
      out[1] = low7(value);
      return 2;
    case SND_SEQ_EVENT_TUNE_REQUEST: out[0] = 0xF6; return 1;
    case SND_SEQ_EVENT_CLOCK: out[0] = 0xF8; return 1;
    case SND_SEQ_EVENT_TICK: out[0] = 0xF9; return 1;
    case SND_SEQ_EVENT_START: out[0] = 0xFA; return 1;
    case SND_SEQ_EVENT_CONTINUE: out[0] = 0xFB; return 1;
    case SND_SEQ_EVENT_STOP: out[0] = 0xFC; return 1;
    case SND_SEQ_EVENT_SENSING: out[0] = 0xFE; return 1;
    case SND_SEQ_EVENT_RESET: out[0] = 0xFF; return 1;
    default: return 0;
  }
}

}  // namespace

std::size_t eventBytes(const snd_seq_event_t& event, uint8_t (&scratch)[3], const uint8_t** bytes) {
  *bytes = nullptr;
  if (event.type == SND_SEQ_EVENT_SYSEX) {
    if ((event.flags & SND_SEQ_EVENT_LENGTH_MASK) != SND_SEQ_EVENT_LENGTH_VARIABLE ||
        event.data.ext.ptr == nullptr) {
      return 0;
    }
    *bytes = static_cast<const uint8_t*>(event.data.ext.ptr);
    return event.data.ext.len;
  }
  std::size_t count = channelMessage(event, scratch);
  if (count == 0) count = systemMessage(event, scratch);
  if (count != 0) *bytes = scratch;
  return count;
}

void deliverEvent(const snd_seq_event_t& event, EventReader& reader, LentBuffers& buffers) {
  uint8_t scratch[3] = {};
  const uint8_t* bytes = nullptr;
  const std::size_t count = eventBytes(event, scratch, &bytes);
  if (count != 0) deliverPiece(bytes, count, reader, buffers);
}

InputStep inputStep(int result) {
  if (result >= 0) return InputStep::Event;
  if (result == -ENOSPC) return InputStep::Overrun;
  return InputStep::Failed;
}

std::size_t alsaMessageLimit(std::size_t outputBufferBytes, std::size_t poolCells) {
  constexpr std::size_t cell = sizeof(snd_seq_event_t);
  // The library wants the event and its data to stay below its buffer's size.
  const std::size_t byBuffer = outputBufferBytes > cell + 1 ? outputBufferBytes - cell - 1 : 0;
  // The kernel wants the data's cells to stay below the pool's.
  const std::size_t byPool = poolCells > 1 ? (poolCells - 1) * cell : 0;
  return byBuffer < byPool ? byBuffer : byPool;
}

std::size_t alsaDeviceMessageLimit(std::size_t clientLimit, bool kernelClient) {
  if (!kernelClient) return clientLimit;
  return clientLimit < kKernelClientMessageLimit ? clientLimit : kKernelClientMessageLimit;
}

}  // namespace rt88h::midi
