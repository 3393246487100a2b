#pragma once
// A raw MIDI byte stream cut into the pieces one sequencer event would carry, so that the
// input side that follows events (EventReader) can read it.
#include <cstddef>
#include <cstdint>

namespace rt88h::devsim {

// Calls piece(bytes, count) for: a run of SysEx bytes (from F0, or continuing one, up to and
// including F7), one status byte with the data bytes after it, or one real-time byte. A SysEx
// cut by a read boundary goes on in the next call: its next piece carries no F0.
template <class Piece>
void splitRawStream(const uint8_t* bytes, std::size_t count, Piece&& piece) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const uint8_t byte = bytes[i];
    if (byte < 0x80) continue;
    if (byte == 0xF7) {
      piece(bytes + start, i + 1 - start);
      start = i + 1;
      continue;
    }
    if (i > start) piece(bytes + start, i - start);
    if (byte >= 0xF8) {
      // Real-time bytes stand alone and do not end a SysEx around them.
      piece(bytes + i, 1);
      start = i + 1;
    } else {
      start = i;
    }
  }
  if (count > start) piece(bytes + start, count - start);
}

}  // namespace rt88h::devsim
