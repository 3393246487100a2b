#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "midi/midi_out_port.h"
#include "tests/support/fake_midi_api.h"

namespace rt88h::midi {
namespace {

using testing::FakeMidiApi;
using testing::kLongWait;
using testing::kShortWait;
using testing::Sender;
using testing::Signal;
using Bytes = std::vector<uint8_t>;
using Calls = std::vector<std::string>;

const Calls kSendCalls{"outPrepare", "outLongMsg", "outUnprepare"};

class MidiOutPortTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(api.violations(), Calls{}); }

  void openPort() {
    ASSERT_EQ(port.open(1), 1);
    api.clearCalls();
  }

  FakeMidiApi api;
  MidiOutPort port{api};
};

// ---- open and close

using MidiOutPortOpen = MidiOutPortTest;

TEST_F(MidiOutPortOpen, OpensTheDeviceWithTheIndex) {
  EXPECT_FALSE(port.isOpen());
  EXPECT_EQ(port.open(2), 1);
  EXPECT_EQ(api.calls(), Calls{"outOpen 2"});
  EXPECT_TRUE(port.isOpen());
  EXPECT_EQ(port.deviceIndex(), 2);
}

TEST_F(MidiOutPortOpen, SameIndexWhileOpenMakesNoCall) {
  openPort();
  EXPECT_EQ(port.open(1), 1);
  EXPECT_EQ(api.calls(), Calls{});
}

TEST_F(MidiOutPortOpen, AnotherIndexClosesTheOpenDeviceFirst) {
  openPort();
  EXPECT_EQ(port.open(3), 1);
  EXPECT_EQ(api.calls(), (Calls{"outClose", "outOpen 3"}));
  EXPECT_EQ(port.deviceIndex(), 3);
}

TEST_F(MidiOutPortOpen, FailedOpenLeavesItClosedAndSendsMakeNoCall) {
  api.fail("outOpen");
  EXPECT_EQ(port.open(5), 0);
  EXPECT_FALSE(port.isOpen());
  EXPECT_EQ(port.deviceIndex(), 5);

  api.clearCalls();
  const Bytes message{0xF0, 0x52, 0xF7};
  EXPECT_EQ(sendMessage(port, message.data(), 3), 0);
  EXPECT_EQ(port.close(), 0);
  EXPECT_EQ(api.calls(), Calls{});
}

TEST_F(MidiOutPortOpen, FailedReopenWithAnotherIndexLeavesItClosed) {
  openPort();
  api.fail("outOpen");
  EXPECT_EQ(port.open(2), 0);
  EXPECT_EQ(api.calls(), (Calls{"outClose", "outOpen 2"}));
  EXPECT_FALSE(port.isOpen());
}

TEST_F(MidiOutPortOpen, CloseOnAClosedPortReturnsZeroWithoutACall) {
  EXPECT_EQ(port.close(), 0);
  openPort();
  EXPECT_EQ(port.close(), 1);
  EXPECT_EQ(port.close(), 0);
  EXPECT_EQ(api.calls(), Calls{"outClose"});
}

// ---- sendLong

using MidiOutPortSend = MidiOutPortTest;

TEST_F(MidiOutPortSend, ReturnsOnlyAfterTheDriverIsDoneWithTheBuffer) {
  openPort();
  const Bytes message{0xF0, 0x52, 0x00, 0x58, 0x01, 0xF7};
  Sender sender(port, message);
  ASSERT_TRUE(api.waitTaken(1));

  // The driver holds the buffer: the sender must still be waiting.
  EXPECT_FALSE(sender.returnsWithin(kShortWait));
  api.complete(sender.header());
  EXPECT_TRUE(sender.returnsWithin(kLongWait));
  EXPECT_EQ(sender.result(), 1);
  EXPECT_TRUE(sender.doneAtReturn());
  EXPECT_EQ(api.calls(), kSendCalls);
  EXPECT_EQ(api.sentMessages(), std::vector<Bytes>{message});
}

TEST_F(MidiOutPortSend, RefusedPreparationOrMessageReturnsZeroAndUndoesThePreparation) {
  for (const auto& [failing, calls] :
       {std::pair<const char*, Calls>{"outPrepare", {"outPrepare"}}, {"outLongMsg", kSendCalls}}) {
    SCOPED_TRACE(failing);
    openPort();
    api.fail(failing);
    const Bytes message{0xF0, 0xF7};
    EXPECT_EQ(sendMessage(port, message.data(), 2), 0);
    EXPECT_EQ(api.calls(), calls);
  }
}

TEST_F(MidiOutPortSend, TwoSendersEachReturnAfterTheirOwnMessage) {
  openPort();
  Sender first(port, {0xF0, 0x01, 0xF7});
  ASSERT_TRUE(api.waitTaken(1));
  Sender second(port, {0xF0, 0x02, 0xF7});
  ASSERT_TRUE(api.waitTaken(2));

  api.complete(second.header());
  EXPECT_TRUE(second.returnsWithin(kLongWait));
  EXPECT_FALSE(first.returnsWithin(kShortWait));
  api.complete(first.header());
  EXPECT_TRUE(first.returnsWithin(kLongWait));
  EXPECT_EQ(first.result(), 1);
  EXPECT_EQ(second.result(), 1);
  EXPECT_TRUE(first.doneAtReturn());
  EXPECT_TRUE(second.doneAtReturn());
}

TEST_F(MidiOutPortSend, WhereTheServiceNeedsItOneMessageGoesOutBeforeTheNextBegins) {
  api.setSerialisedSends(true);
  openPort();
  Sender first(port, {0xF0, 0x01, 0xF7});
  ASSERT_TRUE(api.waitTaken(1));
  Sender second(port, {0xF0, 0x02, 0xF7});
  EXPECT_FALSE(api.waitTaken(2, kShortWait));

  api.complete(first.header());
  ASSERT_TRUE(api.waitTaken(2));
  api.complete(second.header());
  EXPECT_EQ(first.result(), 1);
  EXPECT_EQ(second.result(), 1);
  EXPECT_EQ(api.maxInFlight(), 1);
}

TEST_F(MidiOutPortSend, SerialisedSendsFromTwoThreadsNeverOverlap) {
  constexpr int kSends = 300;
  api.setSerialisedSends(true);
  api.completeAutomatically();
  openPort();

  auto sendMany = [this](uint8_t tag, int* failures) {
    for (int i = 0; i < kSends; ++i) {
      const Bytes message{0xF0, tag, static_cast<uint8_t>(i & 0x7F), 0xF7};
      if (sendMessage(port, message.data(), 4) != 1) ++*failures;
    }
  };
  int failuresA = 0;
  int failuresB = 0;
  std::thread a(sendMany, uint8_t{0x0A}, &failuresA);
  std::thread b(sendMany, uint8_t{0x0B}, &failuresB);
  a.join();
  b.join();

  EXPECT_EQ(failuresA + failuresB, 0);
  EXPECT_EQ(api.maxInFlight(), 1);
  EXPECT_EQ(api.sentMessages().size(), 2u * kSends);
}

// ---- close during a send

class MidiOutPortCloseDuringSend : public MidiOutPortTest {
 protected:
  // Closes the port while `sender` is in its send (`meanwhile` runs once the close has begun):
  // the close returns, and so does the send, although the driver never gives the buffer back.
  void closeDuring(Sender& sender, const std::function<void()>& meanwhile) {
    Signal closed;
    int closeResult = -1;
    std::thread closer([&] {
      closeResult = port.close();
      closed.set();
    });
    meanwhile();
    if (!closed.waitFor(kLongWait)) {
      ADD_FAILURE() << "close() waits for ever for the send";
      api.complete(sender.header());
    }
    closer.join();
    EXPECT_EQ(closeResult, 1);
    EXPECT_TRUE(sender.returnsWithin(kLongWait));
    EXPECT_EQ(sender.result(), 1);
  }
};

TEST_F(MidiOutPortCloseDuringSend, EndsTheSendAndLaterSendsReturnZero) {
  openPort();
  Sender sender(port, {0xF0, 0x52, 0xF7});
  ASSERT_TRUE(api.waitTaken(1));
  closeDuring(sender, [] {});
  EXPECT_FALSE(port.isOpen());
  // The device is closed only after the send has let go of it (the fake checks too).
  EXPECT_EQ(api.calls(),
            (Calls{"outPrepare", "outLongMsg", "outReset", "outUnprepare", "outClose"}));

  api.clearCalls();
  const Bytes message{0xF0, 0xF7};
  EXPECT_EQ(sendMessage(port, message.data(), 2), 0);
  EXPECT_EQ(api.calls(), Calls{});
}

TEST_F(MidiOutPortCloseDuringSend, SendThatHandsItsBufferOverAfterTheResetEndsToo) {
  openPort();
  api.closeGate();
  Sender sender(port, {0xF0, 0x52, 0xF7});
  ASSERT_TRUE(api.waitPrepareEntered());
  closeDuring(sender, [this] {
    EXPECT_TRUE(api.waitResets(1));
    api.openGate();  // the buffer reaches the driver after the reset; the driver keeps it
  });
  EXPECT_GE(api.count("outReset"), 2);
  EXPECT_EQ(api.calls().back(), "outClose");
}

TEST_F(MidiOutPortCloseDuringSend, DestructionClosesAnOpenPort) {
  {
    MidiOutPort other{api};
    ASSERT_EQ(other.open(0), 1);
    api.clearCalls();
  }
  EXPECT_EQ(api.calls(), Calls{"outClose"});
}

}  // namespace
}  // namespace rt88h::midi
