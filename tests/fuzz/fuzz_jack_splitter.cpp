// The JACK splitter: any message cut into the events a cycle's port buffer takes (any capacity,
// reserves refused now and then) joins back to the same bytes, no piece exceeds the room it
// had; a SysEx message so cut and read back through the event reader into lent buffers comes
// out whole, real-time bytes between its pieces notwithstanding; and arbitrary events read back
// break none of the buffer rules.
//
// Input: cycle capacity, event header cost, refusal pattern, reader buffer size, flags, then the
// message.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "midi/backends/common.h"
#include "midi/backends/jack_splitter.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/lent_harness.h"

using namespace rt88h;
using namespace rt88h::fuzz;

namespace {

constexpr std::size_t kMaxMessage = 20000;
constexpr unsigned kMaxRefusals = 64;

// A cycle's port buffer: `capacity` bytes, each event costing its size plus a header.
class FuzzSpace final : public midi::EventSpace {
 public:
  FuzzSpace(std::size_t capacity, std::size_t header, uint8_t refusals)
      : capacity_(capacity), header_(header), refusals_(refusals) {}

  void nextCycle() {
    used_ = 0;
    ++cycle_;
  }
  std::size_t maxEventSize() override {
    const std::size_t free = capacity_ - used_;
    return free > header_ ? free - header_ : 0;
  }
  uint8_t* reserve(std::size_t size) override {
    FUZZ_REQUIRE(size > 0 && size <= maxEventSize());
    if (refused_ < kMaxRefusals && (refusals_ >> (calls_++ % 8) & 1u) != 0) {
      ++refused_;
      return nullptr;
    }
    used_ += size + header_;
    events_.emplace_back(size);
    return events_.back().data();
  }

  std::vector<std::vector<uint8_t>> events_;
  unsigned cycle_ = 0;

 private:
  std::size_t capacity_;
  std::size_t header_;
  uint8_t refusals_;
  unsigned calls_ = 0;
  unsigned refused_ = 0;
  std::size_t used_ = 0;
};

// Cuts the message into the events of as many cycles as it takes.
std::vector<std::vector<uint8_t>> split(const ExactCopy& message, std::size_t capacity,
                                        std::size_t header, uint8_t refusals) {
  FuzzSpace space(capacity, header, refusals);
  midi::MessageSplitter splitter;
  splitter.start(message.data(), message.size());
  const std::size_t room = capacity - header;
  const unsigned cycleLimit = static_cast<unsigned>(message.size() / room) + kMaxRefusals + 2;
  while (!splitter.writeInto(space)) {
    space.nextCycle();
    FUZZ_REQUIRE(space.cycle_ <= cycleLimit);
  }
  FUZZ_REQUIRE(splitter.written() == message.size());
  std::vector<uint8_t> joined;
  for (const auto& event : space.events_) joined.insert(joined.end(), event.begin(), event.end());
  FUZZ_REQUIRE(joined.size() == message.size());
  FUZZ_REQUIRE(message.size() == 0 ||
               std::memcmp(joined.data(), message.data(), joined.size()) == 0);
  return std::move(space.events_);
}

void deliver(LentHarness& harness, midi::EventReader& reader, const std::vector<uint8_t>& event) {
  const ExactCopy bytes(event);
  harness.allowAnyShort(true);
  midi::deliverPiece(bytes.data(), bytes.size(), reader, harness.buffers());
  harness.allowAnyShort(false);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const std::size_t header = input.byte() % 17;
  const std::size_t capacity = header + 1 + input.u16() % 4096;
  const uint8_t refusals = input.byte();
  const uint32_t bufferSize = 16 + input.u16() % 4081;
  const uint8_t flags = input.byte();
  const std::span<const uint8_t> body = input.take(kMaxMessage);

  // Any bytes.
  const ExactCopy raw(body);
  const std::vector<std::vector<uint8_t>> rawEvents = split(raw, capacity, header, refusals);

  // A SysEx message: whole again after the reader and the buffers.
  std::vector<uint8_t> sysex{0xF0};
  for (const uint8_t b : body) sysex.push_back(b & 0x7F);
  sysex.push_back(0xF7);
  const ExactCopy message(sysex);
  {
    LentHarness harness({bufferSize, bufferSize}, LentHarness::Relend::AtOnce);
    midi::EventReader reader;
    const uint8_t realTime = static_cast<uint8_t>(0xF8 | (flags & 0x07));
    for (const auto& event : split(message, capacity, header, refusals)) {
      deliver(harness, reader, event);
      if ((flags & 0x08) != 0) deliver(harness, reader, {realTime});
    }
    FUZZ_REQUIRE(harness.joined() == sysex);
    FUZZ_REQUIRE(!reader.inSysEx());
    harness.close();
  }

  // Any events, and losses between them.
  {
    LentHarness harness({bufferSize}, LentHarness::Relend::Alternate);
    midi::EventReader reader;
    std::size_t i = 0;
    for (const auto& event : rawEvents) {
      deliver(harness, reader, event);
      ++i;
      if ((flags & 0x10) != 0 && i % 3 == 0) midi::deliverLoss(reader, harness.buffers());
      if (i % 5 == 0) harness.relendHeld();
    }
    harness.close();
  }
  return 0;
}
