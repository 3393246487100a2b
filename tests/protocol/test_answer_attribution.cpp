// Answers carry no chunk number. These are the ways, each seen on a real MIDI path, in which an
// answer to one send used to be taken for another's and an update ended "completed" over a chunk
// the device had refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "protocol/update_procedure.h"
#include "resources/string_table.h"
#include "sim/device_model.h"
#include "tests/support/sysex_support.h"
#include "tests/support/virtual_time_link.h"

namespace rt88h {
namespace {

using sim::DeviceModel;
using sim::Fault;
using sim::MessageKind;
using testing::Bytes;
using testing::TimedReply;
using testing::VirtualTimeLink;

constexpr uint32_t kChunksOf136 = 128;
constexpr uint32_t kAllChunks = 1902;

// The device model answering in order, one message at a time: a message it takes long over holds
// up every answer after it.
class InOrderDevice {
 public:
  // The device takes this much longer over the n-th message of that kind (re-sends counted).
  std::map<std::pair<MessageKind, uint32_t>, int64_t> stallMs;
  // The n-th message of that kind is refused with this status and has no effect.
  std::map<std::pair<MessageKind, uint32_t>, uint8_t> refuse;
  DeviceModel model;
  // What a chunk takes the device: more than a timer tick, so that two answers in a row are
  // taken in at different ticks.
  int64_t latencyMs = 60;
  // The transport reports a late cycle a millisecond after the n-th message of that kind left.
  std::set<std::pair<MessageKind, uint32_t>> lateCycleAfter;

  testing::DeviceFunction function(VirtualTimeLink*& link) {
    return [this, &link](const Bytes& message, std::vector<TimedReply>& replies) {
      const MessageKind kind = kindOf(message);
      const auto key = std::make_pair(kind, ++seen_[kind]);
      std::vector<sim::Reply> answers;
      if (const auto refusal = refuse.find(key); refusal != refuse.end()) {
        answers.push_back({model.deviceStatus(refusal->second), 0});
      } else {
        model.receive(message.data(), message.size(), answers);
      }
      const int64_t now = link->now();
      if (lateCycleAfter.count(key) != 0) link->at(now + 1, [l = link] { l->reportTrouble(); });
      const auto stall = stallMs.find(key);
      const int64_t extra = stall == stallMs.end() ? 0 : stall->second;
      // One message at a time: this one starts when the one before is done.
      busyUntil_ = std::max(now, busyUntil_) + latencyMs + extra;
      for (sim::Reply& answer : answers) {
        replies.push_back(
            {std::move(answer.bytes), static_cast<uint32_t>(busyUntil_ - now) + answer.delayMs});
      }
    };
  }
  uint32_t seen(MessageKind kind) const {
    const auto it = seen_.find(kind);
    return it == seen_.end() ? 0 : it->second;
  }

 private:
  static MessageKind kindOf(const Bytes& m) {
    switch (testing::kindOf(m)) {
      case testing::Sent::Identity: return MessageKind::IdentityRequest;
      case testing::Sent::Begin: return MessageKind::BeginUpdate;
      case testing::Sent::Write: return MessageKind::WriteData;
      case testing::Sent::End: return MessageKind::EndUpdate;
      case testing::Sent::Erase: return MessageKind::EraseFlash;
      case testing::Sent::Other: break;
    }
    return MessageKind::Unknown;
  }
  std::map<MessageKind, uint32_t> seen_;
  int64_t busyUntil_ = 0;
};

class AnswerAttribution : public ::testing::Test {
 protected:
  void run() {
    link.prepareRun();
    runUpdate(link, link);
    ASSERT_FALSE(link.hung());
  }
  bool completed() const {
    const auto statuses = link.log("status:");
    return !statuses.empty() && statuses.back() == testing::statusLine(IDS_UPDATE_COMPLETED);
  }
  void expectCompletedWithThePayloadsInFlash() {
    EXPECT_TRUE(link.log("box:").empty());
    EXPECT_TRUE(completed());
    std::string difference;
    EXPECT_TRUE(device.model.flashMatchesPayloads(&difference)) << difference;
  }
  AnswerAttribution() { self = &link; }

  testing::ModelScope models;
  InOrderDevice device;
  VirtualTimeLink* self = nullptr;  // the device needs the link's clock
  VirtualTimeLink link{device.function(self)};
};

// The device stalls on a chunk's first send, and on its second too as long as that send's answer
// still comes within five seconds (the device takes one message at a time, so the second send's
// answer waits for both stalls).
class StalledChunk : public AnswerAttribution, public ::testing::WithParamInterface<int64_t> {
 protected:
  void stall(uint32_t firstSend) {
    device.stallMs[{MessageKind::WriteData, firstSend}] = GetParam();
    if (GetParam() <= 2500) device.stallMs[{MessageKind::WriteData, firstSend + 1}] = GetParam();
  }
};

TEST_P(StalledChunk, ThenTheNextChunkRefusedIsSentAgain) {
  // Chunk 10 stalls; chunk 11's first send is refused.
  stall(10);
  device.refuse[{MessageKind::WriteData, 12}] = 0x01;
  run();
  expectCompletedWithThePayloadsInFlash();
  EXPECT_GE(device.seen(MessageKind::WriteData), kAllChunks + 2);
}

TEST_P(StalledChunk, ThenTheEraseAfterItRefusedIsSentAgain) {
  stall(kChunksOf136);
  device.refuse[{MessageKind::EraseFlash, 3}] = 0x02;
  run();
  expectCompletedWithThePayloadsInFlash();
  EXPECT_EQ(device.seen(MessageKind::EraseFlash), 4u);
}

TEST_P(StalledChunk, ThenEndUpdateRefusedIsNoCompletedUpdate) {
  stall(kAllChunks);
  device.refuse[{MessageKind::EndUpdate, 1}] = 0x01;
  run();
  EXPECT_FALSE(completed());
  EXPECT_EQ(link.log("box:"), std::vector<std::string>{testing::errorBox(IDS_TRANSFER_ERROR)});
}

INSTANTIATE_TEST_SUITE_P(StallsMs, StalledChunk, ::testing::Values(1050, 1500, 2500, 4000));

TEST_F(AnswerAttribution, ARepeatedAnswerIsNotTakenForTheNextChunks) {
  // Over JACK a late cycle delivers an answer again one cycle (21 ms) later. With answers taking
  // 95 ms the copy arrives after the next chunk went out, and before that chunk's refusal.
  constexpr int64_t kCycleMs = 21;
  link.setCycleMs(kCycleMs);
  device.latencyMs = 95;
  device.model.addFault(Fault::twice(MessageKind::WriteData, 10, 1, kCycleMs));
  device.refuse[{MessageKind::WriteData, 11}] = 0x01;
  run();
  expectCompletedWithThePayloadsInFlash();
  EXPECT_EQ(device.seen(MessageKind::WriteData), kAllChunks + 1);
}

TEST_F(AnswerAttribution, ALateSecondIdentityReplyIsNoAnswerToBeginUpdate) {
  // The Identity Request reached the device twice; the second reply comes while BeginUpdate's
  // answer is awaited, and it must not be read as a status of 0x58.
  device.latencyMs = 300;
  device.model.addFault(Fault::twice(MessageKind::IdentityRequest, 1, 1, 200));
  run();
  expectCompletedWithThePayloadsInFlash();
}

TEST_F(AnswerAttribution, ALateCycleBeforeTheFirstStatusCostsNoUpdate) {
  // Only a status can be taken for another step's status: late cycles while the Identity
  // Request is answered (BeginUpdate goes out at the 50 ms tick) leave nothing in doubt.
  device.latencyMs = 3;
  link.at(10, [this] { link.reportTrouble(); });
  link.at(40, [this] { link.reportTrouble(); });
  run();
  expectCompletedWithThePayloadsInFlash();
  EXPECT_EQ(link.now(), 1908 * VirtualTimeLink::kTickMs + 500);
}

TEST_F(AnswerAttribution, ALateCycleBetweenTwoChunksCostsTheBoundOnLateAnswers) {
  device.latencyMs = 3;
  link.at(2000, [this] { link.reportTrouble(); });
  run();
  expectCompletedWithThePayloadsInFlash();
  // The chunk answered after it is sent again once its doubt has had time to clear.
  EXPECT_EQ(device.seen(MessageKind::WriteData), kAllChunks + 1);
  EXPECT_GT(link.now(), 1908 * VirtualTimeLink::kTickMs + 500 + 5000);
}

TEST_F(AnswerAttribution, ALateCycleOnlyAfterEndUpdateLeftLeavesItsAnswerTrusted) {
  // Only a request sent before EndUpdate could have been repeated into the answer taken for it.
  device.latencyMs = 3;
  device.lateCycleAfter.insert({MessageKind::EndUpdate, 1});
  run();
  expectCompletedWithThePayloadsInFlash();
  EXPECT_EQ(link.now(), 1908 * VirtualTimeLink::kTickMs + 500);
}

TEST_F(AnswerAttribution, ALateCycleAfterTheLastChunkLeftIsNoCompletedUpdate) {
  // The last chunk may have reached the device twice: EndUpdate's answer is in doubt.
  device.latencyMs = 3;
  device.lateCycleAfter.insert({MessageKind::WriteData, kAllChunks});
  run();
  EXPECT_FALSE(completed());
  EXPECT_EQ(link.log("box:"), std::vector<std::string>{testing::errorBox(IDS_TRANSFER_ERROR)});
}

TEST_F(AnswerAttribution, AFaultFreeUpdateWaitsNoLongerThanBefore) {
  // Nothing in doubt, nothing waited for: 1,908 answers at one tick each, and the 500 ms pause.
  device.latencyMs = 3;
  run();
  expectCompletedWithThePayloadsInFlash();
  EXPECT_EQ(link.now(), 1908 * VirtualTimeLink::kTickMs + 500);
}

}  // namespace
}  // namespace rt88h
