#pragma once
// Cutting an outgoing message into events that fit a cycle's port buffer. No JACK headers: the
// process callback adapts its port buffer to these.
#include <cstddef>
#include <cstdint>

namespace rt88h::midi {

// A cycle's output port buffer as the splitter sees it.
class EventSpace {
 public:
  // Largest event that can still be reserved in this cycle; 0 when the buffer is full.
  virtual std::size_t maxEventSize() = 0;
  // Room for one event of `size` bytes, or null when there is none this cycle.
  virtual uint8_t* reserve(std::size_t size) = 0;

 protected:
  ~EventSpace() = default;
};

// One message in flight. The bytes stay in the sender's buffer until the last piece is written.
class MessageSplitter {
 public:
  void start(const uint8_t* bytes, std::size_t length) {
    bytes_ = bytes;
    length_ = length;
    offset_ = 0;
  }
  std::size_t written() const { return offset_; }
  // Writes the pieces that fit into this cycle; true once the last piece is in. A reserve that
  // fails leaves the rest for the next cycle.
  bool writeInto(EventSpace& space);
  void clear() { start(nullptr, 0); }

 private:
  const uint8_t* bytes_ = nullptr;
  std::size_t length_ = 0;
  std::size_t offset_ = 0;
};

}  // namespace rt88h::midi
