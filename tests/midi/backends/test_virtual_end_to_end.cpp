// Both ports over the service and the virtual back-end: what the device side sees and sends
// (what it sends in, in any pieces, is test_lent_buffers.cpp's table).
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

#include "midi/backends/virtual_midi.h"
#include "midi/midi_in_port.h"
#include "midi/midi_out_port.h"
#include "midi/midi_service.h"
#include "tests/support/fake_midi_api.h"
#include "tests/support/sysex_support.h"
#include "tests/support/watched_api.h"

namespace rt88h::midi {
namespace {

using rt88h::testing::Bytes;
using rt88h::testing::sysex;
using testing::Counter;
using testing::Sender;

class VirtualEndToEnd : public ::testing::Test {
 protected:
  VirtualEndToEnd() {
    service.addBackend(backend);
    device = backend->addDevice("RT-88H");
  }
  void TearDown() override { device->holdDone(false); }

  void collect() {
    device->setReceiver(
        [this](const uint8_t* bytes, std::size_t count) { got.addPiece(bytes, count); });
  }

  std::vector<Bytes> received() { return rt88h::testing::drain(in); }

  std::shared_ptr<VirtualMidiBackend> backend = makeVirtualMidiBackend();
  MidiService service;
  rt88h::testing::Inbox got;  // what the device received
  std::shared_ptr<VirtualDevice> device;
  MidiOutPort out{service};
  MidiInPort in{service};
};

TEST_F(VirtualEndToEnd, BothPortsListTheDevice) {
  ASSERT_EQ(out.deviceCount(), 1);
  ASSERT_EQ(in.deviceCount(), 1);
  char name[kDeviceNameSize] = {};
  out.deviceName(0, name);
  EXPECT_STREQ(name, "RT-88H");
  in.deviceName(0, name);
  EXPECT_STREQ(name, "RT-88H");
}

TEST_F(VirtualEndToEnd, EntriesAreStampedWhenInjectedAndInOrder) {
  ASSERT_EQ(in.openAndStart(0), 1);
  std::vector<std::pair<int64_t, int64_t>> windows;
  for (uint8_t seed = 0; seed < 20; ++seed) {
    const Bytes message = sysex(6 + seed * 100u, seed);
    const int64_t before = steadyNowUs();
    device->inject(message.data(), message.size());
    windows.emplace_back(before, steadyNowUs());
  }
  int64_t previous = -1;
  for (const auto& [before, after] : windows) {
    Arrival arrival;
    ASSERT_TRUE(in.peekSysEx(nullptr, nullptr, &arrival));
    in.popSysEx();
    EXPECT_GE(arrival.atUs, before);
    EXPECT_LE(arrival.atUs, after);
    EXPECT_GE(arrival.atUs, previous);
    EXPECT_EQ(arrival.cycle, -1);  // nothing here is ever delivered twice
    previous = arrival.atUs;
  }
}

TEST_F(VirtualEndToEnd, ShortMessagesAndInputAfterCloseLeaveNoEntry) {
  device->inject(sysex(6).data(), 6);  // not open yet
  ASSERT_EQ(in.openAndStart(0), 1);
  device->injectShort(0x7F3C90);
  const uint8_t clock = 0xF8;
  device->inject(&clock, 1);
  EXPECT_TRUE(received().empty());
  in.close();
  const Bytes message = sysex(6);
  device->inject(message.data(), message.size());
  EXPECT_TRUE(received().empty());
}

TEST_F(VirtualEndToEnd, UpdaterToDeviceByteForByte) {
  collect();
  ASSERT_EQ(out.open(0), 1);
  std::vector<Bytes> sent;
  for (const std::size_t length : {std::size_t{6}, std::size_t{2359}, std::size_t{20000}}) {
    sent.push_back(sysex(length, 7));
    // The send returns only after the device has the message.
    ASSERT_EQ(sendMessage(out, sent.back().data(), static_cast<uint32_t>(length)), 1);
    got.waitFor(sent.size());
  }
  EXPECT_EQ(got.take(), sent);
}

TEST_F(VirtualEndToEnd, WithoutAReceiverTheDeviceKeepsWhatWasSent) {
  ASSERT_EQ(out.open(0), 1);
  const Bytes first = sysex(6, 1);
  const Bytes second = sysex(20000, 2);
  ASSERT_EQ(sendMessage(out, first.data(), 6), 1);
  ASSERT_EQ(sendMessage(out, second.data(), 20000), 1);
  EXPECT_EQ(device->takeSent(), (std::vector<Bytes>{first, second}));
  EXPECT_TRUE(device->takeSent().empty());
}

TEST_F(VirtualEndToEnd, TheDeviceAnswersFromWithinItsReceiver) {
  const Bytes answer = sysex(12, 5);
  device->setReceiver(
      [&](const uint8_t*, std::size_t) { device->inject(answer.data(), answer.size()); });
  ASSERT_EQ(in.openAndStart(0), 1);
  ASSERT_EQ(out.open(0), 1);
  const Bytes request = sysex(6);
  ASSERT_EQ(sendMessage(out, request.data(), 6), 1);
  // The answer was queued before the send's buffer came back.
  EXPECT_EQ(received(), std::vector<Bytes>{answer});
}

TEST_F(VirtualEndToEnd, HoldDoneKeepsTheSendWaitingUntilReleased) {
  collect();
  device->holdDone(true);
  ASSERT_EQ(out.open(0), 1);
  Sender first(out, sysex(2359, 1));
  got.waitFor(1);
  Sender second(out, sysex(6, 2));
  got.waitFor(2);
  // One delivery thread: it settled the first send before delivering the second.
  EXPECT_EQ(first.header()->flags.load() & kHeaderDone, 0u);
  EXPECT_FALSE(first.returnsWithin({}));  // still waiting

  device->holdDone(false);
  EXPECT_EQ(first.result(), 1);
  EXPECT_EQ(second.result(), 1);
  EXPECT_EQ(got.take(), (std::vector<Bytes>{first.message(), second.message()}));
}

TEST_F(VirtualEndToEnd, VanishEndsAHeldSendAndLaterSendsReturn0) {
  collect();
  device->holdDone(true);
  ASSERT_EQ(out.open(0), 1);
  ASSERT_EQ(in.openAndStart(0), 1);
  const Bytes message = sysex(2359);
  Sender sender(out, message);
  got.waitFor(1);

  device->vanish();
  EXPECT_EQ(sender.result(), 1);
  EXPECT_EQ(sendMessage(out, message.data(), 6), 0);
  device->inject(message.data(), message.size());  // input has stopped
  EXPECT_TRUE(received().empty());

  EXPECT_EQ(out.deviceCount(), 0);
  EXPECT_EQ(in.deviceCount(), 0);
  out.close();
  in.close();
  EXPECT_EQ(out.open(0), 0);
  EXPECT_EQ(in.openAndStart(0), 0);
}

TEST_F(VirtualEndToEnd, VanishReturnsOnlyAfterARunningReceiver) {
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false;
  bool release = false;
  std::atomic<bool> vanishReturned{false};
  std::atomic<bool> returnedTooEarly{false};
  device->setReceiver([&](const uint8_t*, std::size_t) {
    std::unique_lock lock(mutex);
    entered = true;
    changed.notify_all();
    changed.wait(lock, [&] { return release; });
    lock.unlock();
    if (vanishReturned) returnedTooEarly = true;
  });
  ASSERT_EQ(out.open(0), 1);
  Bytes message = sysex(6);
  std::atomic<int> result{-1};
  std::jthread sender([&] { result = sendMessage(out, message.data(), 6); });
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return entered; });
  }
  std::jthread unplug([&] {
    device->vanish();
    vanishReturned = true;
  });
  {
    std::lock_guard lock(mutex);
    release = true;
    changed.notify_all();
  }
  unplug.join();
  sender.join();
  EXPECT_FALSE(returnedTooEarly.load());
  EXPECT_EQ(result.load(), 1);
}

TEST_F(VirtualEndToEnd, ClosingTheOutputPortReturnsAHeldSend) {
  collect();
  device->holdDone(true);
  ASSERT_EQ(out.open(0), 1);
  const Bytes message = sysex(20000);
  Sender sender(out, message);
  got.waitFor(1);

  EXPECT_EQ(out.close(), 1);
  EXPECT_EQ(sender.result(), 1);
  EXPECT_EQ(sendMessage(out, message.data(), 6), 0);
}

TEST_F(VirtualEndToEnd, AResetThroughTheServiceEndsHeldSends) {
  collect();
  device->holdDone(true);
  OutHandle handle = nullptr;
  ASSERT_EQ(service.outOpen(&handle, 0), kMidiOk);
  Bytes message = sysex(6);
  MidiHeader header{message.data(), static_cast<uint32_t>(message.size())};
  EXPECT_EQ(service.outLongMsg(handle, &header), kMidiErrorUnprepared);
  ASSERT_EQ(service.outPrepare(handle, &header), kMidiOk);
  ASSERT_EQ(service.outLongMsg(handle, &header), kMidiOk);
  got.waitFor(1);
  EXPECT_EQ(service.outUnprepare(handle, &header), kMidiErrorStillPlaying);
  EXPECT_EQ(service.outReset(handle), kMidiOk);
  EXPECT_NE(header.flags.load() & kHeaderDone, 0u);
  EXPECT_EQ(service.outUnprepare(handle, &header), kMidiOk);
  EXPECT_EQ(service.outClose(handle), kMidiOk);
}

TEST_F(VirtualEndToEnd, TwoSendersAtOnceEachArriveWhole) {
  collect();
  ASSERT_EQ(out.open(0), 1);
  const Bytes first = sysex(2359, 1);
  const Bytes second = sysex(3000, 2);
  constexpr int kEach = 40;
  auto sendMany = [&](const Bytes& message, std::atomic<int>& ok) {
    for (int i = 0; i < kEach; ++i) {
      ok += sendMessage(out, message.data(), static_cast<uint32_t>(message.size()));
    }
  };
  std::atomic<int> firstOk{0};
  std::atomic<int> secondOk{0};
  {
    std::jthread a([&] { sendMany(first, firstOk); });
    std::jthread b([&] { sendMany(second, secondOk); });
  }
  EXPECT_EQ(firstOk.load(), kEach);
  EXPECT_EQ(secondOk.load(), kEach);
  int firsts = 0;
  int seconds = 0;
  for (const Bytes& message : got.take()) {
    if (message == first) {
      ++firsts;
    } else if (message == second) {
      ++seconds;
    } else {
      ADD_FAILURE() << "a message of " << message.size() << " bytes is neither";
    }
  }
  EXPECT_EQ(firsts, kEach);
  EXPECT_EQ(seconds, kEach);
}

TEST_F(VirtualEndToEnd, ClosingTheInputPortWhileTheDeviceSends) {
  ASSERT_EQ(in.openAndStart(0), 1);
  const Bytes message = sysex(300, 6);
  std::atomic<bool> stop{false};
  Counter injects;
  std::jthread deviceSide([&] {
    while (!stop) {
      device->injectInPieces(message.data(), message.size(), 7);
      injects.add();
    }
  });
  injects.waitFor(50);
  in.close();
  injects.waitFor(injects.value() + 50);
  stop = true;
  deviceSide.join();

  // Whole messages, and at most one cut short by the close, never anything glued.
  const std::vector<Bytes> entries = received();
  ASSERT_GE(entries.size(), 50u);
  int partial = 0;
  for (const Bytes& entry : entries) {
    ASSERT_FALSE(entry.empty());
    EXPECT_EQ(entry.front(), 0xF0);
    ASSERT_LE(entry.size(), message.size());
    EXPECT_TRUE(std::equal(entry.begin(), entry.end(), message.begin()));
    if (entry.size() < message.size()) ++partial;
  }
  EXPECT_LE(partial, 1);
}

TEST(VirtualSystemService, PortsOnTheProcessWideServiceReachAVirtualDevice) {
  auto device = addInProcessDevice("svc end to end");
  MidiOutPort out;
  MidiInPort in;
  const int index = rt88h::testing::indexOf(out, "svc end to end");
  const int inIndex = rt88h::testing::indexOf(in, "svc end to end");
  ASSERT_GE(index, 0);
  ASSERT_GE(inIndex, 0);
  ASSERT_EQ(out.open(index), 1);
  ASSERT_EQ(in.openAndStart(inIndex), 1);
  const Bytes message = sysex(2359);
  ASSERT_EQ(sendMessage(out, message.data(), 2359), 1);
  EXPECT_EQ(device->takeSent(), std::vector<Bytes>{message});
  device->inject(message.data(), message.size());
  EXPECT_EQ(rt88h::testing::drain(in), std::vector<Bytes>{message});
  out.close();
  in.close();
  device->vanish();
}

}  // namespace
}  // namespace rt88h::midi
