// The dispatcher's reactions to what the device sends: one table of entries, then what a tick
// does with several.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "protocol/dispatcher.h"
#include "protocol/messages.h"
#include "protocol/update_clock.h"
#include "tests/support/expected_reaction.h"
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

using testing::Expected;
using R = testing::Reaction;

// One entry a row, with replyStatus `before` the tick, under modelId `model` and
// identityReplyModel `replyModel`.
struct ReactionRow {
  const char* name;
  Bytes entry;
  Expected want;
  int32_t before = 99;
  uint8_t model = 0x58;
  uint8_t replyModel = 0x00;
};

const std::vector<ReactionRow> kReactions{
    {"Status", {0xF0, 0x52, 0x00, 0x58, 0x00, 0x0B, 0xF7}, {R::Status, 11}},
    {"StatusOnAnyChannel", {0xF0, 0x52, 0x7F, 0x58, 0x00, 0x00, 0xF7}, {R::Status, 0}},
    {"Status7F", {0xF0, 0x52, 0x00, 0x58, 0x00, 0x7F, 0xF7}, {R::Status, 127}},
    {"DeviceDoneIsStatus0", {0xF0, 0x52, 0x00, 0x58, 0x02, 0xF7}, {R::Status, 0}, 5},
    {"Code01", {0xF0, 0x52, 0x00, 0x58, 0x01, 0xF7}, {R::Ack}},
    {"Code04", {0xF0, 0x52, 0x00, 0x58, 0x04, 0xF7}, {R::Ack}},
    {"Code05", {0xF0, 0x52, 0x00, 0x58, 0x05, 0xF7}, {R::Ack}},
    {"Code03", {0xF0, 0x52, 0x00, 0x58, 0x03, 0xF7}, {}},
    {"Code06", {0xF0, 0x52, 0x00, 0x58, 0x06, 0xF7}, {R::Nak}},
    {"Code0A", {0xF0, 0x52, 0x00, 0x58, 0x0A, 0xF7}, {R::Nak}},
    {"Code7F", {0xF0, 0x52, 0x00, 0x58, 0x7F, 0xF7}, {R::Nak}},
    {"StatusOfAnotherModel", {0xF0, 0x52, 0x00, 0x57, 0x00, 0x00, 0xF7}, {}},
    {"RequestOfModel00", {0xF0, 0x52, 0x00, 0x00, 0x01, 0xF7}, {}},
    {"RequestUnderModel57", {0xF0, 0x52, 0x00, 0x57, 0x01, 0xF7}, {R::Ack}, 99, 0x57},
    {"IdentityRequest", {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}, {R::IdentityReply}},
    // Byte a as it stands, not modelId.
    {"ReplyModel57", {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}, {R::IdentityReply}, 99, 0x58, 0x57},
    // Manufacturer byte and everything after byte 6 are not examined.
    {"IdentityReply",
     {0xF0, 0x7E, 0x10, 0x06, 0x02, 0x41, 0x56, 0x01, 0x02, 0x03, 0xF7},
     {R::IdentityTaken, 0x56},
     3},
    {"GeneralInformation03", {0xF0, 0x7E, 0x00, 0x06, 0x03, 0xF7}, {R::Nak}},
    {"Universal07", {0xF0, 0x7E, 0x00, 0x07, 0x01, 0xF7}, {}},
    {"RealTimeUniversal", {0xF0, 0x7F, 0x00, 0x06, 0x01, 0xF7}, {}},
    {"AnotherMaker", {0xF0, 0x41, 0x00, 0x58, 0x00, 0x00, 0xF7}, {}},
    {"NoteOn", {0x90, 0x40, 0x7F}, {}},
    {"NoF0", {0x52, 0x00, 0x58, 0x00, 0x00, 0xF7}, {}},
    // Entries shorter than their rule.
    {"F0", {0xF0}, {}},
    {"F052", {0xF0, 0x52}, {}},
    {"DeviceHeaderOnly", {0xF0, 0x52, 0x00, 0x58}, {}},
    {"StatusWithoutItsByte", {0xF0, 0x52, 0x00, 0x58, 0x00}, {}},
    {"IdentityReplyWithoutItsByte", {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52}, {}},
    {"UniversalHeaderOnly", {0xF0, 0x7E, 0x00, 0x06}, {}},
    // The stop value is not overwritten by a late reply.
    {"StatusAfterStop", {0xF0, 0x52, 0x00, 0x58, 0x00, 0x00, 0xF7}, {R::Status, 0}, 255},
    {"IdentityReplyAfterStop",
     {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x58},
     {R::IdentityTaken, 0x58},
     255},
};

TEST(DispatcherReactions, EachEntryIsAnsweredAndRecordedAsTheTableSays) {
  for (const ReactionRow& row : kReactions) {
    SCOPED_TRACE(row.name);
    // The fuzzers' reading of the messages agrees with the table.
    EXPECT_EQ(testing::expectedReaction(row.entry.data(), row.entry.size(), row.model), row.want);
    const testing::ModelScope models(row.model, row.replyModel);
    QueueLink link;
    UpdateSignals signals;
    testing::RecordingView view{signals};
    ReplyDispatcher dispatcher{link, view, signals};
    signals.replyStatus.store(row.before);
    link.queue.push_back(row.entry);
    dispatcher.dispatchReplies();

    EXPECT_EQ(link.pops, 1);
    EXPECT_EQ(signals.replyEvent.tryWait(), testing::wakes(row.want.reaction));
    EXPECT_EQ(signals.replyStatus.load(), testing::statusAfter(row.want, row.before));
    EXPECT_EQ(link.sent, testing::answersOf(row.want.reaction, row.model, row.replyModel));
    EXPECT_TRUE(view.log("box:").empty());
    const bool identity = row.want.reaction == R::IdentityTaken;
    EXPECT_EQ(signals.reportedModel.load(), identity ? row.want.value : 0x00);
    // Every reply is recorded, the stop notwithstanding.
    const std::vector<Answer> answers = signals.answers.takeAll().answers;
    ASSERT_EQ(answers.size(), testing::wakes(row.want.reaction) ? 1u : 0u);
    for (const Answer& answer : answers) {
      EXPECT_EQ(answer.kind, identity ? AnswerKind::Identity : AnswerKind::Status);
      EXPECT_EQ(answer.value, row.want.value);
    }
  }
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
