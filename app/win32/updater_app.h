#pragma once
// Start-up: the common controls, the instance number from named mutexes, the modal run.
#include <windows.h>

#include <string>

#include "app/core/command_line.h"
#include "app/core/instance_lock.h"

namespace rt88h::win32 {

class CLumoUpdatorApp {
 public:
  CLumoUpdatorApp() = default;
  CLumoUpdatorApp(const CLumoUpdatorApp&) = delete;
  CLumoUpdatorApp& operator=(const CLumoUpdatorApp&) = delete;
  ~CLumoUpdatorApp() = default;

  // Claims a number unless one is held, runs the window, waits for a running update; always
  // false (there is no message loop after it).
  bool InitInstance();
  // The lowest free number from 1 to kMaxInstances; false when all are taken.
  bool chooseInstanceNumber();
  int getInstanceNumber() const { return instanceNumber; }

  void setSimulatedDeviceName(std::string device) { simulatedDevice = std::move(device); }

 private:
  app::InstanceLock instanceMutex;  // held until the process ends
  int instanceNumber = 0;
  std::string simulatedDevice;
};

// The program file's name without its extension: the caption of boxes that have none.
std::wstring applicationName();

// --help, --version or a wrong command line from a program without a console of its own: to the
// handles it was given, else to the console it was started from, else in a box; the exit status.
int showAnswer(const app::CommandLineAnswer& answer);

}  // namespace rt88h::win32
