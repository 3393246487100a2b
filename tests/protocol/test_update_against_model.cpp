// The update procedure against the device model, in virtual time: the flash ends up equal to
// the payloads, and the model's faults surface as the procedure's messages.
#include <gtest/gtest.h>

#include <algorithm>

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

// However an update was cut short, on a device that keeps what it has: Rescan and Execute (a new
// run of the procedure) update it from the start and complete.
TEST_F(UpdateAgainstModel, AnInterruptedUpdateRunAgainCompletes) {
  enum class Cut { Stop, Unplug, PowerCycle };
  const std::pair<const char*, testing::Sent> steps[] = {
      {"identity", testing::Sent::Identity}, {"BeginUpdate", testing::Sent::Begin},
      {"an erase", testing::Sent::Erase},    {"a chunk", testing::Sent::Write},
      {"EndUpdate", testing::Sent::End},
  };
  for (const Cut cut : {Cut::Stop, Cut::Unplug, Cut::PowerCycle}) {
    for (const auto& [name, kind] : steps) {
      SCOPED_TRACE(::testing::Message() << "cut " << static_cast<int>(cut) << " at " << name);
      DeviceModel device;
      VirtualTimeLink first(play(device));
      bool cutOff = false;
      int sends = 0;
      // Before the step's 2nd message of its kind reaches the device (the 1st for the identity,
      // BeginUpdate and EndUpdate).
      first.setSendFailure([&, kind = kind](const Bytes& message) {
        const int wanted = kind == testing::Sent::Erase || kind == testing::Sent::Write ? 2 : 1;
        if (cutOff || testing::kindOf(message) != kind || ++sends != wanted) return cutOff;
        switch (cut) {
          case Cut::Stop: first.requestStop(); break;
          case Cut::Unplug:  // BeginUpdate waits without a limit: a minute on, the user closes
            cutOff = true;
            first.at(first.now() + 60000, [&] { first.requestStop(); });
            break;
          case Cut::PowerCycle: device.powerCycle(); break;
        }
        return cutOff;
      });
      first.prepareRun();
      runUpdate(first, first);
      ASSERT_FALSE(first.hung());
      // A restart before BeginUpdate interrupts nothing: that run completes.
      const bool interrupts = cut != Cut::PowerCycle ||
                              (kind != testing::Sent::Identity && kind != testing::Sent::Begin);
      const std::vector<std::string> shown = first.log("status:");
      EXPECT_EQ(std::count(shown.begin(), shown.end(), testing::statusLine(IDS_UPDATE_COMPLETED)),
                interrupts ? 0 : 1);
      device.clearRecord();

      VirtualTimeLink again(play(device));
      again.prepareRun();
      runUpdate(again, again);
      EXPECT_TRUE(again.log("box:").empty()) << again.log("box:").front();
      EXPECT_EQ(again.log("status:").back(), testing::statusLine(IDS_UPDATE_COMPLETED));
      std::string difference;
      EXPECT_TRUE(device.flashMatchesPayloads(&difference)) << difference;
      EXPECT_TRUE(device.violations().empty()) << device.report();
    }
  }
}

}  // namespace
}  // namespace rt88h
