// The buffer-filling rule shared by the back-ends: pieces in, one entry per message out, through
// the rule itself, the event reader JACK's input uses, the ALSA event conversion and the ports
// over the virtual device.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <numeric>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "midi/backends/common.h"
#include "midi/backends/lent_buffers.h"
#include "midi/backends/virtual_midi.h"
#include "midi/midi_in_port.h"
#include "tests/support/fake_midi_api.h"
#include "tests/support/sysex_support.h"
#if RT88H_HAVE_ALSA
#include "midi/backends/alsa_events.h"
#endif

namespace rt88h::midi {
namespace {

using rt88h::testing::Bytes;
using rt88h::testing::joined;
using rt88h::testing::sysex;
using testing::Counter;

// Plays the input port: copies each buffer that comes back and, like the port, lends it again
// only when it holds something.
class Sink {
 public:
  // Unless told otherwise every buffer is lent and input started.
  explicit Sink(std::size_t buffers = 1, uint32_t size = 8192, bool lendAgain = true,
                bool start = true)
      : lendAgain_(lendAgain) {
    for (std::size_t i = 0; i < buffers; ++i) {
      storage_.emplace_back(size);
      auto header = std::make_unique<MidiHeader>();
      header->data = storage_.back().data();
      header->bufferLength = size;
      headers.push_back(std::move(header));
    }
    if (!start) return;
    lendAll();
    lent.start();
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
      self->lendAgain(header);
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
    self->lendAgain(header);
  }
  void lendAgain(MidiHeader* header) {
    if (!lendAgain_) return;
    lent.prepare(header);
    lent.addBuffer(header);
  }

  bool lendAgain_;
  std::vector<Bytes> storage_;
};

// Bytes [from, to) of a message.
Bytes part(const Bytes& message, std::size_t from, std::size_t to = SIZE_MAX) {
  return Bytes(message.begin() + static_cast<std::ptrdiff_t>(from),
               message.begin() + static_cast<std::ptrdiff_t>(std::min(to, message.size())));
}

const Bytes kLost{};  // a piece standing for events lost in between

// Pieces in, entries out: whole messages, messages cut short (LongError) and short messages.
struct PiecesCase {
  const char* name;
  std::vector<Bytes> pieces;
  std::vector<Bytes> wholes;
  std::vector<Bytes> cuts = {};
  std::vector<uint32_t> shorts = {};
  std::vector<std::size_t> splits = {};  // also the pieces joined and cut every n bytes (0: not)
  bool asEvents = true;                  // each piece is what one event can carry
};

std::vector<PiecesCase> piecesCases() {
  const Bytes huge = sysex(20000, 4);
  const Bytes longCut = sysex(10000);
  const Bytes lost = sysex(1000, 5);
  const Bytes full = sysex(8192, 3);
  const Bytes over = sysex(8193, 4);
  std::vector<std::size_t> sizes(300);
  std::iota(sizes.begin(), sizes.end(), 1);
  sizes.insert(sizes.end(), {1000, 8191, 0});
  return {
      {"MessagesInAnyPieces",
       {sysex(6, 1), sysex(6, 2), sysex(2359, 1), sysex(2359, 2), huge},
       {sysex(6, 1), sysex(6, 2), sysex(2359, 1), sysex(2359, 2), part(huge, 0, 8192),
        part(huge, 8192, 16384), part(huge, 16384)},
       {},
       {},
       sizes},
      {"AnF0CutsTheMessageInProgress",
       {{0xF0, 0x01, 0x02, 0xF0, 0x03, 0x04, 0xF7}},
       {{0xF0, 0x03, 0x04, 0xF7}},
       {{0xF0, 0x01, 0x02}}},
      {"AMessageWithoutF7IsNotGluedToTheNext",
       {{0xF0, 0x10, 0x11}, {0xF0, 0x20, 0xF7}},
       {{0xF0, 0x20, 0xF7}},
       {{0xF0, 0x10, 0x11}}},
      {"AStatusByteCutsTheMessage",
       {{0xF0, 0x01, 0x90, 0x02, 0xF7, 0xF0, 0x05, 0xF7}},
       {{0xF0, 0x05, 0xF7}},
       {{0xF0, 0x01}}},
      {"AChannelMessageCutsTheMessageAndIsPacked",
       {{0xF0, 0x01}, {0x91, 0x3C, 0x64}, {0xF0, 0x05, 0xF7}},
       {{0xF0, 0x05, 0xF7}},
       {{0xF0, 0x01}},
       {0x643C91}},
      {"RealTimeBytesLeaveTheMessageWhole",
       {{0xF0, 0x01}, {0xF8}, {0x02, 0xFE, 0x03}, {0xFF}, {0xF7}},
       {{0xF0, 0x01, 0x02, 0x03, 0xF7}},
       {},
       {0xF8, 0xFE, 0xFF}},
      {"DataBytesBelongOnlyToAMessageInProgress",
       {{0x11, 0x22}, {0xF0, 0x52, 0x00}, {0x11, 0x22}, {0x33, 0xF7}, {0x11, 0x22}},
       {{0xF0, 0x52, 0x00, 0x11, 0x22, 0x33, 0xF7}}},
      {"BytesAroundAMessageInOnePieceAreDropped",
       {{0x01, 0x02, 0xF7, 0xF0, 0x03, 0xF7, 0x7F, 0x05}},
       {{0xF0, 0x03, 0xF7}},
       {},
       {},
       {},
       false},
      {"LostEventsCutTheMessageAndItsRestIsNotGluedOn",
       {part(lost, 0, 300), kLost, part(lost, 600), sysex(50, 6)},
       {sysex(50, 6)},
       {part(lost, 0, 300)}},
      {"ALossOutsideAMessageCutsNothing", {{0xF0, 0x10, 0xF7}, kLost}, {{0xF0, 0x10, 0xF7}}},
      {"ALongMessageCutInItsSecondBufferKeepsTheFirst",
       {part(longCut, 0, 9000), kLost},
       {part(longCut, 0, 8192)},
       {part(longCut, 8192, 9000)}},
      {"AMessageFillingTheBufferExactlyIsOneEntry",
       {full, over},
       {full, part(over, 0, 8192), {0xF7}}},
      {"ShortMessagesMakeNoEntry",
       {{0xFE}, {0xB2, 0x07, 0x40}, {0x90, 0x40, 0x01}},
       {},
       {},
       {0xFE, 0x4007B2, 0x014090}},
  };
}

struct Outcome {
  std::vector<Bytes> wholes;
  std::vector<Bytes> cuts = {};
  std::vector<uint32_t> shorts = {};
  int emptyReturns = 0;
};

// One way in of the back-ends.
struct WayIn {
  const char* name;
  Outcome (*feed)(const std::vector<Bytes>& pieces);
  bool events;  // reads a piece as one event: channel messages become short messages
  bool ports;   // through the ports: only whole messages come out, and nothing is lost
};

template <class Deliver>
Outcome intoLentBuffers(Deliver deliver) {
  Sink sink;
  deliver(sink.lent);
  return {sink.entries, sink.cuts, sink.shorts, sink.emptyReturns};
}

Outcome byTheRule(const std::vector<Bytes>& pieces) {
  return intoLentBuffers([&](LentBuffers& lent) {
    for (const Bytes& piece : pieces) {
      piece.empty() ? lent.endMessage() : lent.feedSysEx(piece.data(), piece.size());
    }
  });
}

Outcome asEvents(const std::vector<Bytes>& pieces) {
  return intoLentBuffers([&](LentBuffers& lent) {
    EventReader reader;
    for (const Bytes& piece : pieces) {
      piece.empty() ? deliverLoss(reader, lent)
                    : deliverPiece(piece.data(), piece.size(), reader, lent);
    }
  });
}

#if RT88H_HAVE_ALSA
// The sequencer event that carries these bytes.
snd_seq_event_t eventOf(const Bytes& piece) {
  snd_seq_event_t event;
  snd_seq_ev_clear(&event);
  const uint8_t status = piece[0];
  switch (status >= 0xF0 ? status : status & 0xF0) {
    case 0x90: snd_seq_ev_set_noteon(&event, status & 0x0F, piece[1], piece[2]); break;
    case 0xB0: snd_seq_ev_set_controller(&event, status & 0x0F, piece[1], piece[2]); break;
    case 0xF8: event.type = SND_SEQ_EVENT_CLOCK; break;
    case 0xFE: event.type = SND_SEQ_EVENT_SENSING; break;
    case 0xFF: event.type = SND_SEQ_EVENT_RESET; break;
    default:
      snd_seq_ev_set_sysex(&event, static_cast<unsigned>(piece.size()),
                           const_cast<uint8_t*>(piece.data()));
  }
  return event;
}

Outcome asSequencerEvents(const std::vector<Bytes>& pieces) {
  return intoLentBuffers([&](LentBuffers& lent) {
    EventReader reader;
    for (const Bytes& piece : pieces) {
      piece.empty() ? deliverLoss(reader, lent) : deliverEvent(eventOf(piece), reader, lent);
    }
  });
}
#endif

Outcome throughThePorts(const std::vector<Bytes>& pieces) {
  MidiService service;
  auto backend = makeVirtualMidiBackend();
  service.addBackend(backend);
  auto device = backend->addDevice("RT-88H");
  MidiInPort in(service);
  EXPECT_EQ(in.openAndStart(0), 1);
  for (const Bytes& piece : pieces) device->inject(piece.data(), piece.size());
  return {rt88h::testing::drain(in)};
}

void PrintTo(const WayIn& way, std::ostream* out) {
  *out << way.name;
}

std::vector<WayIn> waysIn() {
  std::vector<WayIn> ways{{"LentBuffers", &byTheRule, false, false},
                          {"EventReader", &asEvents, true, false},
                          {"VirtualPorts", &throughThePorts, false, true}};
#if RT88H_HAVE_ALSA
  ways.push_back({"AlsaEvents", &asSequencerEvents, true, false});
#endif
  return ways;
}

std::vector<Bytes> inPieces(const Bytes& stream, std::size_t size) {
  std::vector<Bytes> pieces;
  for (std::size_t at = 0; at < stream.size(); at += size) {
    pieces.push_back(part(stream, at, at + size));
  }
  return pieces;
}

class ReceivedPieces : public ::testing::TestWithParam<WayIn> {};

TEST_P(ReceivedPieces, GiveTheEntriesOfTheTable) {
  const WayIn& way = GetParam();
  for (const PiecesCase& c : piecesCases()) {
    const bool loses = std::count(c.pieces.begin(), c.pieces.end(), kLost) != 0;
    if ((way.events && !c.asEvents) || (way.ports && loses)) continue;
    SCOPED_TRACE(c.name);
    std::vector<uint32_t> shorts;  // what the rule passes on of bytes fed as SysEx: real time
    for (const uint32_t message : c.shorts) {
      if (way.events || (message & 0xFF) >= 0xF8) shorts.push_back(message);
    }
    for (const std::size_t size : c.splits.empty() ? std::vector<std::size_t>{0} : c.splits) {
      const Outcome got = way.feed(size == 0 ? c.pieces : inPieces(joined(c.pieces), size));
      ASSERT_EQ(got.wholes, c.wholes) << "pieces of " << size;
      EXPECT_EQ(got.cuts, way.ports ? std::vector<Bytes>{} : c.cuts);
      EXPECT_EQ(got.shorts, way.ports ? std::vector<uint32_t>{} : shorts);
      EXPECT_EQ(got.emptyReturns, 0);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EachWayIn, ReceivedPieces, ::testing::ValuesIn(waysIn()),
                         [](const auto& way) { return std::string(way.param.name); });

TEST(LentBuffersStamps, AMessageCarriesTheStampOfItsLastPiece) {
  Sink sink;
  sink.feedStamped({0xF0, 0x01}, 5'000, 10);
  sink.feedStamped({0x02, 0x03}, 6'000, 11);
  sink.feedStamped({0xF7, 0xF0, 0x04, 0xF7}, 7'000, 12);
  ASSERT_EQ(sink.entries.size(), 2u);
  EXPECT_EQ(sink.stamps[0], (std::pair<int64_t, int64_t>{7'000, 12}));
  EXPECT_EQ(sink.stamps[1], (std::pair<int64_t, int64_t>{7'000, 12}));
}

TEST(LentBuffersStamps, EachBufferOfALongMessageCarriesItsOwnLastPiecesStamp) {
  Sink sink;
  const Bytes message = sysex(10000);
  sink.feedStamped(Bytes(message.begin(), message.begin() + 8000), 100, 1);
  sink.feedStamped(Bytes(message.begin() + 8000, message.begin() + 9000), 200, 2);
  sink.feedStamped(Bytes(message.begin() + 9000, message.end()), 300, 3);
  ASSERT_EQ(sink.entries.size(), 2u);
  EXPECT_EQ(sink.stamps[0], (std::pair<int64_t, int64_t>{200, 2}));  // filled by the second
  EXPECT_EQ(sink.stamps[1], (std::pair<int64_t, int64_t>{300, 3}));
}

TEST(LentBuffersStamps, PiecesWithoutAStampAreStampedWhenFed) {
  Sink sink;
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
  const Bytes message = sysex(250);
  sink.feed(message, 33);
  ASSERT_EQ(sink.entries.size(), 3u);
  EXPECT_EQ(sink.entries[0].size(), 100u);
  EXPECT_EQ(sink.entries[2].size(), 50u);
  EXPECT_EQ(joined(sink.entries), message);
}

TEST(LentBuffersStop, APartlyFilledBufferComesBackWithWhatItHolds) {
  Sink sink(2, 8192, /*lendAgain=*/false);
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
  sink.lent.stop();
  EXPECT_TRUE(sink.entries.empty());
  EXPECT_EQ(sink.emptyReturns, 0);
  EXPECT_EQ(sink.lent.unprepare(sink.headers[0].get()), kMidiErrorStillPlaying);
  EXPECT_EQ(sink.lent.unprepare(sink.headers[1].get()), kMidiErrorStillPlaying);
}

TEST(LentBuffersReset, EveryLentBufferComesBackEmpty) {
  Sink sink(2);
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
  sink.lendAll();
  sink.lent.start();
  sink.feed({0x03, 0xF7});  // the message cut by the reset does not resume
  sink.feed(sysex(6));
  EXPECT_EQ(sink.entries, std::vector<Bytes>{sysex(6)});
}

TEST(LentBuffersHeaders, PreparingAndLendingRules) {
  Sink sink(1, 8192, true, /*start=*/false);
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
  Sink sink(1, 8192, true, /*start=*/false);
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
  sink.feed({0xF0, 0x01});
  sink.lent.close();
  EXPECT_TRUE(sink.entries.empty());
  EXPECT_EQ(sink.emptyReturns, 0);
  for (auto& header : sink.headers) EXPECT_EQ(sink.lent.unprepare(header.get()), kMidiOk);
  sink.lent.start();
  sink.feed(sysex(6));
  EXPECT_TRUE(sink.entries.empty());
}

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
    MidiHeader header{storage.data(), 64};
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
