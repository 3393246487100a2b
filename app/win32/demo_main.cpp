// rt88h-updater-demo.exe: the updater with a simulated RT-88H on the in-process virtual MIDI
// service. Only a build with real firmware images becomes the plain updater when a device with
// one of the usual names is connected: test images must never reach a device.
#include <string>

#include "app/core/preselect.h"
#include "app/win32/updater_app.h"
#include "midi/in_process.h"
#include "resources/string_table.h"
#include "sim/attach/simulated_device.h"

int main(int argc, char** argv) {
  const auto answer = rt88h::app::windowCommandLine(argc, argv, rt88h::app::kDemoDescription);
  if (!answer.run) return rt88h::win32::showAnswer(answer);
  rt88h::win32::CLumoUpdatorApp app;
  // The number first: copy n plays "TAVO RT Series (n)", the name that copy n pre-selects. With
  // every number taken, start-up refuses as usual.
  if (!rt88h::app::demoPlaysItsDevice() || !app.chooseInstanceNumber()) {
    app.InitInstance();
    return 0;
  }
  const std::string name = rt88h::app::demoDeviceName(app.getInstanceNumber());
  // Registered before the window fills its lists, so that it comes up pre-selected.
  rt88h::sim::SimulatedDevice device(name, rt88h::sim::DeviceModel::Config{});
  app.setSimulatedDeviceName(name);
  app.InitInstance();
  return 0;
}
