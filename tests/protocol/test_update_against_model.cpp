// The update procedure against the device model, in virtual time: the flash ends up equal to
// the payloads, and the model's faults surface as the procedure's messages.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "device_model.h"
#include "messages.h"
#include "sysex_support.h"
#include "update_procedure.h"
#include "virtual_time_link.h"

namespace rt88h {
namespace {

using sim::DeviceModel;
using sim::Fault;
using sim::MessageKind;
using testing::Bytes;
using testing::TimedReply;
using testing::VirtualTimeLink;

testing::DeviceFunction play(DeviceModel& model) {
  return [&model](const Bytes& message, std::vector<TimedReply>& replies) {
    std::vector<sim::Reply> answers;
    model.receive(message.data(), message.size(), answers);
    for (sim::Reply& a : answers) replies.push_back({std::move(a.bytes), a.delayMs});
  };
}

class UpdateAgainstModel : public ::testing::Test {
 protected:
  void run() {
    link.prepareRun();
    runUpdate(link, link);
    EXPECT_FALSE(link.hung());
  }
  testing::ModelScope models;
  DeviceModel model;
  VirtualTimeLink link{play(model)};
};

TEST_F(UpdateAgainstModel, ACompleteUpdateLeavesThePayloadsInFlash) {
  run();
  EXPECT_TRUE(link.log("box:").empty());
  std::string difference;
  EXPECT_TRUE(model.flashMatchesPayloads(&difference)) << difference;
  EXPECT_TRUE(model.violations().empty()) << model.report();
  EXPECT_TRUE(model.finished());
  EXPECT_EQ(model.count(MessageKind::WriteData), 1902u);
}

TEST_F(UpdateAgainstModel, LostAnswersAreRetriedAndTheFlashStillMatches) {
  model.addFault(Fault::drop(MessageKind::WriteData, 100, 6));
  model.addFault(Fault::withStatus(MessageKind::WriteData, 700, 0x01, 3));
  model.addFault(Fault::withStatus(MessageKind::EraseFlash, 2, 0x02, 2));
  model.addFault(Fault::late(MessageKind::WriteData, 1500, 1200));
  model.addFault(Fault::twice(MessageKind::WriteData, 1600));
  run();
  EXPECT_TRUE(link.log("box:").empty());
  std::string difference;
  EXPECT_TRUE(model.flashMatchesPayloads(&difference)) << difference;
  EXPECT_EQ(link.log("status:").back(), testing::statusLine(IDS_UPDATE_COMPLETED));
}

TEST_F(UpdateAgainstModel, ADeviceOutOfVersionUpModeIsToldSo) {
  model.config().refuseUpdateMode = true;
  run();
  EXPECT_EQ(link.log("box:"), std::vector<std::string>{testing::errorBox(IDS_SET_VERSIONUP_MODE)});
  EXPECT_EQ(model.count(MessageKind::EraseFlash), 0u);
}

TEST_F(UpdateAgainstModel, GarbageAndTruncatedAnswersAreNotTakenForReplies) {
  model.addFault(Fault::garbage(MessageKind::WriteData, 10, 2));
  model.addFault(Fault::truncated(MessageKind::WriteData, 20, 2));
  run();
  EXPECT_TRUE(link.log("box:").empty());
  EXPECT_TRUE(model.flashMatchesPayloads());
  EXPECT_EQ(model.count(MessageKind::WriteData), 1902u + 4u);
}

// The device unplugged at one kind of step, while the procedure waits for its answer or just
// as a message of that kind goes out: one box says so within 10 s and the controls come back,
// nothing reports success, and a run after it is plugged in again completes over what the
// first left in the flash.
struct Unplug {
  const char* name;
  testing::Sent kind;
  std::size_t occurrence;
  bool asItGoesOut;
};
void PrintTo(const Unplug& row, std::ostream* out) {
  *out << row.name;
}

class UnplugAtEveryStep : public UpdateAgainstModel,
                          public ::testing::WithParamInterface<Unplug> {};

TEST_P(UnplugAtEveryStep, TellsItOnceAndTheNextRunCompletes) {
  const Unplug& at = GetParam();
  std::size_t seen = 0;
  int64_t unpluggedAt = -1;
  const auto due = [&](const Bytes& m) {
    if (unpluggedAt >= 0 || testing::kindOf(m) != at.kind || ++seen != at.occurrence) return false;
    link.unplug();
    unpluggedAt = link.now();
    return true;
  };
  if (at.asItGoesOut) {
    link.setSendFailure(due);
  } else {
    link.setAfterSend([&](const Bytes& m, std::size_t) { due(m); });
  }
  run();
  ASSERT_GE(unpluggedAt, 0);
  const std::string box = testing::errorBox(IDS_DEVICE_DISCONNECTED);
  EXPECT_EQ(link.log("box:"), std::vector<std::string>{box});
  for (const auto& [time, line] : link.timedLog()) {
    if (line == box) {
      EXPECT_LE(time - unpluggedAt, 10000);
    }
  }
  EXPECT_TRUE(link.controlsEnabled());
  EXPECT_EQ(link.signals().busy.load(), 0);
  EXPECT_TRUE(link.log(testing::statusLine(IDS_UPDATE_COMPLETED)).empty());

  VirtualTimeLink again{play(model)};
  again.prepareRun();
  runUpdate(again, again);
  EXPECT_TRUE(again.log("box:").empty()) << again.log("box:")[0];
  std::string difference;
  EXPECT_TRUE(model.flashMatchesPayloads(&difference)) << difference;
}

using testing::Sent;
INSTANTIATE_TEST_SUITE_P(Moments, UnplugAtEveryStep,
                         ::testing::Values(Unplug{"IdentityWait", Sent::Identity, 1, false},
                                           Unplug{"IdentitySent", Sent::Identity, 1, true},
                                           Unplug{"BeginUpdateWait", Sent::Begin, 1, false},
                                           Unplug{"BeginUpdateSent", Sent::Begin, 1, true},
                                           Unplug{"EraseWait", Sent::Erase, 2, false},
                                           Unplug{"EraseSent", Sent::Erase, 2, true},
                                           Unplug{"ChunkWaitMidRegion", Sent::Write, 300, false},
                                           Unplug{"ChunkSentMidRegion", Sent::Write, 300, true},
                                           Unplug{"EndUpdateWait", Sent::End, 1, false},
                                           Unplug{"EndUpdateSent", Sent::End, 1, true}),
                         [](const ::testing::TestParamInfo<Unplug>& row) {
                           return std::string(row.param.name);
                         });

}  // namespace
}  // namespace rt88h
