// The WinMM back-end and timer (Windows builds only): the driver's callbacks as we translate
// them, the devices the system offers, and the periodic events.
// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>

#include "midi/backends/winmm_backend.h"
#include "midi/timer_api.h"
#include "tests/support/fake_midi_api.h"

namespace rt88h::midi {
namespace {

using testing::kLongWait;
using testing::Signal;

struct Received {
  int calls = 0;
  InMessage message = InMessage::ShortData;
  MidiHeader* header = nullptr;
  uint32_t shortMessage = 0;
};

void record(InMessage message, void* instance, MidiHeader* header, uint32_t shortMessage) {
  auto* received = static_cast<Received*>(instance);
  ++received->calls;
  received->message = message;
  received->header = header;
  received->shortMessage = shortMessage;
}

uintptr_t asParam(MIDIHDR& header) {
  return reinterpret_cast<uintptr_t>(&header);
}

TEST(WinmmTranslation, BufferGivenBackBecomesLongDataWithCountAndStamp) {
  uint8_t bytes[16] = {};
  MidiHeader ours;
  ours.data = bytes;
  ours.bufferLength = sizeof bytes;
  ours.flags = kHeaderPrepared | kHeaderInQueue;
  MIDIHDR driver{};
  driver.dwUser = reinterpret_cast<DWORD_PTR>(&ours);
  driver.dwBytesRecorded = 5;
  driver.dwFlags = MHDR_DONE | MHDR_PREPARED;

  Received received;
  const int64_t before = steadyNowUs();
  winmmInMessage(MIM_LONGDATA, asParam(driver), &record, &received);
  EXPECT_EQ(received.calls, 1);
  EXPECT_EQ(received.message, InMessage::LongData);
  EXPECT_EQ(received.header, &ours);
  EXPECT_EQ(ours.bytesRecorded, 5u);
  EXPECT_EQ(ours.flags.load(), kHeaderPrepared | kHeaderDone);
  EXPECT_GE(ours.arrival.atUs, before);
  EXPECT_LE(ours.arrival.atUs, steadyNowUs());
  EXPECT_EQ(ours.arrival.cycle, -1);

  // A cut SysEx; a count beyond our buffer is never passed on.
  ours.flags = kHeaderPrepared | kHeaderInQueue;
  driver.dwBytesRecorded = 4096;
  winmmInMessage(MIM_LONGERROR, asParam(driver), &record, &received);
  EXPECT_EQ(received.calls, 2);
  EXPECT_EQ(received.message, InMessage::LongError);
  EXPECT_EQ(ours.bytesRecorded, sizeof bytes);
}

TEST(WinmmTranslation, BufferBackWithoutDoneIsNotMarkedDone) {
  MidiHeader ours;
  ours.bufferLength = 8;
  ours.flags = kHeaderPrepared | kHeaderInQueue;
  MIDIHDR driver{};
  driver.dwUser = reinterpret_cast<DWORD_PTR>(&ours);
  Received received;
  winmmInMessage(MIM_LONGDATA, asParam(driver), &record, &received);
  EXPECT_EQ(received.calls, 1);
  EXPECT_EQ(ours.flags.load(), kHeaderPrepared);
}

TEST(WinmmTranslation, ShortMessagesPassPackedAndOtherCodesAreIgnored) {
  Received received;
  winmmInMessage(MIM_DATA, 0x00403C90, &record, &received);
  EXPECT_EQ(received.calls, 1);
  EXPECT_EQ(received.message, InMessage::ShortData);
  EXPECT_EQ(received.header, nullptr);
  EXPECT_EQ(received.shortMessage, 0x00403C90u);

  winmmInMessage(MIM_OPEN, 0, &record, &received);
  winmmInMessage(MIM_CLOSE, 0, &record, &received);
  winmmInMessage(MIM_ERROR, 0x90, &record, &received);
  winmmInMessage(MIM_LONGDATA, 0, &record, &received);
  EXPECT_EQ(received.calls, 1);
}

TEST(WinmmTranslation, OutputDoneMarksOurHeaderDone) {
  MidiHeader ours;
  ours.flags = kHeaderPrepared | kHeaderInQueue;
  MIDIHDR driver{};
  driver.dwUser = reinterpret_cast<DWORD_PTR>(&ours);
  winmmOutMessage(MOM_OPEN, asParam(driver));
  EXPECT_EQ(ours.flags.load(), kHeaderPrepared | kHeaderInQueue);
  winmmOutMessage(MOM_DONE, asParam(driver));
  EXPECT_EQ(ours.flags.load(), kHeaderPrepared | kHeaderDone);
}

TEST(WinmmResults, MapToOurCodes) {
  EXPECT_EQ(winmmResult(MMSYSERR_NOERROR), kMidiOk);
  EXPECT_EQ(winmmResult(MMSYSERR_BADDEVICEID), kMidiErrorBadDevice);
  EXPECT_EQ(winmmResult(MMSYSERR_INVALHANDLE), kMidiErrorInvalidHandle);
  EXPECT_EQ(winmmResult(MMSYSERR_NOMEM), kMidiErrorNoMemory);
  EXPECT_EQ(winmmResult(MIDIERR_UNPREPARED), kMidiErrorUnprepared);
  EXPECT_EQ(winmmResult(MIDIERR_STILLPLAYING), kMidiErrorStillPlaying);
  EXPECT_EQ(winmmResult(MMSYSERR_ALLOCATED), kMidiErrorNotReady);
  EXPECT_EQ(winmmResult(MIDIERR_NODEVICE), kMidiErrorNotReady);
}

TEST(WinmmNames, AnsiNamesComeOutInUtf8AndKeysCarryTheIndex) {
  char field[MAXPNAMELEN];
  std::fill(std::begin(field), std::end(field), 'A');  // a full field without terminator
  EXPECT_EQ(winmmNameToUtf8(field, sizeof field), std::string(MAXPNAMELEN, 'A'));
  EXPECT_EQ(winmmNameToUtf8("", 1), "");
  EXPECT_EQ(winmmDeviceKey(true, 3, "UM-ONE"), "winmm:in:3:UM-ONE");
  EXPECT_EQ(winmmDeviceKey(false, 0, ""), "winmm:out:0:");
  if (GetACP() != 1252) GTEST_SKIP() << "ANSI code page " << GetACP() << ", not 1252";
  EXPECT_EQ(winmmNameToUtf8("Caf\xE9 \x80", 7), "Caf\xC3\xA9 \xE2\x82\xAC");
}

// Whatever devices this system has (none under Wine without a sequencer): lists and opens
// agree with WinMM, and an index past the list is refused, not hung on.
TEST(WinmmBackend, ListsWhatWinmmListsAndRefusesIndicesPastIt) {
  auto backend = makeWinmmBackend();
  const std::size_t ins = midiInGetNumDevs();
  const std::size_t outs = midiOutGetNumDevs();
  EXPECT_EQ(backend->inputNames().size(), ins);
  EXPECT_EQ(backend->outputNames().size(), outs);
  const auto inKeys = backend->inputKeys();
  ASSERT_EQ(inKeys.size(), ins);
  for (std::size_t index = 0; index < ins; ++index) {
    EXPECT_EQ(inKeys[index], winmmDeviceKey(true, index, backend->inputNames()[index]));
  }

  Received received;
  std::unique_ptr<InDevice> in;
  EXPECT_EQ(backend->openInput(ins, &record, &received, in), kMidiErrorBadDevice);
  EXPECT_FALSE(in);
  std::unique_ptr<OutDevice> out;
  EXPECT_EQ(backend->openOutput(outs, out), kMidiErrorBadDevice);
  EXPECT_FALSE(out);
  EXPECT_EQ(backend->openInputByKey(winmmDeviceKey(true, ins, "gone"), &record, &received, in),
            kMidiErrorBadDevice);
  EXPECT_EQ(backend->openOutputByKey(winmmDeviceKey(false, outs, "gone"), out),
            kMidiErrorBadDevice);
  EXPECT_EQ(received.calls, 0);
}

// ---- the timer: WinMM's periodic events

struct Ticks {
  std::atomic<int> count{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> inside{0};
  int wanted = 0;
  Signal enough;
};

void countTick(uint32_t, uint32_t, uintptr_t context, uintptr_t, uintptr_t) {
  auto* ticks = reinterpret_cast<Ticks*>(context);
  if (ticks->inside.fetch_add(1) != 0) ++ticks->overlaps;
  if (++ticks->count >= ticks->wanted) ticks->enough.set();
  ticks->inside.fetch_sub(1);
}

TEST(RealTimeWinmmTimer, FiresRepeatedlyAndNotAfterItsKill) {
  TimerApi& timer = systemTimer();
  const uint32_t resolution = timer.minPeriod();
  EXPECT_GE(resolution, 1u);
  timer.beginPeriod(resolution);

  Ticks first;
  first.wanted = 3;
  const uint32_t id =
      timer.setEvent(10, resolution, &countTick, reinterpret_cast<uintptr_t>(&first));
  ASSERT_NE(id, 0u);
  EXPECT_TRUE(first.enough.waitFor(kLongWait));
  timer.killEvent(id);
  const int atKill = first.count;

  // Another event's ticks stand for the time that passes.
  Ticks second;
  second.wanted = 5;
  const uint32_t clock =
      timer.setEvent(10, resolution, &countTick, reinterpret_cast<uintptr_t>(&second));
  ASSERT_NE(clock, 0u);
  EXPECT_NE(clock, id);
  EXPECT_TRUE(second.enough.waitFor(kLongWait));
  timer.killEvent(clock);
  timer.endPeriod(resolution);

  EXPECT_GE(atKill, 3);
  EXPECT_EQ(first.count, atKill);
  EXPECT_EQ(first.overlaps + second.overlaps, 0);
}

}  // namespace
}  // namespace rt88h::midi
