// Sequencer events as the input side sees them, without a sequencer.
#include <gtest/gtest.h>

#include <cerrno>
#include <utility>
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

snd_seq_event_t typed(snd_seq_event_type_t type, int value = 0) {
  snd_seq_event_t event = blank();
  event.type = type;
  event.data.control.value = value;
  return event;
}

template <class Set>
snd_seq_event_t made(Set set) {
  snd_seq_event_t event = blank();
  set(&event);
  return event;
}

TEST(AlsaEvents, EachKindGivesItsBytesAndEventsWithoutMidiNone) {
  const std::vector<std::pair<snd_seq_event_t, std::vector<uint8_t>>> cases{
      {made([](auto* e) { snd_seq_ev_set_noteon(e, 2, 60, 100); }), {0x92, 60, 100}},
      // A Note On with velocity 0 stays one.
      {made([](auto* e) { snd_seq_ev_set_noteon(e, 0, 60, 0); }), {0x90, 60, 0}},
      {made([](auto* e) { snd_seq_ev_set_noteoff(e, 15, 61, 64); }), {0x8F, 61, 64}},
      {made([](auto* e) { snd_seq_ev_set_keypress(e, 1, 62, 5); }), {0xA1, 62, 5}},
      {made([](auto* e) { snd_seq_ev_set_controller(e, 3, 7, 127); }), {0xB3, 7, 127}},
      {made([](auto* e) { snd_seq_ev_set_pgmchange(e, 4, 9); }), {0xC4, 9}},
      {made([](auto* e) { snd_seq_ev_set_chanpress(e, 5, 33); }), {0xD5, 33}},
      // Pitch bend is centred on 8192.
      {made([](auto* e) { snd_seq_ev_set_pitchbend(e, 0, 0); }), {0xE0, 0x00, 0x40}},
      {made([](auto* e) { snd_seq_ev_set_pitchbend(e, 1, -8192); }), {0xE1, 0x00, 0x00}},
      {made([](auto* e) { snd_seq_ev_set_pitchbend(e, 1, 8191); }), {0xE1, 0x7F, 0x7F}},
      {typed(SND_SEQ_EVENT_CLOCK), {0xF8}},
      {typed(SND_SEQ_EVENT_START), {0xFA}},
      {typed(SND_SEQ_EVENT_CONTINUE), {0xFB}},
      {typed(SND_SEQ_EVENT_STOP), {0xFC}},
      {typed(SND_SEQ_EVENT_SENSING), {0xFE}},
      {typed(SND_SEQ_EVENT_RESET), {0xFF}},
      {typed(SND_SEQ_EVENT_TUNE_REQUEST), {0xF6}},
      {typed(SND_SEQ_EVENT_SONGSEL, 5), {0xF3, 5}},
      {typed(SND_SEQ_EVENT_QFRAME, 0x31), {0xF1, 0x31}},
      {typed(SND_SEQ_EVENT_SONGPOS, 300), {0xF2, 300 & 0x7F, 300 >> 7}},
      {typed(SND_SEQ_EVENT_PORT_SUBSCRIBED), {}},
      {typed(SND_SEQ_EVENT_CLIENT_START), {}},
      {typed(SND_SEQ_EVENT_ECHO), {}},
  };
  for (const auto& [event, bytes] : cases) {
    EXPECT_EQ(bytesOf(event), bytes) << "type " << int{event.type};
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

// What it reads into the buffers is test_lent_buffers.cpp's table.
TEST(AlsaInput, AnOverrunIsToldFromAFailedRead) {
  EXPECT_EQ(inputStep(-ENOSPC), InputStep::Overrun);
  EXPECT_EQ(inputStep(-EAGAIN), InputStep::Failed);
  EXPECT_EQ(inputStep(1), InputStep::Event);
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
