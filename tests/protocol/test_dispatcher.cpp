// The dispatcher's reactions to what the device sends, one tick at a time.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "protocol/dispatcher.h"
#include "protocol/messages.h"
#include "tests/support/recording_view.h"
#include "tests/support/sysex_support.h"

namespace rt88h {
namespace {

using Bytes = std::vector<uint8_t>;

// The receive queue and the output port; boxes go to the recording view.
class QueueLink final : public UpdateLink {
 public:
  int sendLong(const uint8_t* bytes, uint32_t length) override {
    if (failSends) return 0;
    sent.emplace_back(bytes, bytes + length);
    return 1;
  }
  bool peekSysEx(const uint8_t** bytes, uint32_t* count, Arrival* /*arrival*/) override {
    ++peeks;
    if (queue.empty()) return false;
    *bytes = queue.front().data();
    *count = static_cast<uint32_t>(queue.front().size());
    return true;
  }
  void popSysEx() override {
    ++pops;
    if (!queue.empty()) queue.pop_front();
  }

  std::deque<Bytes> queue;
  std::vector<Bytes> sent;
  bool failSends = false;
  int peeks = 0;
  int pops = 0;
};

class DispatcherTest : public ::testing::Test {
 protected:
  void tick(std::initializer_list<Bytes> entries) {
    for (const Bytes& entry : entries) window.queue.push_back(entry);
    dispatcher.dispatchReplies();
  }
  bool signalled() { return signals.replyEvent.tryWait(); }

  testing::ModelScope models;
  QueueLink window;
  UpdateSignals signals;
  testing::RecordingView view{signals};
  ReplyDispatcher dispatcher{window, view, signals};
};

const Bytes kAck58{0xF0, 0x52, 0x00, 0x58, 0x00, 0x00, 0xF7};
const Bytes kNak58{0xF0, 0x52, 0x00, 0x58, 0x00, 0x01, 0xF7};

TEST_F(DispatcherTest, DeviceStatusIsRecordedAndWakesTheProcedure) {
  signals.replyStatus.store(99);
  tick({{0xF0, 0x52, 0x00, 0x58, 0x00, 0x0B, 0xF7}});
  EXPECT_EQ(signals.replyStatus.load(), 11);
  EXPECT_TRUE(signalled());
  EXPECT_TRUE(window.sent.empty());

  tick({{0xF0, 0x52, 0x7F, 0x58, 0x00, 0x00, 0xF7}});  // the channel byte is not examined
  EXPECT_EQ(signals.replyStatus.load(), 0);
  EXPECT_TRUE(signalled());

  tick({{0xF0, 0x52, 0x00, 0x58, 0x00, 0x7F, 0xF7}});
  EXPECT_EQ(signals.replyStatus.load(), 127);
}

TEST_F(DispatcherTest, DeviceDoneStandsForStatusZero) {
  signals.replyStatus.store(5);
  tick({{0xF0, 0x52, 0x00, 0x58, 0x02, 0xF7}});
  EXPECT_EQ(signals.replyStatus.load(), 0);
  EXPECT_TRUE(signalled());
}

TEST_F(DispatcherTest, DeviceRequestsAreAnsweredWithAckNakOrNothing) {
  for (uint8_t code : {0x01, 0x04, 0x05}) {
    window.sent.clear();
    tick({{0xF0, 0x52, 0x00, 0x58, code, 0xF7}});
    ASSERT_EQ(window.sent.size(), 1u) << int(code);
    EXPECT_EQ(window.sent[0], kAck58);
  }
  window.sent.clear();
  tick({{0xF0, 0x52, 0x00, 0x58, 0x03, 0xF7}});
  EXPECT_TRUE(window.sent.empty());
  EXPECT_FALSE(signalled());

  for (uint8_t code : {0x06, 0x0A, 0x7F}) {
    window.sent.clear();
    tick({{0xF0, 0x52, 0x00, 0x58, code, 0xF7}});
    ASSERT_EQ(window.sent.size(), 1u) << int(code);
    EXPECT_EQ(window.sent[0], kNak58);
  }
  EXPECT_FALSE(signalled());
}

TEST_F(DispatcherTest, OnlyMessagesForTheCurrentModelAreActedUpon) {
  tick({{0xF0, 0x52, 0x00, 0x57, 0x00, 0x00, 0xF7}, {0xF0, 0x52, 0x00, 0x00, 0x01, 0xF7}});
  EXPECT_FALSE(signalled());
  EXPECT_TRUE(window.sent.empty());

  modelId.store(0x57);
  tick({{0xF0, 0x52, 0x00, 0x57, 0x01, 0xF7}});
  ASSERT_EQ(window.sent.size(), 1u);
  EXPECT_EQ(window.sent[0], (Bytes{0xF0, 0x52, 0x00, 0x57, 0x00, 0x00, 0xF7}));
}

TEST_F(DispatcherTest, IdentityRequestIsAnsweredWithByteAAsItStands) {
  const Bytes request{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
  tick({request});
  ASSERT_EQ(window.sent.size(), 1u);
  EXPECT_EQ(window.sent[0], (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x00, 0x00, 0x00, 0x00, 0x31,
                                   0x30, 0x30, 0x30, 0xF7}));
  identityReplyModel.store(0x57);
  tick({request});
  ASSERT_EQ(window.sent.size(), 2u);
  EXPECT_EQ(window.sent[1][6], 0x57);
  EXPECT_FALSE(signalled());
}

TEST_F(DispatcherTest, IdentityReplyRecordsTheReportedModel) {
  signals.replyStatus.store(3);
  // Manufacturer byte and everything after byte 6 are not examined.
  tick({{0xF0, 0x7E, 0x10, 0x06, 0x02, 0x41, 0x56, 0x01, 0x02, 0x03, 0xF7}});
  EXPECT_EQ(signals.replyStatus.load(), 0);
  EXPECT_EQ(signals.reportedModel.load(), 0x56);
  EXPECT_TRUE(signalled());
}

TEST_F(DispatcherTest, OtherUniversalMessagesAreAnsweredWithNakOrIgnored) {
  tick({{0xF0, 0x7E, 0x00, 0x06, 0x03, 0xF7}});
  ASSERT_EQ(window.sent.size(), 1u);
  EXPECT_EQ(window.sent[0], kNak58);
  window.sent.clear();
  tick({{0xF0, 0x7E, 0x00, 0x07, 0x01, 0xF7},
        {0xF0, 0x7F, 0x00, 0x06, 0x01, 0xF7},
        {0xF0, 0x41, 0x00, 0x58, 0x00, 0x00, 0xF7},
        {0x90, 0x40, 0x7F},
        {0x52, 0x00, 0x58, 0x00, 0x00, 0xF7}});
  EXPECT_TRUE(window.sent.empty());
  EXPECT_FALSE(signalled());
}

TEST_F(DispatcherTest, EntriesShorterThanTheirRuleAreIgnoredAndRemoved) {
  tick({{0xF0},
        {0xF0, 0x52},
        {0xF0, 0x52, 0x00, 0x58},
        {0xF0, 0x52, 0x00, 0x58, 0x00},        // status needs byte 5
        {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52},  // identity reply needs byte 6
        {0xF0, 0x7E, 0x00, 0x06}});
  EXPECT_FALSE(signalled());
  EXPECT_TRUE(window.sent.empty());
  EXPECT_TRUE(window.queue.empty());
  EXPECT_EQ(window.pops, 6);
}

TEST_F(DispatcherTest, EachEntryIsRemovedOnceAndInOrder) {
  tick({{0xF0, 0x52, 0x00, 0x58, 0x00, 0x05, 0xF7},
        {0xF0, 0x52, 0x00, 0x58, 0x01, 0xF7},
        {0xF0, 0x52, 0x00, 0x58, 0x00, 0x00, 0xF7}});
  EXPECT_EQ(window.pops, 3);
  EXPECT_EQ(window.peeks, 4);  // three entries, then the empty queue ends the tick
  // Two statuses in one tick: one pending signal, the last status stored.
  EXPECT_EQ(signals.replyStatus.load(), 0);
  EXPECT_TRUE(signalled());
  EXPECT_FALSE(signalled());
  EXPECT_EQ(window.sent.size(), 1u);
}

TEST_F(DispatcherTest, AStatusNobodyWaitedForSatisfiesTheNextWait) {
  tick({{0xF0, 0x52, 0x00, 0x58, 0x00, 0x00, 0xF7}});
  EXPECT_TRUE(signals.replyEvent.wait(0));
}

TEST_F(DispatcherTest, AFailedAnswerIsShownAndTheTickGoesOn) {
  window.failSends = true;
  tick({{0xF0, 0x52, 0x00, 0x58, 0x01, 0xF7}, {0xF0, 0x52, 0x00, 0x58, 0x00, 0x00, 0xF7}});
  EXPECT_EQ(view.log("box:"), std::vector<std::string>{testing::midiOutErrorBox()});
  EXPECT_TRUE(signalled());
  EXPECT_EQ(window.pops, 2);
}

TEST_F(DispatcherTest, TheStopValueIsNotOverwrittenByALateReply) {
  signals.replyStatus.store(255);
  tick({{0xF0, 0x52, 0x00, 0x58, 0x00, 0x00, 0xF7}, {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x58}});
  EXPECT_EQ(signals.replyStatus.load(), 255);
  EXPECT_TRUE(signalled());
}

TEST_F(DispatcherTest, SendUpdateMessageReportsAFailedSendOnce) {
  const uint8_t message[] = {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7};
  EXPECT_EQ(sendUpdateMessage(window, view, message, sizeof message), 0);
  EXPECT_TRUE(view.log("box:").empty());
  window.failSends = true;
  EXPECT_EQ(sendUpdateMessage(window, view, message, sizeof message), -1);
  EXPECT_EQ(view.log("box:"), std::vector<std::string>{testing::midiOutErrorBox()});
}

}  // namespace
}  // namespace rt88h
