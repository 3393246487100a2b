// A real update: MidiOutPort and MidiInPort over the virtual back-end, the dispatcher on the
// 50 ms CDxMTimer, the procedure on its worker thread, the device model as the device.
#include <gtest/gtest.h>

#include <chrono>

#include "protocol/messages.h"
#include "sim/attach/simulated_device.h"
#include "tests/support/port_host.h"
#include "tests/support/sysex_support.h"

namespace rt88h {
namespace {

using namespace std::chrono_literals;
using sim::DeviceModel;
using sim::MessageKind;

class UpdateOverPorts : public ::testing::Test {
 protected:
  testing::ModelScope models;
};

TEST_F(UpdateOverPorts, ACompleteUpdateWritesThePayloadsIntoTheDevice) {
  sim::SimulatedDevice device("RT complete", DeviceModel::Config{});
  testing::PortHost host;
  const int in = host.inputIndex("RT complete");
  const int out = host.outputIndex("RT complete");
  ASSERT_GE(in, 0);
  ASSERT_GE(out, 0);

  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(host.execute(in, out));
  ASSERT_TRUE(host.waitForEnd(180s)) << "the update did not end";
  host.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  RecordProperty("update_seconds", std::to_string(seconds));
  std::printf("complete update over the virtual ports: %.2f s\n", seconds);

  EXPECT_TRUE(host.log("box:").empty());
  EXPECT_EQ(host.log("status:").back(), testing::statusLine(IDS_UPDATE_COMPLETED));
  EXPECT_EQ(host.log("execute:"), std::vector<std::string>{"execute:off"});
  device.withModel([](DeviceModel& model) {
    std::string difference;
    EXPECT_TRUE(model.flashMatchesPayloads(&difference)) << difference;
    EXPECT_TRUE(model.violations().empty()) << model.report();
    EXPECT_EQ(model.count(MessageKind::WriteData), 1902u);
  });
}

TEST_F(UpdateOverPorts, ClosingMidUpdateEndsTheWorkerAtItsNextWait) {
  sim::SimulatedDevice device("RT close", DeviceModel::Config{});
  device.withModel(
      [](DeviceModel& model) { model.addFault(sim::Fault::drop(MessageKind::WriteData, 5, 3)); });
  testing::PortHost host;
  ASSERT_TRUE(host.execute(host.inputIndex("RT close"), host.outputIndex("RT close")));
  // Let it get into the writes (identity, begin, pause, two erases, a few chunks).
  ASSERT_TRUE(host.waitForLine("step:3/6", 10s));

  const auto start = std::chrono::steady_clock::now();
  host.close();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, 2s);
  EXPECT_TRUE(host.log("box:").empty());
  EXPECT_TRUE(host.busy());  // a stop leaves the controls as they were
}

TEST_F(UpdateOverPorts, NoDeviceAtAnIndexFailsToOpen) {
  testing::PortHost host;
  EXPECT_FALSE(host.execute(-1, -1));
  EXPECT_FALSE(host.execute(0, 100000));
}

}  // namespace
}  // namespace rt88h
