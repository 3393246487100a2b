// The WinMM back-end (Windows builds only): the driver's callbacks as we translate them and the
// devices the system offers. The timer's tests (test_timer.cpp) run against WinMM's timer here.
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
#include <thread>

#include "midi/backends/winmm_backend.h"
#include "midi/timer_api.h"
#include "resources/string_table.h"
#include "tests/support/fake_midi_api.h"

namespace rt88h::midi {
namespace {

using testing::kLongWait;
using testing::kShortWait;
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

TEST(WinmmTranslation, ShortMessagesPassPackedTheDriversCloseIsARemovalAndTheRestIgnored) {
  Received received;
  winmmInMessage(MIM_DATA, 0x00403C90, &record, &received);
  EXPECT_EQ(received.calls, 1);
  EXPECT_EQ(received.message, InMessage::ShortData);
  EXPECT_EQ(received.header, nullptr);
  EXPECT_EQ(received.shortMessage, 0x00403C90u);

  winmmInMessage(MIM_OPEN, 0, &record, &received);
  winmmInMessage(MIM_ERROR, 0x90, &record, &received);
  winmmInMessage(MIM_LONGDATA, 0, &record, &received);
  EXPECT_EQ(received.calls, 1);
  winmmInMessage(MIM_CLOSE, 0, &record, &received);  // the device's own, not asked by our close
  EXPECT_EQ(received.calls, 2);
  EXPECT_EQ(received.message, InMessage::DeviceRemoved);
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

TEST(WinmmNames, WideNamesComeOutInUtf8WholeAndKeysCarryTheIndex) {
  wchar_t field[MAXPNAMELEN];
  std::fill(std::begin(field), std::end(field), L'A');  // a full field without terminator
  EXPECT_EQ(winmmNameToUtf8(field, std::size(field)), std::string(MAXPNAMELEN, 'A'));
  EXPECT_EQ(winmmNameToUtf8(L"", 1), "");
  // The Japanese preferred name: 14 characters, 32 bytes of UTF-8, every one of them kept.
  const wchar_t japanese[] = L"USB \x30AA\x30FC\x30C7\x30A3\x30AA \x30C7\x30D0\x30A4\x30B9";
  EXPECT_EQ(winmmNameToUtf8(japanese, std::size(japanese)), kPreferredDeviceNames[0]);
  EXPECT_EQ(cutDeviceName(kPreferredDeviceNames[0]), kPreferredDeviceNames[0]);
  EXPECT_EQ(winmmDeviceKey(true, 3, "UM-ONE"), "winmm:in:3:UM-ONE");
  EXPECT_EQ(winmmDeviceKey(false, 0, ""), "winmm:out:0:");
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

  // -1 is WinMM's to judge: its output mapper opens when WinMM opens it; input has none.
  HMIDIOUT direct = nullptr;
  const MMRESULT mapper = midiOutOpen(&direct, MIDI_MAPPER, 0, 0, CALLBACK_NULL);
  if (mapper == MMSYSERR_NOERROR) midiOutClose(direct);
  EXPECT_EQ(backend->openMapperOutput(out), winmmResult(mapper));
  EXPECT_EQ(out != nullptr, mapper == MMSYSERR_NOERROR);
  EXPECT_NE(backend->openMapperInput(&record, &received, in), kMidiOk);
  EXPECT_FALSE(in);
  EXPECT_EQ(received.calls, 0);
}

// A SysEx longer than the buffer comes back in pieces, each a MIM_LONGDATA of the one buffer;
// the window closes while the port takes the second. The port frees its header once the close
// returns: no call may be running then or come after.
struct ClosingPort {
  Signal inSecond, release;
  std::atomic<int> pieces{0}, callsAfterClose{0};
  std::atomic<bool> closed{false};
};

void takePiece(InMessage, void* instance, MidiHeader*, uint32_t) {
  auto* port = static_cast<ClosingPort*>(instance);
  port->callsAfterClose += port->closed ? 1 : 0;
  if (++port->pieces == 2) {
    port->inSecond.set();
    port->release.waitFor(kLongWait);  // copying the piece
  }
  port->callsAfterClose += port->closed ? 1 : 0;
}

TEST(WinmmInCalls, ACloseDuringAPieceWaitsForItAndNoPieceReachesThePortAfter) {
  uint8_t bytes[8] = {0xF0};
  MidiHeader ours;
  ours.data = bytes;
  ours.bufferLength = sizeof bytes;
  MIDIHDR driver{};
  driver.dwUser = reinterpret_cast<DWORD_PTR>(&ours);
  driver.dwBytesRecorded = sizeof bytes;
  driver.dwFlags = MHDR_DONE;
  ClosingPort port;
  WinmmInCalls calls(&takePiece, &port);
  std::thread pieces([&] {
    for (int piece = 0; piece < 3; ++piece) calls.deliver(MIM_LONGDATA, asParam(driver));
  });
  ASSERT_TRUE(port.inSecond.waitFor(kLongWait));
  std::atomic<int> deviceCloses{0};
  Signal closed;
  std::thread closer([&] {
    const int result = calls.close([&] {
      ++deviceCloses;
      return kMidiOk;
    });
    port.closed = true;
    EXPECT_EQ(result, kMidiOk);
    closed.set();
  });
  EXPECT_FALSE(closed.waitFor(kShortWait)) << "the close overtook the piece in flight";
  EXPECT_EQ(deviceCloses, 0);
  port.release.set();
  closer.join();
  pieces.join();
  EXPECT_EQ(deviceCloses, 1);
  EXPECT_EQ(port.callsAfterClose, 0);
  EXPECT_NE(ours.flags.load() & kHeaderDone, 0u);  // kept up to date all the same
}

}  // namespace
}  // namespace rt88h::midi
