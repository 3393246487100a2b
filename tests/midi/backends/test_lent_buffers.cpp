// The buffer-filling rule shared by the back-ends: pieces in, one entry per message out.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "midi/backends/lent_buffers.h"

namespace rt88h::midi {
namespace {

using Bytes = std::vector<uint8_t>;

// F0, 7-bit filler, F7: total bytes in all.
Bytes sysex(std::size_t total, uint8_t seed = 0) {
  Bytes message;
  message.reserve(total);
  message.push_back(0xF0);
  for (std::size_t i = 1; i + 1 < total; ++i) {
    message.push_back(static_cast<uint8_t>((i * 7 + seed) & 0x7F));
  }
  message.push_back(0xF7);
  return message;
}

Bytes joined(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Plays the input port: copies each buffer that comes back and, like the port, lends it again
// only when it holds something.
class Sink {
 public:
  explicit Sink(std::size_t buffers = 1, uint32_t size = 8192, bool lendAgain = true)
      : lendAgain_(lendAgain) {
    for (std::size_t i = 0; i < buffers; ++i) {
      storage_.emplace_back(size);
      auto header = std::make_unique<MidiHeader>();
      header->data = storage_.back().data();
      header->bufferLength = size;
      headers.push_back(std::move(header));
    }
  }

  void lendAll() {
    for (auto& header : headers) {
      ASSERT_EQ(lent.prepare(header.get()), kMidiOk);
      ASSERT_EQ(lent.addBuffer(header.get()), kMidiOk);
    }
  }

  void feed(const Bytes& bytes, std::size_t piece) {
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
      lent.feedSysEx(bytes.data() + at, std::min(piece, bytes.size() - at));
    }
  }
  void feed(const Bytes& bytes) { feed(bytes, bytes.size()); }
  void feedStamped(const Bytes& bytes, int64_t atUs, int64_t cycle) {
    lent.feedSysEx(bytes.data(), bytes.size(), {.atUs = atUs, .cycle = cycle});
  }

  LentBuffers lent{&Sink::callback, this};
  std::vector<std::unique_ptr<MidiHeader>> headers;
  std::vector<Bytes> entries;
  std::vector<Bytes> cuts;                          // handed back as LongError
  std::vector<std::pair<int64_t, int64_t>> stamps;  // each entry's arrival time and cycle
  std::vector<uint32_t> shorts;
  int emptyReturns = 0;

 private:
  static void callback(InMessage message, void* instance, MidiHeader* header, uint32_t value) {
    auto* self = static_cast<Sink*>(instance);
    if (message == InMessage::ShortData) {
      self->shorts.push_back(value);
      return;
    }
    ASSERT_NE(header, nullptr);
    if (message == InMessage::LongError) {
      // A message cut short: kept apart from the entries, and the buffer goes back as the port's.
      ASSERT_GT(header->bytesRecorded, 0u);
      self->cuts.emplace_back(header->data, header->data + header->bytesRecorded);
      if (self->lendAgain_) {
        self->lent.prepare(header);
        self->lent.addBuffer(header);
      }
      return;
    }
    ASSERT_EQ(message, InMessage::LongData);
    EXPECT_NE(header->flags.load() & kHeaderDone, 0u);
    EXPECT_EQ(header->flags.load() & kHeaderInQueue, 0u);
    if (header->bytesRecorded == 0) {
      ++self->emptyReturns;
      return;
    }
    self->entries.emplace_back(header->data, header->data + header->bytesRecorded);
    self->stamps.emplace_back(header->arrival.atUs, header->arrival.cycle);
    if (self->lendAgain_) {
      self->lent.prepare(header);
      self->lent.addBuffer(header);
    }
  }

  bool lendAgain_;
  std::vector<Bytes> storage_;
};

class LentBuffersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sink.lendAll();
    sink.lent.start();
  }
  Sink sink;
};

TEST(LentBuffersPieces, EveryPieceSizeGivesWholeMessages) {
  for (const std::size_t length : {std::size_t{6}, std::size_t{2359}}) {
    const Bytes first = sysex(length, 1);
    const Bytes second = sysex(length, 2);
    const Bytes stream = joined({first, second});
    for (std::size_t piece = 1; piece <= 300; ++piece) {
      Sink sink;
      sink.lendAll();
      sink.lent.start();
      sink.feed(stream, piece);
      ASSERT_EQ(sink.entries.size(), 2u) << "length " << length << " piece " << piece;
      EXPECT_EQ(sink.entries[0], first) << "length " << length << " piece " << piece;
      EXPECT_EQ(sink.entries[1], second) << "length " << length << " piece " << piece;
    }
  }
}

TEST_F(LentBuffersTest, AnF0InsideAMessageCutsTheOneInProgress) {
  sink.feed({0xF0, 0x01, 0x02, 0xF0, 0x03, 0x04, 0xF7});
  EXPECT_EQ(sink.cuts, std::vector<Bytes>{(Bytes{0xF0, 0x01, 0x02})});
  EXPECT_EQ(sink.entries, std::vector<Bytes>{(Bytes{0xF0, 0x03, 0x04, 0xF7})});
}

TEST_F(LentBuffersTest, AMessageWithoutF7IsNotGluedToTheNextOne) {
  sink.feed({0xF0, 0x10, 0x11});
  EXPECT_TRUE(sink.entries.empty());
  sink.feed({0xF0, 0x20, 0xF7});
  EXPECT_EQ(sink.cuts, std::vector<Bytes>{(Bytes{0xF0, 0x10, 0x11})});
  EXPECT_EQ(sink.entries, std::vector<Bytes>{(Bytes{0xF0, 0x20, 0xF7})});
}

TEST_F(LentBuffersTest, EndMessageHandsBackWhatArrivedAsCut) {
  sink.feed({0xF0, 0x10});
  sink.lent.endMessage();
  sink.feed({0x11, 0xF7});  // no longer inside a message
  EXPECT_EQ(sink.cuts, std::vector<Bytes>{(Bytes{0xF0, 0x10})});
  EXPECT_TRUE(sink.entries.empty());
}

TEST_F(LentBuffersTest, EndMessageOutsideAMessageHandsNothingBack) {
  sink.feed({0xF0, 0x10, 0xF7});
  sink.lent.endMessage();
  EXPECT_TRUE(sink.cuts.empty());
  EXPECT_EQ(sink.entries.size(), 1u);
}

TEST_F(LentBuffersTest, BytesOutsideAMessageAreDropped) {
  sink.feed({0x01, 0x02, 0xF7, 0xF0, 0x03, 0xF7, 0x7F, 0x05});
  ASSERT_EQ(sink.entries.size(), 1u);
  EXPECT_EQ(sink.entries[0], (Bytes{0xF0, 0x03, 0xF7}));
}

TEST_F(LentBuffersTest, RealTimeBytesGoOutAsShortMessagesAndAreNotStored) {
  sink.feed({0xF0, 0x01});
  sink.feed({0xF8});
  sink.feed({0x02, 0xFE, 0x03});
  sink.feed({0xFF, 0xF7});
  ASSERT_EQ(sink.entries.size(), 1u);
  EXPECT_EQ(sink.entries[0], (Bytes{0xF0, 0x01, 0x02, 0x03, 0xF7}));
  EXPECT_EQ(sink.shorts, (std::vector<uint32_t>{0xF8, 0xFE, 0xFF}));
}

TEST_F(LentBuffersTest, AnotherStatusByteCutsTheMessage) {
  sink.feed({0xF0, 0x01, 0x90, 0x02, 0xF7, 0xF0, 0x05, 0xF7});
  EXPECT_EQ(sink.cuts, std::vector<Bytes>{(Bytes{0xF0, 0x01})});
  EXPECT_EQ(sink.entries, std::vector<Bytes>{(Bytes{0xF0, 0x05, 0xF7})});
}

TEST_F(LentBuffersTest, ALongMessageCutInItsSecondBufferKeepsTheFirstAsAnEntry) {
  const Bytes message = sysex(10000);
  sink.feed(Bytes(message.begin(), message.begin() + 9000));
  sink.lent.endMessage();
  ASSERT_EQ(sink.entries.size(), 1u);
  EXPECT_EQ(sink.entries[0].size(), 8192u);
  ASSERT_EQ(sink.cuts.size(), 1u);
  EXPECT_EQ(sink.cuts[0].size(), 9000u - 8192u);
}

TEST_F(LentBuffersTest, ALongMessageContinuesInTheNextBufferWithoutF0) {
  const Bytes message = sysex(20000);
  sink.feed(message, 1000);
  ASSERT_EQ(sink.entries.size(), 3u);
  EXPECT_EQ(sink.entries[0].size(), 8192u);
  EXPECT_EQ(sink.entries[1].size(), 8192u);
  EXPECT_EQ(sink.entries[2].size(), 3616u);
  EXPECT_NE(sink.entries[1].front(), 0xF0);
  EXPECT_NE(sink.entries[2].front(), 0xF0);
  EXPECT_EQ(joined(sink.entries), message);
}

TEST_F(LentBuffersTest, AMessageFillingTheBufferExactlyIsOneEntry) {
  sink.feed(sysex(8192, 3));
  sink.feed(sysex(8193, 4));
  ASSERT_EQ(sink.entries.size(), 3u);
  EXPECT_EQ(sink.entries[0], sysex(8192, 3));
  EXPECT_EQ(sink.entries[1].size(), 8192u);
  EXPECT_EQ(sink.entries[2], (Bytes{0xF7}));
  EXPECT_EQ(sink.emptyReturns, 0);
}

TEST_F(LentBuffersTest, AMessageCarriesTheStampOfItsLastPiece) {
  sink.feedStamped({0xF0, 0x01}, 5'000, 10);
  sink.feedStamped({0x02, 0x03}, 6'000, 11);
  sink.feedStamped({0xF7, 0xF0, 0x04, 0xF7}, 7'000, 12);
  ASSERT_EQ(sink.entries.size(), 2u);
  EXPECT_EQ(sink.stamps[0], (std::pair<int64_t, int64_t>{7'000, 12}));
  EXPECT_EQ(sink.stamps[1], (std::pair<int64_t, int64_t>{7'000, 12}));
}

TEST_F(LentBuffersTest, EachBufferOfALongMessageCarriesItsOwnLastPiecesStamp) {
  const Bytes message = sysex(10000);
  sink.feedStamped(Bytes(message.begin(), message.begin() + 8000), 100, 1);
  sink.feedStamped(Bytes(message.begin() + 8000, message.begin() + 9000), 200, 2);
  sink.feedStamped(Bytes(message.begin() + 9000, message.end()), 300, 3);
  ASSERT_EQ(sink.entries.size(), 2u);
  EXPECT_EQ(sink.stamps[0], (std::pair<int64_t, int64_t>{200, 2}));  // filled by the second
  EXPECT_EQ(sink.stamps[1], (std::pair<int64_t, int64_t>{300, 3}));
}

TEST_F(LentBuffersTest, PiecesWithoutAStampAreStampedWhenFed) {
  sink.feedStamped({0xF0, 0x01}, 5, 9);  // an old stamp must not stay on the message
  const int64_t before = steadyNowUs();
  sink.feed({0x02, 0xF7});
  const int64_t after = steadyNowUs();
  sink.feed({0xF0, 0x03, 0xF7});
  ASSERT_EQ(sink.entries.size(), 2u);
  EXPECT_GE(sink.stamps[0].first, before);
  EXPECT_LE(sink.stamps[0].first, after);
  EXPECT_EQ(sink.stamps[0].second, -1);
  EXPECT_GE(sink.stamps[1].first, sink.stamps[0].first);
}

TEST(LentBuffersOverflow, WithoutABufferTheRestOfTheMessageIsLost) {
  Sink sink(2, 8192, /*lendAgain=*/false);
  sink.lendAll();
  sink.lent.start();
  const Bytes message = sysex(20000);
  sink.feed(message, 4096);
  ASSERT_EQ(sink.entries.size(), 2u);
  EXPECT_EQ(joined(sink.entries), Bytes(message.begin(), message.begin() + 16384));

  // The remainder stays lost even once a buffer is lent again; the next message is whole.
  ASSERT_EQ(sink.lent.addBuffer(sink.headers[0].get()), kMidiOk);
  sink.feed({0x01, 0x02, 0xF7});
  sink.feed(sysex(6));
  ASSERT_EQ(sink.entries.size(), 3u);
  EXPECT_EQ(sink.entries[2], sysex(6));
}

TEST(LentBuffersOverflow, SeveralLentBuffersFillInOrder) {
  Sink sink(3, 100, /*lendAgain=*/false);
  sink.lendAll();
  sink.lent.start();
  const Bytes message = sysex(250);
  sink.feed(message, 33);
  ASSERT_EQ(sink.entries.size(), 3u);
  EXPECT_EQ(sink.entries[0].size(), 100u);
  EXPECT_EQ(sink.entries[2].size(), 50u);
  EXPECT_EQ(joined(sink.entries), message);
}

TEST(LentBuffersStop, APartlyFilledBufferComesBackWithWhatItHolds) {
  Sink sink(2, 8192, /*lendAgain=*/false);
  sink.lendAll();
  sink.lent.start();
  sink.feed({0xF0, 0x01, 0x02});
  sink.lent.stop();
  ASSERT_EQ(sink.entries.size(), 1u);
  EXPECT_EQ(sink.entries[0], (Bytes{0xF0, 0x01, 0x02}));
  // The empty one stays lent.
  EXPECT_EQ(sink.lent.unprepare(sink.headers[1].get()), kMidiErrorStillPlaying);
  EXPECT_EQ(sink.lent.unprepare(sink.headers[0].get()), kMidiOk);

  sink.feed(sysex(6));  // stopped: dropped
  EXPECT_EQ(sink.entries.size(), 1u);
  sink.lent.start();
  sink.feed({0x03, 0xF7});  // the cut message does not resume
  sink.feed(sysex(6));
  ASSERT_EQ(sink.entries.size(), 2u);
  EXPECT_EQ(sink.entries[1], sysex(6));
}

TEST(LentBuffersStop, WithNothingReceivedEveryBufferStaysLent) {
  Sink sink(2);
  sink.lendAll();
  sink.lent.start();
  sink.lent.stop();
  EXPECT_TRUE(sink.entries.empty());
  EXPECT_EQ(sink.emptyReturns, 0);
  EXPECT_EQ(sink.lent.unprepare(sink.headers[0].get()), kMidiErrorStillPlaying);
  EXPECT_EQ(sink.lent.unprepare(sink.headers[1].get()), kMidiErrorStillPlaying);
}

TEST(LentBuffersReset, EveryLentBufferComesBackEmpty) {
  Sink sink(2);
  sink.lendAll();
  sink.lent.start();
  sink.feed({0xF0, 0x01, 0x02});  // partly fills the first
  sink.lent.reset();
  EXPECT_TRUE(sink.entries.empty());  // its bytes are discarded
  EXPECT_EQ(sink.emptyReturns, 2);
  for (auto& header : sink.headers) {
    EXPECT_EQ(header->bytesRecorded, 0u);
    EXPECT_NE(header->flags.load() & kHeaderDone, 0u);
    EXPECT_EQ(sink.lent.unprepare(header.get()), kMidiOk);
    EXPECT_EQ(header->flags.load() & kHeaderPrepared, 0u);
  }
  sink.feed(sysex(6));  // input stopped
  EXPECT_TRUE(sink.entries.empty());
}

TEST(LentBuffersHeaders, PreparingAndLendingRules) {
  Sink sink(1);
  MidiHeader* header = sink.headers[0].get();
  EXPECT_EQ(sink.lent.addBuffer(header), kMidiErrorUnprepared);
  EXPECT_EQ(sink.lent.prepare(header), kMidiOk);
  EXPECT_EQ(sink.lent.prepare(header), kMidiOk);  // preparing twice is fine
  header->flags.fetch_or(kHeaderDone);
  header->bytesRecorded = 77;
  EXPECT_EQ(sink.lent.addBuffer(header), kMidiOk);
  EXPECT_EQ(header->flags.load() & kHeaderDone, 0u);
  EXPECT_NE(header->flags.load() & kHeaderInQueue, 0u);
  EXPECT_EQ(header->bytesRecorded, 0u);
  EXPECT_EQ(sink.lent.addBuffer(header), kMidiErrorStillPlaying);
  EXPECT_EQ(sink.lent.unprepare(header), kMidiErrorStillPlaying);
  sink.lent.reset();
  EXPECT_EQ(sink.lent.unprepare(header), kMidiOk);
  EXPECT_EQ(sink.lent.addBuffer(header), kMidiErrorUnprepared);
}

TEST(LentBuffersHeaders, NothingArrivesBeforeStart) {
  Sink sink(1);
  sink.lendAll();
  sink.feed(sysex(6));
  sink.lent.feedShort(0x90);
  EXPECT_TRUE(sink.entries.empty());
  EXPECT_TRUE(sink.shorts.empty());
  sink.lent.start();
  sink.lent.feedShort(0x403C90);
  sink.feed(sysex(6));
  EXPECT_EQ(sink.shorts, (std::vector<uint32_t>{0x403C90}));
  EXPECT_EQ(sink.entries.size(), 1u);
}

TEST(LentBuffersHeaders, CloseReleasesLentBuffersWithoutCallingBack) {
  Sink sink(2);
  sink.lendAll();
  sink.lent.start();
  sink.feed({0xF0, 0x01});
  sink.lent.close();
  EXPECT_TRUE(sink.entries.empty());
  EXPECT_EQ(sink.emptyReturns, 0);
  for (auto& header : sink.headers) EXPECT_EQ(sink.lent.unprepare(header.get()), kMidiOk);
  sink.lent.start();
  sink.feed(sysex(6));
  EXPECT_TRUE(sink.entries.empty());
}

// Counts events and lets a thread wait for a count.
class Counter {
 public:
  void add() {
    std::lock_guard lock(mutex_);
    ++count_;
    changed_.notify_all();
  }
  long value() {
    std::lock_guard lock(mutex_);
    return count_;
  }
  void waitFor(long count) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return count_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  long count_ = 0;
};

struct Racer {
  static void callback(InMessage message, void* instance, MidiHeader* header, uint32_t) {
    auto* self = static_cast<Racer*>(instance);
    self->running.fetch_add(1);
    if (self->closeReturned.load()) self->lateCalls.fetch_add(1);
    if (message == InMessage::LongData && header->bytesRecorded > 0) {
      // Some work while close() may be waiting, as the port's copy does.
      uint32_t sum = 0;
      for (uint32_t i = 0; i < header->bytesRecorded; ++i) sum += header->data[i];
      self->checksum.fetch_add(sum);
      self->lent.prepare(header);
      self->lent.addBuffer(header);
    }
    self->calls.add();
    self->running.fetch_sub(1);
  }

  LentBuffers lent{&Racer::callback, this};
  std::atomic<int> running{0};
  std::atomic<bool> closeReturned{false};
  std::atomic<int> lateCalls{0};
  std::atomic<uint32_t> checksum{0};
  Counter calls;
};

TEST(LentBuffersClose, NoCallbackAfterCloseWhileAnotherThreadFeeds) {
  for (int round = 0; round < 20; ++round) {
    Racer racer;
    std::vector<uint8_t> storage(64);
    MidiHeader header;
    header.data = storage.data();
    header.bufferLength = 64;
    ASSERT_EQ(racer.lent.prepare(&header), kMidiOk);
    ASSERT_EQ(racer.lent.addBuffer(&header), kMidiOk);
    racer.lent.start();

    std::atomic<bool> stopFeeding{false};
    Counter feeds;
    std::thread feeder([&] {
      const Bytes message = {0xF0, 0x11, 0x22, 0xF8, 0x33, 0xF7, 0xFE};
      while (!stopFeeding.load()) {
        racer.lent.feedSysEx(message.data(), 3);
        racer.lent.feedSysEx(message.data() + 3, message.size() - 3);
        racer.lent.feedShort(0x90);
        feeds.add();
      }
    });

    racer.calls.waitFor(200 + round * 50);
    racer.lent.close();
    racer.closeReturned.store(true);
    EXPECT_EQ(racer.running.load(), 0) << "round " << round;
    const long callsAtClose = racer.calls.value();
    feeds.waitFor(feeds.value() + 500);  // the feeder keeps going after close
    stopFeeding.store(true);
    feeder.join();

    EXPECT_EQ(racer.lateCalls.load(), 0) << "round " << round;
    EXPECT_EQ(racer.calls.value(), callsAtClose) << "round " << round;
    EXPECT_EQ(racer.lent.unprepare(&header), kMidiOk);
  }
}

}  // namespace
}  // namespace rt88h::midi
