// rt88h-updater-demo: the updater with a simulated RT-88H on the in-process virtual MIDI service.
// Only a build with real firmware images becomes the plain updater when a device with one of the
// usual names is connected: test images must never reach a device.
#include <cstdio>
#include <memory>
#include <string>

#include "app/core/command_line.h"
#include "app/core/preselect.h"
#include "app/qt/updater_app.h"
#include "midi/in_process.h"
#include "resources/string_table.h"
#include "sim/attach/simulated_device.h"

namespace {

// The one application object, made before main as the design has it; its constructor only
// sets numbers.
rt88h::app::CLumoUpdatorApp theApp;  // NOLINT(cert-err58-cpp)

}  // namespace

int main(int argc, char** argv) {
  const auto answer = rt88h::app::windowCommandLine(argc, argv, rt88h::app::kDemoDescription);
  if (!answer.run) return rt88h::app::printAnswer(answer);
  if (!rt88h::app::displayAvailable() || !rt88h::app::demoPlaysItsDevice()) {
    return rt88h::app::runApplication(theApp, argc, argv);
  }
  // The number first: copy n plays "TAVO RT Series (n)", the name that copy n pre-selects. With
  // every number taken, start-up refuses as usual.
  if (!theApp.chooseInstanceNumber()) return rt88h::app::runApplication(theApp, argc, argv);
  const std::string name = rt88h::app::demoDeviceName(theApp.getInstanceNumber());
  // Registered before the window fills its lists, so that it comes up pre-selected.
  std::printf("Using a simulated RT-88H named \"%s\".\n", name.c_str());
  std::fflush(stdout);
  rt88h::sim::SimulatedDevice device(name, rt88h::sim::DeviceModel::Config{});
  theApp.setSimulatedDeviceName(name);
  return rt88h::app::runApplication(theApp, argc, argv);
}
