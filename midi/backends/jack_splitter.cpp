#include "midi/backends/jack_splitter.h"

#include <algorithm>
#include <cstring>

namespace rt88h::midi {

bool MessageSplitter::writeInto(EventSpace& space) {
  while (bytes_ != nullptr && offset_ < length_) {
    const std::size_t room = space.maxEventSize();
    if (room == 0) return false;
    const std::size_t n = std::min(length_ - offset_, room);
    uint8_t* out = space.reserve(n);
    if (out == nullptr) return false;
    std::memcpy(out, bytes_ + offset_, n);
    offset_ += n;
  }
  return true;
}

}  // namespace rt88h::midi
