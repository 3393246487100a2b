// The dispatcher's reactions to what the device sends, one tick at a time.
#include <gtest/gtest.h>

#include <deque>
#include <ostream>
#include <string>
#include <vector>

#include "protocol/dispatcher.h"
#include "protocol/messages.h"
#include "protocol/update_clock.h"
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
constexpr int32_t kSame = 99;

// One entry a tick: the status it leaves, whether it is an answer (recorded, the procedure
// woken), what goes out in reply, and the model an Identity Reply reports.
struct Reaction {
  const char* name;
  Bytes entry;
  int32_t status;
  bool answer;
  Bytes reply;
  uint8_t reported = 0x00;
};

std::ostream& operator<<(std::ostream& out, const Reaction& r) {
  return out << r.name;
}

using R = Reaction;
using testing::identityReply;

class DispatcherReaction : public DispatcherTest, public ::testing::WithParamInterface<Reaction> {};

TEST_P(DispatcherReaction, OneEntryOneTick) {
  const Reaction& r = GetParam();
  signals.replyStatus.store(kSame);
  tick({r.entry});
  EXPECT_EQ(signals.replyStatus.load(), r.status);
  EXPECT_EQ(signalled(), r.answer);
  EXPECT_EQ(signals.answers.takeAll().answers.size(), r.answer ? 1u : 0u);
  EXPECT_EQ(window.sent, r.reply.empty() ? std::vector<Bytes>{} : std::vector<Bytes>{r.reply});
  EXPECT_EQ(signals.reportedModel.load(), r.reported);
  EXPECT_EQ(window.pops, 1);
}

// The channel byte, a manufacturer's in an Identity Reply and what follows byte 6 are not examined.
INSTANTIATE_TEST_SUITE_P(
    Entries, DispatcherReaction,
    ::testing::Values(
        R{"Status", {0xF0, 0x52, 0x00, 0x58, 0x00, 0x0B, 0xF7}, 11, true, {}},
        R{"StatusOnChannel7F", {0xF0, 0x52, 0x7F, 0x58, 0x00, 0x00, 0xF7}, 0, true, {}},
        R{"Status7F", {0xF0, 0x52, 0x00, 0x58, 0x00, 0x7F, 0xF7}, 127, true, {}},
        R{"DoneIsStatus0", {0xF0, 0x52, 0x00, 0x58, 0x02, 0xF7}, 0, true, {}},
        R{"Code01", {0xF0, 0x52, 0x00, 0x58, 0x01, 0xF7}, kSame, false, kAck58},
        R{"Code04", {0xF0, 0x52, 0x00, 0x58, 0x04, 0xF7}, kSame, false, kAck58},
        R{"Code05", {0xF0, 0x52, 0x00, 0x58, 0x05, 0xF7}, kSame, false, kAck58},
        R{"Code03", {0xF0, 0x52, 0x00, 0x58, 0x03, 0xF7}, kSame, false, {}},
        R{"Code06", {0xF0, 0x52, 0x00, 0x58, 0x06, 0xF7}, kSame, false, kNak58},
        R{"Code0A", {0xF0, 0x52, 0x00, 0x58, 0x0A, 0xF7}, kSame, false, kNak58},
        R{"Code7F", {0xF0, 0x52, 0x00, 0x58, 0x7F, 0xF7}, kSame, false, kNak58},
        R{"AnotherModel", {0xF0, 0x52, 0x00, 0x57, 0x00, 0x00, 0xF7}, kSame, false, {}},
        R{"ModelZero", {0xF0, 0x52, 0x00, 0x00, 0x01, 0xF7}, kSame, false, {}},
        R{"IdentityRequest",
          {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7},
          kSame,
          false,
          identityReply(0x00)},
        R{"IdentityReply",
          {0xF0, 0x7E, 0x10, 0x06, 0x02, 0x41, 0x56, 0x01, 0x02, 0x03, 0xF7},
          0,
          true,
          {},
          0x56},
        R{"UniversalSubCode03", {0xF0, 0x7E, 0x00, 0x06, 0x03, 0xF7}, kSame, false, kNak58},
        R{"NotGeneralInformation", {0xF0, 0x7E, 0x00, 0x07, 0x01, 0xF7}, kSame, false, {}},
        R{"RealTimeUniversal", {0xF0, 0x7F, 0x00, 0x06, 0x01, 0xF7}, kSame, false, {}},
        R{"AnotherMaker", {0xF0, 0x41, 0x00, 0x58, 0x00, 0x00, 0xF7}, kSame, false, {}},
        R{"NoteOn", {0x90, 0x40, 0x7F}, kSame, false, {}},
        R{"WithoutF0", {0x52, 0x00, 0x58, 0x00, 0x00, 0xF7}, kSame, false, {}},
        R{"F0Alone", {0xF0}, kSame, false, {}},
        R{"CutAfterTheModel", {0xF0, 0x52, 0x00, 0x58}, kSame, false, {}},
        R{"StatusWithoutItsByte", {0xF0, 0x52, 0x00, 0x58, 0x00}, kSame, false, {}},
        R{"IdentityReplyWithoutByte6", {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52}, kSame, false, {}},
        R{"UniversalCutShort", {0xF0, 0x7E, 0x00, 0x06}, kSame, false, {}}),
    [](const ::testing::TestParamInfo<Reaction>& row) { return std::string(row.param.name); });

TEST_F(DispatcherTest, RepliesFollowTheCurrentModels) {
  modelId.store(0x57);
  identityReplyModel.store(0x57);
  tick({{0xF0, 0x52, 0x00, 0x57, 0x01, 0xF7}, {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}});
  EXPECT_EQ(window.sent, (std::vector<Bytes>{{0xF0, 0x52, 0x00, 0x57, 0x00, 0x00, 0xF7},
                                             testing::identityReply(0x57)}));
}

// Whatever reached the queue before a pass began is taken in it: the procedure can tell when a
// copy of an answer could still come, and may ask to be woken by the pass that will tell it.
TEST_F(DispatcherTest, APassSaysUpToWhenItTookTheQueue) {
  const int64_t before = steadyNowUs();
  tick({{0xF0, 0x52, 0x00, 0x58, 0x00, 0x00, 0xF7}});
  const AnswerLog::Taken taken = signals.answers.takeAll();
  ASSERT_EQ(taken.answers.size(), 1u);
  EXPECT_GE(taken.completeUntilUs, before);
  EXPECT_EQ(taken.answers[0].arrival.atUs, taken.completeUntilUs);  // unstamped: the pass's start
  EXPECT_TRUE(signalled());
  EXPECT_TRUE(signals.answers.drainedFrom(taken.completeUntilUs));
  EXPECT_FALSE(signals.answers.drainedFrom(taken.completeUntilUs + 1));
  tick({});
  EXPECT_TRUE(signalled());
  tick({});
  EXPECT_FALSE(signalled());
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
