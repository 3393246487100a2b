// The update procedure against the device model, in virtual time: the flash ends up equal to
// the payloads, and the model's faults surface as the procedure's messages.
#include <gtest/gtest.h>

#include "protocol/messages.h"
#include "protocol/update_procedure.h"
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

}  // namespace
}  // namespace rt88h
