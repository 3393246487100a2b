// Splitting outgoing messages into events, reading incoming events back into entries, naming.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <vector>

#include "midi/backends/common.h"
#include "midi/backends/jack_splitter.h"
#include "midi/backends/lent_buffers.h"

namespace rt88h::midi {
namespace {

std::vector<uint8_t> sysex(std::size_t length, uint8_t seed = 0) {
  std::vector<uint8_t> bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>((i * 7 + seed) & 0x7F);
  bytes.front() = 0xF0;
  if (length > 1) bytes.back() = 0xF7;
  return bytes;
}

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

std::vector<uint8_t> joined(const std::vector<std::vector<uint8_t>>& events) {
  std::vector<uint8_t> all;
  for (const auto& event : events) all.insert(all.end(), event.begin(), event.end());
  return all;
}

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

TEST(EventReader, FollowsSysExAcrossEvents) {
  EventReader reader;
  const uint8_t head[] = {0xF0, 0x52, 0x00};
  const uint8_t middle[] = {0x11, 0x22};
  const uint8_t tail[] = {0x33, 0xF7};
  EXPECT_EQ(reader.read(head, 3).kind, EventMeaning::Kind::SysEx);
  EXPECT_TRUE(reader.inSysEx());
  EXPECT_EQ(reader.read(middle, 2).kind, EventMeaning::Kind::SysEx);
  EXPECT_EQ(reader.read(tail, 2).kind, EventMeaning::Kind::SysEx);
  EXPECT_FALSE(reader.inSysEx());
  // Data bytes after the end belong to nothing.
  EXPECT_EQ(reader.read(middle, 2).kind, EventMeaning::Kind::Ignore);
}

TEST(EventReader, RealTimeInsideSysExDoesNotEndIt) {
  EventReader reader;
  const uint8_t head[] = {0xF0, 0x01};
  const uint8_t clock[] = {0xF8};
  reader.read(head, 2);
  const EventMeaning meaning = reader.read(clock, 1);
  EXPECT_EQ(meaning.kind, EventMeaning::Kind::Short);
  EXPECT_EQ(meaning.shortMessage, 0xF8u);
  EXPECT_FALSE(meaning.cutsMessage);
  EXPECT_TRUE(reader.inSysEx());
}

TEST(EventReader, ChannelMessageCutsSysExAndIsPacked) {
  EventReader reader;
  const uint8_t head[] = {0xF0, 0x01};
  const uint8_t noteOn[] = {0x91, 0x3C, 0x64};
  reader.read(head, 2);
  const EventMeaning meaning = reader.read(noteOn, 3);
  EXPECT_EQ(meaning.kind, EventMeaning::Kind::Short);
  EXPECT_TRUE(meaning.cutsMessage);
  EXPECT_EQ(meaning.shortMessage, 0x643C91u);
  EXPECT_FALSE(reader.inSysEx());
}

TEST(EventReader, LossEndsTheMessageInProgress) {
  EventReader reader;
  const uint8_t head[] = {0xF0, 0x01};
  const uint8_t rest[] = {0x02, 0xF7};
  reader.read(head, 2);
  EXPECT_TRUE(reader.lost().cutsMessage);
  EXPECT_EQ(reader.read(rest, 2).kind, EventMeaning::Kind::Ignore);
}

// The input side end to end: events into lent buffers as the port lends them.
class Entries {
 public:
  explicit Entries(std::size_t buffers = 2, uint32_t size = 8192)
      : lent_(&Entries::callback, this) {
    headers_.resize(buffers);
    storage_.resize(buffers, std::vector<uint8_t>(size));
    for (std::size_t i = 0; i < buffers; ++i) {
      headers_[i].data = storage_[i].data();
      headers_[i].bufferLength = size;
      lent_.prepare(&headers_[i]);
      lent_.addBuffer(&headers_[i]);
    }
    lent_.start();
  }
  ~Entries() { lent_.close(); }

  LentBuffers& lent() { return lent_; }
  std::vector<std::vector<uint8_t>> entries;
  std::vector<std::vector<uint8_t>> cuts;  // handed back as LongError
  std::vector<uint32_t> shorts;

 private:
  static void callback(InMessage message, void* instance, MidiHeader* header,
                       uint32_t shortMessage) {
    auto* self = static_cast<Entries*>(instance);
    if (message == InMessage::ShortData) {
      self->shorts.push_back(shortMessage);
      return;
    }
    if (header->bytesRecorded == 0) return;
    (message == InMessage::LongData ? self->entries : self->cuts)
        .emplace_back(header->data, header->data + header->bytesRecorded);
    self->lent_.addBuffer(header);  // as the port does: lent again at once
  }

  LentBuffers lent_;
  std::deque<MidiHeader> headers_;
  std::vector<std::vector<uint8_t>> storage_;
};

void deliverInPieces(const std::vector<uint8_t>& message, std::size_t piece, EventReader& reader,
                     LentBuffers& lent) {
  for (std::size_t at = 0; at < message.size(); at += piece) {
    deliverPiece(message.data() + at, std::min(piece, message.size() - at), reader, lent);
  }
}

TEST(ReceivedEvents, LargeMessageInPiecesFillsEntriesOf8192) {
  Entries sink;
  EventReader reader;
  const std::vector<uint8_t> message = sysex(20000);
  deliverInPieces(message, 256, reader, sink.lent());
  ASSERT_EQ(sink.entries.size(), 3u);
  EXPECT_EQ(sink.entries[0].size(), 8192u);
  EXPECT_EQ(sink.entries[1].size(), 8192u);
  EXPECT_EQ(sink.entries[2].size(), 3616u);
  EXPECT_EQ(sink.entries[0].front(), 0xF0);
  EXPECT_NE(sink.entries[1].front(), 0xF0);
  EXPECT_EQ(joined(sink.entries), message);
}

TEST(ReceivedEvents, EachSmallMessageIsOneEntryWhateverThePieces) {
  Entries sink;
  EventReader reader;
  const std::vector<uint8_t> first = sysex(2359, 3);
  const std::vector<uint8_t> second = sysex(6, 4);
  deliverInPieces(first, 100, reader, sink.lent());
  deliverInPieces(second, 1, reader, sink.lent());
  ASSERT_EQ(sink.entries.size(), 2u);
  EXPECT_EQ(sink.entries[0], first);
  EXPECT_EQ(sink.entries[1], second);
}

TEST(ReceivedEvents, LostEventsEndTheMessageAndTheRestIsNotGluedOn) {
  Entries sink;
  EventReader reader;
  const std::vector<uint8_t> cut = sysex(1000, 5);
  const std::vector<uint8_t> next = sysex(50, 6);
  deliverPiece(cut.data(), 300, reader, sink.lent());
  deliverLoss(reader, sink.lent());
  deliverPiece(cut.data() + 600, 400, reader, sink.lent());  // the tail, after the loss
  deliverPiece(next.data(), next.size(), reader, sink.lent());
  EXPECT_EQ(sink.cuts, std::vector<std::vector<uint8_t>>{
                           std::vector<uint8_t>(cut.begin(), cut.begin() + 300)});
  EXPECT_EQ(sink.entries, std::vector<std::vector<uint8_t>>{next});
}

TEST(ReceivedEvents, ShortMessagesGoStraightToTheCallback) {
  Entries sink;
  EventReader reader;
  const uint8_t sensing[] = {0xFE};
  const uint8_t control[] = {0xB2, 0x07, 0x40};
  deliverPiece(sensing, 1, reader, sink.lent());
  deliverPiece(control, 3, reader, sink.lent());
  EXPECT_TRUE(sink.entries.empty());
  EXPECT_EQ(sink.shorts, (std::vector<uint32_t>{0xFE, 0x4007B2}));
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
