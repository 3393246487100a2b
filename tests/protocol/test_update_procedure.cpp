// The whole update against a scripted device, in virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "flash_plan.h"
#include "messages.h"
#include "update_procedure.h"
#include "virtual_time_link.h"

namespace rt88h {
namespace {

using testing::Bytes;
using testing::TimedReply;
using testing::VirtualTimeLink;

enum class Kind { Identity, Begin, Erase, Write, End, Other };

Kind kindOf(const Bytes& m) {
  if (m.size() > 4 && m[1] == 0x7E && m[4] == 0x01) return Kind::Identity;
  if (m.size() > 4 && m[1] == 0x52) {
    switch (m[4]) {
      case 0x01: return Kind::Begin;
      case 0x0A: return Kind::Erase;
      case 0x02: return Kind::Write;
      case 0x04: return Kind::End;
      default: break;
    }
  }
  return Kind::Other;
}

constexpr int kNoAnswer = -1;
constexpr int kAnswerDone = -2;

// Answers every request with status 0 unless the script says otherwise.
struct ScriptedDevice {
  uint8_t model = 0x58;
  uint32_t delayMs = 0;
  std::map<Kind, int> seen;
  std::function<int(Kind, int)> script = [](Kind, int) { return 0; };

  testing::DeviceFunction function() {
    return [this](const Bytes& m, std::vector<TimedReply>& replies) {
      const Kind kind = kindOf(m);
      if (kind == Kind::Other) return;
      const int answer = script(kind, ++seen[kind]);
      if (answer == kNoAnswer) return;
      if (kind == Kind::Identity) {
        replies.push_back({{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, model, 0x00, 0x00, 0x00, 0x31, 0x30,
                            0x30, 0x30, 0xF7},
                           delayMs});
      } else if (answer == kAnswerDone) {
        replies.push_back({{0xF0, 0x52, 0x00, model, 0x02, 0xF7}, delayMs});
      } else {
        replies.push_back(
            {{0xF0, 0x52, 0x00, model, 0x00, static_cast<uint8_t>(answer), 0xF7}, delayMs});
      }
    };
  }
};

class CapturingSender final : public MessageSender {
 public:
  int sendUpdateMessage(const uint8_t* bytes, uint32_t length) override {
    messages.emplace_back(bytes, bytes + length);
    return 0;
  }
  std::vector<Bytes> messages;
};

// Every message a complete update sends without retries, for the model given.
std::vector<Bytes> expectedMessages(uint8_t model) {
  const uint8_t savedModel = modelId.load();
  modelId.store(model);
  CapturingSender capture;
  auto work = std::make_unique<WorkBuffer>();
  for (const PlannedMessage& m : planWalk()) {
    switch (m.kind) {
      case PlannedMessage::Kind::IdentityRequest: sendIdentityRequest(capture); break;
      case PlannedMessage::Kind::BeginUpdate: sendBeginUpdate(*work, capture); break;
      case PlannedMessage::Kind::EraseFlash:
        sendEraseFlash(*work, capture, model, m.address, m.length);
        break;
      case PlannedMessage::Kind::WriteData:
        sendWriteData(*work, capture, model, payload(m.payloadId).bytes + m.offset, m.address,
                      m.length);
        break;
      case PlannedMessage::Kind::EndUpdate: sendEndUpdate(*work, capture); break;
    }
  }
  modelId.store(savedModel);
  return capture.messages;
}

class UpdateProcedureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    modelId.store(0x58);
    identityReplyModel.store(0x00);
  }
  void TearDown() override {
    modelId.store(0x58);
    identityReplyModel.store(0x00);
  }
  void run() {
    link.prepareRun();
    EXPECT_EQ(runUpdate(link, link), 0);
    EXPECT_FALSE(link.hung());
  }
  std::vector<std::string> boxes() const { return link.log("box:"); }
  std::size_t sentOf(Kind kind) const {
    return static_cast<std::size_t>(
        std::count_if(link.sent().begin(), link.sent().end(),
                      [kind](const Bytes& m) { return kindOf(m) == kind; }));
  }
  int64_t timeOf(const std::string& line) const {
    for (const auto& [time, text] : link.timedLog()) {
      if (text == line) return time;
    }
    return -1;
  }

  ScriptedDevice device;
  VirtualTimeLink link{device.function()};
};

const std::string kBoxTimeout1 = "box:Time out error(1)|Error|stop";
const std::string kBoxTimeout2 = "box:Time out error(2)|Error|stop";
const std::string kBoxTimeout3 = "box:Time out error(3)|Error|stop";
const std::string kBoxIllegal = "box:Illegal device connected.|Error|stop";
const std::string kBoxVersionUp = "box:Please set the Version-up mode.|Error|stop";
const std::string kBoxTransfer = "box:Transfer error occurred.|Error|stop";
const std::string kBoxMidiOut = "box:Midi Out Error||none";

TEST_F(UpdateProcedureTest, SuccessSendsThePlanByteForByteWithItsTextsAndProgress) {
  run();
  EXPECT_TRUE(link.sent() == expectedMessages(0x58));
  EXPECT_EQ(link.sent().size(), 1908u);
  EXPECT_TRUE(boxes().empty());

  EXPECT_EQ(link.log("step:"),
            (std::vector<std::string>{"step:0/6", "step:1/6", "step:2/6", "step:3/6", "step:4/6",
                                      "step:5/6", "step:6/6"}));
  EXPECT_EQ(link.log("range:"),
            (std::vector<std::string>{"range:0-10", "range:0-10", "range:0-262144", "range:0-10",
                                      "range:0-2912256", "range:0-720896"}));
  const auto statuses = link.log("status:");
  ASSERT_GE(statuses.size(), 4u);
  EXPECT_EQ(statuses[0], "status:Erasing Flash memory.");
  EXPECT_EQ(statuses[1], "status:");
  EXPECT_EQ(statuses[2], "status:Erasing Flash memory.");
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "status:Data transmit  0 / 262144 "), 1);
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "status:Data transmit  260096 / 262144 "),
            1);
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "status:Data transmit  262144 / 262144 "),
            0);
  EXPECT_EQ(
      std::count_if(statuses.begin(), statuses.end(),
                    [](const std::string& s) { return s.rfind("status:Data transmit", 0) == 0; }),
      1902);

  const auto positions = link.log("pos:");
  EXPECT_EQ(positions.front(), "pos:1");
  EXPECT_EQ(positions[1], "pos:10");
  EXPECT_EQ(positions.back(), "pos:720896");

  const auto all = link.log();
  ASSERT_GE(all.size(), 3u);
  EXPECT_EQ(all.front(), "step:0/6");  // a new run changes only the step counter at once
  EXPECT_EQ(
      (std::vector<std::string>(all.end() - 3, all.end())),
      (std::vector<std::string>{"status:Version update completed.", "restore", "execute:off"}));
  EXPECT_TRUE(link.controlsEnabled());
  EXPECT_FALSE(link.executeEnabled());
  EXPECT_EQ(link.signals().busy.load(), 0);
  EXPECT_EQ(identityReplyModel.load(), 0x58);

  // The first erase follows the BeginUpdate answer after the 500 ms pause.
  EXPECT_GE(link.sendTimes()[2] - link.sendTimes()[1], 500);
  // One chunk per 50 ms tick: the floor of a whole update.
  EXPECT_LE(link.now(), 1908 * 50 + 500 + 100);
}

TEST_F(UpdateProcedureTest, NoIdentityReplyTimesOutAfterThirtySeconds) {
  device.script = [](Kind, int) { return kNoAnswer; };
  run();
  EXPECT_EQ(boxes(), std::vector<std::string>{kBoxTimeout1});
  EXPECT_EQ(timeOf(kBoxTimeout1), 30000);
  EXPECT_EQ(link.sent().size(), 1u);
  EXPECT_TRUE(link.controlsEnabled());
  EXPECT_TRUE(link.executeEnabled());
}

TEST_F(UpdateProcedureTest, ARejectedModelIsKeptAndALaterGoodDeviceWorks) {
  identityReplyModel.store(0x57);
  device.model = 0x56;
  run();
  EXPECT_EQ(boxes(), std::vector<std::string>{kBoxIllegal});
  EXPECT_EQ(modelId.load(), 0x56);
  EXPECT_EQ(identityReplyModel.load(), 0x57);
  EXPECT_EQ(link.sent().size(), 1u);

  ScriptedDevice good;
  good.model = 0x57;
  VirtualTimeLink second(good.function());
  second.prepareRun();
  runUpdate(second, second);
  EXPECT_TRUE(second.log("box:").empty());
  EXPECT_EQ(modelId.load(), 0x57);
  EXPECT_EQ(identityReplyModel.load(), 0x57);
  EXPECT_EQ(second.sent().back(), (Bytes{0xF0, 0x52, 0x00, 0x57, 0x04, 0xF7}));
}

TEST_F(UpdateProcedureTest, AStatusInsteadOfAnIdentityReplyIsAnIllegalDevice) {
  VirtualTimeLink statusLink([](const Bytes& m, std::vector<TimedReply>& replies) {
    if (kindOf(m) == Kind::Identity)
      replies.push_back({{0xF0, 0x52, 0x00, 0x58, 0x00, 0x03, 0xF7}, 0});
  });
  statusLink.prepareRun();
  runUpdate(statusLink, statusLink);
  EXPECT_EQ(statusLink.log("box:"), std::vector<std::string>{kBoxIllegal});
}

TEST_F(UpdateProcedureTest, BeginUpdateRefusalsEndBeforeAnyErase) {
  device.script = [](Kind kind, int) { return kind == Kind::Begin ? 11 : 0; };
  run();
  EXPECT_EQ(boxes(), std::vector<std::string>{kBoxVersionUp});
  EXPECT_EQ(sentOf(Kind::Erase), 0u);

  ScriptedDevice other;
  other.script = [](Kind kind, int) { return kind == Kind::Begin ? 7 : 0; };
  VirtualTimeLink otherLink(other.function());
  otherLink.prepareRun();
  runUpdate(otherLink, otherLink);
  EXPECT_EQ(otherLink.log("box:"), std::vector<std::string>{kBoxTransfer});
  EXPECT_EQ(otherLink.sent().size(), 2u);
}

TEST_F(UpdateProcedureTest, AChunkUnansweredSixTimesIsAcceptedOnTheSeventh) {
  device.script = [](Kind kind, int n) { return kind == Kind::Write && n <= 6 ? kNoAnswer : 0; };
  run();
  EXPECT_TRUE(boxes().empty());
  EXPECT_EQ(sentOf(Kind::Write), 1902u + 6u);
  // Re-sends of the same chunk, each after the 1 s wait and the 100 ms pause.
  const auto& sent = link.sent();
  EXPECT_EQ(sent[4], sent[10]);
  EXPECT_EQ(link.sendTimes()[5] - link.sendTimes()[4], 1100);
}

TEST_F(UpdateProcedureTest, AChunkUnansweredSevenTimesFailsAfterExactlySevenSends) {
  device.script = [](Kind kind, int) { return kind == Kind::Write ? kNoAnswer : 0; };
  run();
  EXPECT_EQ(boxes(), std::vector<std::string>{kBoxTimeout2});
  EXPECT_EQ(sentOf(Kind::Write), 7u);
  EXPECT_TRUE(link.controlsEnabled());
}

TEST_F(UpdateProcedureTest, MixedFailuresEndWithTheSeventhFailuresMessage) {
  device.script = [](Kind kind, int n) { return kind != Kind::Write ? 0 : n % 2 ? kNoAnswer : 9; };
  run();
  EXPECT_EQ(boxes(), std::vector<std::string>{kBoxTimeout2});
  EXPECT_EQ(sentOf(Kind::Write), 7u);

  ScriptedDevice other;
  other.script = [](Kind kind, int n) { return kind != Kind::Write ? 0 : n % 2 ? 9 : kNoAnswer; };
  VirtualTimeLink otherLink(other.function());
  otherLink.prepareRun();
  runUpdate(otherLink, otherLink);
  EXPECT_EQ(otherLink.log("box:"), std::vector<std::string>{kBoxTransfer});
}

TEST_F(UpdateProcedureTest, TheRetryCounterStartsAgainAfterEveryAcceptedChunk) {
  // Every chunk needs three tries: never seven failures in a row.
  device.script = [](Kind kind, int n) { return kind == Kind::Write && n % 3 != 0 ? 9 : 0; };
  run();
  EXPECT_TRUE(boxes().empty());
  EXPECT_EQ(sentOf(Kind::Write), 3u * 1902u);
}

TEST_F(UpdateProcedureTest, EraseRetriesFailureStatusesButNeverATimeOut) {
  device.script = [](Kind kind, int n) { return kind == Kind::Erase && n <= 6 ? 4 : 0; };
  run();
  EXPECT_TRUE(boxes().empty());
  EXPECT_EQ(sentOf(Kind::Erase), 3u + 6u);

  ScriptedDevice seven;
  seven.script = [](Kind kind, int) { return kind == Kind::Erase ? 4 : 0; };
  VirtualTimeLink sevenLink(seven.function());
  sevenLink.prepareRun();
  runUpdate(sevenLink, sevenLink);
  EXPECT_EQ(sevenLink.log("box:"), std::vector<std::string>{kBoxTransfer});
  EXPECT_EQ(seven.seen[Kind::Erase], 7);

  ScriptedDevice silent;
  silent.script = [](Kind kind, int) { return kind == Kind::Erase ? kNoAnswer : 0; };
  VirtualTimeLink silentLink(silent.function());
  silentLink.prepareRun();
  runUpdate(silentLink, silentLink);
  EXPECT_EQ(silentLink.log("box:"), std::vector<std::string>{kBoxTimeout3});
  EXPECT_EQ(silent.seen[Kind::Erase], 1);
  EXPECT_EQ(silentLink.now() - silentLink.sendTimes().back(), 30000);
}

TEST_F(UpdateProcedureTest, EndUpdateSucceedsOnlyOnStatusZeroOrDone) {
  device.script = [](Kind kind, int) { return kind == Kind::End ? kAnswerDone : 0; };
  run();
  EXPECT_TRUE(boxes().empty());
  EXPECT_EQ(link.log("status:").back(), "status:Version update completed.");

  ScriptedDevice failing;
  failing.script = [](Kind kind, int) { return kind == Kind::End ? 5 : 0; };
  VirtualTimeLink failingLink(failing.function());
  failingLink.prepareRun();
  runUpdate(failingLink, failingLink);
  EXPECT_EQ(failingLink.log("box:"), std::vector<std::string>{kBoxTransfer});
  EXPECT_NE(failingLink.log("status:").back(), "status:Version update completed.");
  EXPECT_TRUE(failingLink.executeEnabled());

  ScriptedDevice silent;
  silent.script = [](Kind kind, int) { return kind == Kind::End ? kNoAnswer : 0; };
  VirtualTimeLink silentLink(silent.function());
  silentLink.prepareRun();
  runUpdate(silentLink, silentLink);
  EXPECT_EQ(silentLink.log("box:"), std::vector<std::string>{kBoxTransfer});
  EXPECT_EQ(silentLink.now() - silentLink.sendTimes().back(), 30000);
}

// The window closes right after the message of that kind left: the run ends at the next wait.
class StopAtEveryWait : public UpdateProcedureTest, public ::testing::WithParamInterface<Kind> {};

TEST_P(StopAtEveryWait, EndsSilentlyWithTheControlsLeftDisabled) {
  const Kind stopAfter = GetParam();
  bool stopped = false;
  link.setAfterSend([&](const Bytes& m, std::size_t) {
    if (!stopped && kindOf(m) == stopAfter) {
      stopped = true;
      link.requestStop();
    }
  });
  run();
  EXPECT_TRUE(stopped);
  EXPECT_TRUE(boxes().empty());
  EXPECT_FALSE(link.controlsEnabled());
  EXPECT_EQ(link.signals().busy.load(), 1);
  EXPECT_EQ(kindOf(link.sent().back()), stopAfter);
  EXPECT_TRUE(link.log("status:Version update completed.").empty());
}

INSTANTIATE_TEST_SUITE_P(Waits, StopAtEveryWait,
                         ::testing::Values(Kind::Identity, Kind::Begin, Kind::Erase, Kind::Write,
                                           Kind::End));

TEST_F(UpdateProcedureTest, ACloseTenMinutesIntoTheUnlimitedBeginUpdateWait) {
  device.script = [](Kind kind, int) { return kind == Kind::Begin ? kNoAnswer : 0; };
  link.at(10 * 60 * 1000, [this] { link.requestStop(); });
  run();
  EXPECT_TRUE(boxes().empty());
  EXPECT_EQ(link.sent().size(), 2u);
  EXPECT_EQ(link.now(), 10 * 60 * 1000);
}

TEST_F(UpdateProcedureTest, AFailedIdentityRequestIsReportedTwiceThenTimesOut) {
  link.setSendFailure([](const Bytes&) { return true; });
  run();
  EXPECT_EQ(boxes(), (std::vector<std::string>{
                         kBoxMidiOut, "box:Can't open MIDI Out device.|Error|stop", kBoxTimeout1}));
  EXPECT_EQ(timeOf(kBoxTimeout1), 30000);
}

TEST_F(UpdateProcedureTest, EverySendOfAWriteStepFailing) {
  link.setSendFailure([](const Bytes& m) { return kindOf(m) == Kind::Write; });
  run();
  std::vector<std::string> expected(7, kBoxMidiOut);
  expected.push_back(kBoxTimeout2);
  EXPECT_EQ(boxes(), expected);
}

TEST_F(UpdateProcedureTest, DeviceRequestsDuringTheUpdateAreAnswered) {
  link.injectAt(20000, {0xF0, 0x52, 0x00, 0x58, 0x01, 0xF7});
  link.injectAt(20010, {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7});
  link.injectAt(20020, {0xF0, 0x52, 0x00, 0x58, 0x03, 0xF7});
  run();
  EXPECT_TRUE(boxes().empty());
  const auto& sent = link.sent();
  EXPECT_EQ(std::count(sent.begin(), sent.end(), Bytes{0xF0, 0x52, 0x00, 0x58, 0x00, 0x00, 0xF7}),
            1);
  EXPECT_EQ(std::count(sent.begin(), sent.end(),
                       Bytes{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x58, 0x00, 0x00, 0x00, 0x31, 0x30,
                             0x30, 0x30, 0xF7}),
            1);
  EXPECT_EQ(link.log("status:").back(), "status:Version update completed.");
}

// The device answers chunk sends in order: the answer to the first send of chunk 10 comes after
// its wait ended, and the first send of chunk 11 fails a little later than usual.
testing::DeviceFunction lateThenFailing(std::vector<int>& writesAnswered) {
  return [&writesAnswered](const Bytes& m, std::vector<TimedReply>& replies) {
    const Kind kind = kindOf(m);
    if (kind == Kind::Other) return;
    if (kind == Kind::Identity) {
      replies.push_back(
          {{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x58, 0, 0, 0, 0x31, 0x30, 0x30, 0x30, 0xF7}, 0});
      return;
    }
    uint8_t status = 0;
    uint32_t delay = 0;
    if (kind == Kind::Write) {
      const int chunk = (m[5] | m[6] << 7 | m[7] << 14 | m[8] << 21) / 2048;
      const int send = static_cast<int>(std::count(writesAnswered.begin(), writesAnswered.end(), chunk)) + 1;
      writesAnswered.push_back(chunk);
      if (chunk == 10 && send == 1) delay = 1050;
      if (chunk == 11 && send == 1) {
        status = 9;
        delay = 60;  // a tick after the re-send's answer to chunk 10
      }
    }
    replies.push_back({{0xF0, 0x52, 0x00, 0x58, 0x00, status, 0xF7}, delay});
  };
}

TEST_F(UpdateProcedureTest, ALateStatusSatisfiesTheWaitOfTheReSend) {
  std::vector<int> writes;
  VirtualTimeLink lateLink(lateThenFailing(writes));
  lateLink.prepareRun();
  runUpdate(lateLink, lateLink);
  EXPECT_TRUE(lateLink.log("box:").empty());
  // Chunk 10 went twice; the re-send's wait returned at once with the late answer.
  const auto& sent = lateLink.sent();
  EXPECT_EQ(sent[4 + 10], sent[4 + 11]);
  EXPECT_EQ(lateLink.sendTimes()[4 + 11] - lateLink.sendTimes()[4 + 10], 1100);
  EXPECT_EQ(lateLink.log("status:").back(), "status:Version update completed.");
}

TEST_F(UpdateProcedureTest, AnAnswerLeftOverFromATimeOutIsNotTakenForTheNextChunks) {
  // Without waiting for the re-send's own answer, that answer would satisfy chunk 11's wait
  // and chunk 11, whose first send failed, would never be written.
  std::vector<int> writes;
  VirtualTimeLink lateLink(lateThenFailing(writes));
  lateLink.prepareRun();
  runUpdate(lateLink, lateLink);
  EXPECT_EQ(std::count(writes.begin(), writes.end(), 11), 2) << "chunk 11 was not sent again";
  EXPECT_TRUE(lateLink.log("box:").empty());
  EXPECT_EQ(lateLink.log("status:").back(), "status:Version update completed.");
}

}  // namespace
}  // namespace rt88h
