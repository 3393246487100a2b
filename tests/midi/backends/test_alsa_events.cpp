// Sequencer events as the input side sees them, without a sequencer.
#include <gtest/gtest.h>

#include <cerrno>
#include <deque>
#include <vector>

#include "midi/backends/alsa_events.h"

namespace rt88h::midi {
namespace {

snd_seq_event_t blank() {
  snd_seq_event_t event;
  snd_seq_ev_clear(&event);
  return event;
}

std::vector<uint8_t> bytesOf(const snd_seq_event_t& event) {
  uint8_t scratch[3] = {};
  const uint8_t* bytes = nullptr;
  const std::size_t count = eventBytes(event, scratch, &bytes);
  if (count == 0) return {};
  return std::vector<uint8_t>(bytes, bytes + count);
}

TEST(AlsaEvents, ChannelMessages) {
  snd_seq_event_t event = blank();
  snd_seq_ev_set_noteon(&event, 2, 60, 100);
  EXPECT_EQ(bytesOf(event), (std::vector<uint8_t>{0x92, 60, 100}));
  snd_seq_ev_set_noteon(&event, 0, 60, 0);  // stays a Note On with velocity 0
  EXPECT_EQ(bytesOf(event), (std::vector<uint8_t>{0x90, 60, 0}));
  snd_seq_ev_set_noteoff(&event, 15, 61, 64);
  EXPECT_EQ(bytesOf(event), (std::vector<uint8_t>{0x8F, 61, 64}));
  snd_seq_ev_set_keypress(&event, 1, 62, 5);
  EXPECT_EQ(bytesOf(event), (std::vector<uint8_t>{0xA1, 62, 5}));
  snd_seq_ev_set_controller(&event, 3, 7, 127);
  EXPECT_EQ(bytesOf(event), (std::vector<uint8_t>{0xB3, 7, 127}));
  snd_seq_ev_set_pgmchange(&event, 4, 9);
  EXPECT_EQ(bytesOf(event), (std::vector<uint8_t>{0xC4, 9}));
  snd_seq_ev_set_chanpress(&event, 5, 33);
  EXPECT_EQ(bytesOf(event), (std::vector<uint8_t>{0xD5, 33}));
}

TEST(AlsaEvents, PitchBendIsCentredOn8192) {
  snd_seq_event_t event = blank();
  snd_seq_ev_set_pitchbend(&event, 0, 0);
  EXPECT_EQ(bytesOf(event), (std::vector<uint8_t>{0xE0, 0x00, 0x40}));
  snd_seq_ev_set_pitchbend(&event, 1, -8192);
  EXPECT_EQ(bytesOf(event), (std::vector<uint8_t>{0xE1, 0x00, 0x00}));
  snd_seq_ev_set_pitchbend(&event, 1, 8191);
  EXPECT_EQ(bytesOf(event), (std::vector<uint8_t>{0xE1, 0x7F, 0x7F}));
}

TEST(AlsaEvents, SystemAndRealTimeMessages) {
  struct Case {
    snd_seq_event_type_t type;
    int value;
    std::vector<uint8_t> bytes;
  };
  const std::vector<Case> cases{
      {SND_SEQ_EVENT_CLOCK, 0, {0xF8}},
      {SND_SEQ_EVENT_START, 0, {0xFA}},
      {SND_SEQ_EVENT_CONTINUE, 0, {0xFB}},
      {SND_SEQ_EVENT_STOP, 0, {0xFC}},
      {SND_SEQ_EVENT_SENSING, 0, {0xFE}},
      {SND_SEQ_EVENT_RESET, 0, {0xFF}},
      {SND_SEQ_EVENT_TUNE_REQUEST, 0, {0xF6}},
      {SND_SEQ_EVENT_SONGSEL, 5, {0xF3, 5}},
      {SND_SEQ_EVENT_QFRAME, 0x31, {0xF1, 0x31}},
      {SND_SEQ_EVENT_SONGPOS, 300, {0xF2, 300 & 0x7F, 300 >> 7}},
  };
  for (const Case& c : cases) {
    snd_seq_event_t event = blank();
    event.type = c.type;
    event.data.control.value = c.value;
    EXPECT_EQ(bytesOf(event), c.bytes) << "type " << int{c.type};
  }
}

TEST(AlsaEvents, EventsWithoutMidiGiveNothing) {
  for (snd_seq_event_type_t type :
       {SND_SEQ_EVENT_PORT_SUBSCRIBED, SND_SEQ_EVENT_CLIENT_START, SND_SEQ_EVENT_ECHO}) {
    snd_seq_event_t event = blank();
    event.type = type;
    EXPECT_TRUE(bytesOf(event).empty()) << "type " << int{type};
  }
}

TEST(AlsaEvents, SysExPiecePointsIntoTheEvent) {
  uint8_t data[] = {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7};
  snd_seq_event_t event = blank();
  snd_seq_ev_set_sysex(&event, sizeof data, data);
  uint8_t scratch[3] = {};
  const uint8_t* bytes = nullptr;
  EXPECT_EQ(eventBytes(event, scratch, &bytes), sizeof data);
  EXPECT_EQ(bytes, data);
}

class Sink {
 public:
  Sink() : lent_(&Sink::callback, this) {
    for (std::size_t i = 0; i < 2; ++i) {
      headers_[i].data = storage_[i].data();
      headers_[i].bufferLength = static_cast<uint32_t>(storage_[i].size());
      lent_.prepare(&headers_[i]);
      lent_.addBuffer(&headers_[i]);
    }
    lent_.start();
  }
  ~Sink() { lent_.close(); }
  LentBuffers& lent() { return lent_; }
  std::vector<std::vector<uint8_t>> entries;
  std::vector<std::vector<uint8_t>> cuts;  // handed back as LongError
  std::vector<uint32_t> shorts;

 private:
  static void callback(InMessage message, void* instance, MidiHeader* header, uint32_t value) {
    auto* self = static_cast<Sink*>(instance);
    if (message == InMessage::ShortData) self->shorts.push_back(value);
    if (message == InMessage::ShortData || header->bytesRecorded == 0) return;
    (message == InMessage::LongData ? self->entries : self->cuts)
        .emplace_back(header->data, header->data + header->bytesRecorded);
    self->lent_.addBuffer(header);
  }
  LentBuffers lent_;
  MidiHeader headers_[2];
  std::vector<uint8_t> storage_[2] = {std::vector<uint8_t>(8192), std::vector<uint8_t>(8192)};
};

std::vector<uint8_t> sysex(std::size_t length) {
  std::vector<uint8_t> bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i & 0x7F);
  bytes.front() = 0xF0;
  bytes.back() = 0xF7;
  return bytes;
}

// As the kernel's MIDI ports deliver SysEx: events of at most 256 bytes.
void deliverAsSequencer(std::vector<uint8_t>& message, EventReader& reader, LentBuffers& lent) {
  for (std::size_t at = 0; at < message.size(); at += 256) {
    snd_seq_event_t event = blank();
    snd_seq_ev_set_sysex(&event,
                         static_cast<unsigned>(std::min<std::size_t>(256, message.size() - at)),
                         message.data() + at);
    deliverEvent(event, reader, lent);
  }
}

TEST(AlsaInput, SysExIn256BytePiecesMakesEntriesOf8192) {
  Sink sink;
  EventReader reader;
  std::vector<uint8_t> message = sysex(20000);
  deliverAsSequencer(message, reader, sink.lent());
  ASSERT_EQ(sink.entries.size(), 3u);
  EXPECT_EQ(sink.entries[0].size(), 8192u);
  EXPECT_EQ(sink.entries[1].size(), 8192u);
  EXPECT_EQ(sink.entries[2].size(), 3616u);
  std::vector<uint8_t> all;
  for (const auto& entry : sink.entries) all.insert(all.end(), entry.begin(), entry.end());
  EXPECT_EQ(all, message);
}

TEST(AlsaInput, ShortEventsReachTheCallbackAndMakeNoEntry) {
  Sink sink;
  EventReader reader;
  snd_seq_event_t event = blank();
  snd_seq_ev_set_noteon(&event, 0, 64, 1);
  deliverEvent(event, reader, sink.lent());
  event = blank();
  event.type = SND_SEQ_EVENT_SENSING;
  deliverEvent(event, reader, sink.lent());
  EXPECT_TRUE(sink.entries.empty());
  EXPECT_EQ(sink.shorts, (std::vector<uint32_t>{0x014090, 0xFE}));
}

TEST(AlsaInput, OverrunCutsTheMessageInProgress) {
  EXPECT_EQ(inputStep(-ENOSPC), InputStep::Overrun);
  EXPECT_EQ(inputStep(-EAGAIN), InputStep::Failed);
  EXPECT_EQ(inputStep(1), InputStep::Event);

  Sink sink;
  EventReader reader;
  std::vector<uint8_t> cut = sysex(1000);
  std::vector<uint8_t> next = sysex(40);
  snd_seq_event_t event = blank();
  snd_seq_ev_set_sysex(&event, 256, cut.data());
  deliverEvent(event, reader, sink.lent());
  deliverLoss(reader, sink.lent());
  // What the FIFO still had of the cut message after the overrun: never glued on.
  snd_seq_ev_set_sysex(&event, 256, cut.data() + 512);
  deliverEvent(event, reader, sink.lent());
  deliverAsSequencer(next, reader, sink.lent());
  EXPECT_EQ(sink.cuts, std::vector<std::vector<uint8_t>>{
                           std::vector<uint8_t>(cut.begin(), cut.begin() + 256)});
  EXPECT_EQ(sink.entries, std::vector<std::vector<uint8_t>>{next});
}

TEST(AlsaLimits, PoolsSizedForTheLargestMessage) {
  // 16,384 bytes need more than the kernel's default pool of 500 cells gives...
  EXPECT_LT(alsaMessageLimit(16 * 1024, 500), 16384u);
  // ...and fit the pools and buffer the back-end asks for.
  EXPECT_GE(alsaMessageLimit(65536, 2000), 20000u);
  EXPECT_EQ(alsaMessageLimit(65536, 2000), 1999 * sizeof(snd_seq_event_t));
  EXPECT_EQ(alsaMessageLimit(1024, 2000), 1024 - sizeof(snd_seq_event_t) - 1);
  EXPECT_EQ(alsaMessageLimit(65536, 1), 0u);
}

TEST(AlsaLimits, AKernelClientTakesNoMoreThanItsRawMidiBuffer) {
  const std::size_t ours = alsaMessageLimit(65536, 2000);
  EXPECT_EQ(alsaDeviceMessageLimit(ours, false), ours);
  EXPECT_EQ(alsaDeviceMessageLimit(ours, true), 4096u);
  // The largest message of an update still fits.
  EXPECT_GE(alsaDeviceMessageLimit(ours, true), 2359u);
  // A client whose own limit is lower keeps it.
  EXPECT_EQ(alsaDeviceMessageLimit(1000, true), 1000u);
}

}  // namespace
}  // namespace rt88h::midi
