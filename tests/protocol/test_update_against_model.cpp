// The update procedure against the device model, in virtual time: the flash ends up equal to
// the payloads, and the model's faults surface as the procedure's messages.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
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
using testing::Sent;
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

// The device unplugged at each kind of step (the 2nd erase, chunk 300 in the middle of the second
// region), while the procedure waits for its answer or as the message goes out: one box says so
// within 10 s, the controls come back, nothing reports success; plugged in again, a new run
// completes over what the first left in the flash.
class UnplugAtEveryStep : public UpdateAgainstModel,
                          public ::testing::WithParamInterface<std::tuple<Sent, bool>> {};

TEST_P(UnplugAtEveryStep, TellsItOnceAndTheNextRunCompletes) {
  const auto [kind, asItGoesOut] = GetParam();
  const std::size_t occurrence = kind == Sent::Write ? 300 : (kind == Sent::Erase ? 2 : 1);
  std::size_t seen = 0;
  int64_t unpluggedAt = -1;
  const auto due = [&](const Bytes& m) {
    if (unpluggedAt >= 0 || testing::kindOf(m) != kind || ++seen != occurrence) return false;
    link.unplug();
    unpluggedAt = link.now();
    return true;
  };
  if (asItGoesOut) link.setSendFailure(due);
  if (!asItGoesOut) link.setAfterSend([&](const Bytes& m, std::size_t) { due(m); });
  run();
  const std::string box = testing::errorBox(IDS_DEVICE_DISCONNECTED);
  ASSERT_EQ(link.log("box:"), std::vector<std::string>{box});
  for (const auto& [time, line] : link.timedLog()) {
    if (line == box) {
      EXPECT_LE(time - unpluggedAt, 10000);
    }
  }
  EXPECT_TRUE(link.controlsEnabled() && link.signals().busy.load() == 0);
  EXPECT_TRUE(link.log(testing::statusLine(IDS_UPDATE_COMPLETED)).empty());

  VirtualTimeLink again{play(model)};
  again.prepareRun();
  runUpdate(again, again);
  EXPECT_TRUE(again.log("box:").empty());
  EXPECT_TRUE(model.flashMatchesPayloads());
}

INSTANTIATE_TEST_SUITE_P(Steps, UnplugAtEveryStep,
                         ::testing::Combine(::testing::Values(Sent::Identity, Sent::Begin,
                                                              Sent::Erase, Sent::Write, Sent::End),
                                            ::testing::Bool()));

}  // namespace
}  // namespace rt88h
