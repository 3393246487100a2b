// Splitting outgoing messages into events, and naming devices (events coming in are
// test_lent_buffers.cpp's).
#include <gtest/gtest.h>

#include <vector>

#include "midi/backends/common.h"
#include "midi/backends/jack_splitter.h"
#include "tests/support/sysex_support.h"

namespace rt88h::midi {
namespace {

using rt88h::testing::joined;
using rt88h::testing::sysex;

// A cycle's port buffer as JACK keeps one: `capacity` bytes, each event costing its bytes plus a
// header; optionally refusing some reserves.
class CycleBuffer final : public EventSpace {
 public:
  CycleBuffer(std::size_t capacity, std::size_t eventHeader)
      : capacity_(capacity), header_(eventHeader) {}

  void nextCycle() {
    used_ = 0;
    ++cycle_;
  }
  std::size_t maxEventSize() override {
    const std::size_t free = capacity_ - used_;
    return free > header_ ? free - header_ : 0;
  }
  uint8_t* reserve(std::size_t size) override {
    if (refuseNext_ > 0) {
      --refuseNext_;
      return nullptr;
    }
    if (size == 0 || size > maxEventSize()) {
      tooLarge_ = true;
      return nullptr;
    }
    used_ += size + header_;
    events_.emplace_back(size);
    cycles_.push_back(cycle_);
    return events_.back().data();
  }

  std::size_t capacity_;
  std::size_t header_;
  std::size_t used_ = 0;
  unsigned cycle_ = 0;
  unsigned refuseNext_ = 0;
  bool tooLarge_ = false;
  std::vector<std::vector<uint8_t>> events_;
  std::vector<unsigned> cycles_;
};

// Runs cycles until the message is in; the number of cycles it took.
unsigned sendThrough(MessageSplitter& splitter, CycleBuffer& buffer, unsigned maxCycles = 1000) {
  for (unsigned cycles = 1; cycles <= maxCycles; ++cycles) {
    if (splitter.writeInto(buffer)) return cycles;
    buffer.nextCycle();
  }
  return 0;
}

TEST(Splitter, EverySizeUpTo20000JoinsToTheSameBytes) {
  // 1 to 20,000 bytes through buffers of several sizes; a piece never exceeds the room it had.
  for (std::size_t capacity : {std::size_t{1024}, std::size_t{4099}, std::size_t{32768}}) {
    for (std::size_t length = 1; length <= 20000; ++length) {
      const std::vector<uint8_t> message = sysex(length, static_cast<uint8_t>(capacity));
      CycleBuffer buffer(capacity, 12);
      MessageSplitter splitter;
      splitter.start(message.data(), message.size());
      ASSERT_NE(sendThrough(splitter, buffer), 0u) << length;
      ASSERT_FALSE(buffer.tooLarge_) << "a piece larger than the room, length " << length;
      ASSERT_EQ(joined(buffer.events_), message) << "length " << length << " capacity " << capacity;
      ASSERT_EQ(splitter.written(), length);
    }
  }
}

TEST(Splitter, LargeMessageTakesConsecutiveCyclesInOrder) {
  const std::vector<uint8_t> message = sysex(20000);
  CycleBuffer buffer(4096 + 12, 12);  // room for exactly 4096 bytes a cycle
  MessageSplitter splitter;
  splitter.start(message.data(), message.size());
  EXPECT_EQ(sendThrough(splitter, buffer), 5u);
  ASSERT_EQ(buffer.events_.size(), 5u);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(buffer.events_[i].size(), 4096u);
  EXPECT_EQ(buffer.events_[4].size(), 20000u - 4 * 4096);
  EXPECT_EQ(buffer.cycles_, (std::vector<unsigned>{0, 1, 2, 3, 4}));
  EXPECT_EQ(buffer.events_.front().front(), 0xF0);
  EXPECT_EQ(buffer.events_.back().back(), 0xF7);
}

TEST(Splitter, RefusedReserveIsRetriedNextCycleNeverDropped) {
  const std::vector<uint8_t> message = sysex(2359);
  CycleBuffer buffer(1024, 8);
  buffer.refuseNext_ = 1;
  MessageSplitter splitter;
  splitter.start(message.data(), message.size());
  EXPECT_FALSE(splitter.writeInto(buffer));  // refused at once: nothing written this cycle
  EXPECT_EQ(splitter.written(), 0u);
  EXPECT_TRUE(buffer.events_.empty());
  buffer.nextCycle();
  EXPECT_NE(sendThrough(splitter, buffer), 0u);
  EXPECT_EQ(joined(buffer.events_), message);
}

TEST(Splitter, FullBufferMakesNoProgressAndLosesNothing) {
  const std::vector<uint8_t> message = sysex(100);
  CycleBuffer buffer(8, 8);  // never any room
  MessageSplitter splitter;
  splitter.start(message.data(), message.size());
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(splitter.writeInto(buffer));
    buffer.nextCycle();
  }
  EXPECT_EQ(splitter.written(), 0u);
  buffer.capacity_ = 1024;
  EXPECT_TRUE(splitter.writeInto(buffer));
  EXPECT_EQ(joined(buffer.events_), message);
}

TEST(Splitter, TwoMessagesInOneCycleStayApart) {
  const std::vector<uint8_t> first = sysex(6, 1);
  const std::vector<uint8_t> second = sysex(300, 2);
  CycleBuffer buffer(1024, 8);
  MessageSplitter splitter;
  splitter.start(first.data(), first.size());
  EXPECT_TRUE(splitter.writeInto(buffer));
  splitter.start(second.data(), second.size());
  EXPECT_TRUE(splitter.writeInto(buffer));
  ASSERT_EQ(buffer.events_.size(), 2u);
  EXPECT_EQ(buffer.events_[0], first);
  EXPECT_EQ(buffer.events_[1], second);
}

TEST(DeviceNames, ClientNameForItsOnlyPortElsePortName) {
  const std::vector<ListedPort> ports{
      {"TAVO RT Series", "TAVO RT Series", "midi_out"},
      {"multi", "multi", "out A"},
      {"multi", "multi", "out B"},
      {"other", "other", "port"},
  };
  EXPECT_EQ(deviceNames(ports),
            (std::vector<std::string>{"TAVO RT Series", "out A", "out B", "other"}));
}

TEST(DeviceNames, ClientsWithEqualNamesAreToldApartByTheirKey) {
  // ALSA clients are numbered: two clients called alike each have one port.
  const std::vector<ListedPort> ports{{"20", "USB MIDI", "port 0"}, {"24", "USB MIDI", "port 0"}};
  EXPECT_EQ(deviceNames(ports), (std::vector<std::string>{"USB MIDI", "USB MIDI"}));
}

}  // namespace
}  // namespace rt88h::midi
