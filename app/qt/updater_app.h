#pragma once
// The application object: instance numbering and the modal run of the updater window.
#include <QIcon>
#include <QString>
#include <string>
#include <utility>

#include "app/core/instance_lock.h"

namespace rt88h::app {

class CLumoUpdatorDlg;

class CLumoUpdatorApp {
 public:
  CLumoUpdatorApp();
  CLumoUpdatorApp(const CLumoUpdatorApp&) = delete;
  CLumoUpdatorApp& operator=(const CLumoUpdatorApp&) = delete;
  virtual ~CLumoUpdatorApp();

  // Start-up: claims a number unless one is held already, runs the window modally, waits for a
  // running update; always false (there is no message loop after it).
  virtual bool InitInstance();

  int getInstanceNumber() const { return instanceNumber; }

  // The lowest free number from 1 to kMaxInstances; false when all are taken.
  bool chooseInstanceNumber();

  // Caption of boxes that have none of their own.
  const QString& appName() const { return name; }
  void setAppName(const QString& appName) { name = appName; }

  CLumoUpdatorDlg* mainWindow() const { return mainWnd; }

  // The raw name of the simulated device this process plays on the in-process virtual service
  // (the demo's); "" when there is none. Test images may go to it without asking.
  const std::string& simulatedDeviceName() const { return simulatedDevice; }
  void setSimulatedDeviceName(std::string device) { simulatedDevice = std::move(device); }

 private:
  InstanceLock instanceMutex;  // held for the whole life of the process
  int instanceNumber = 0;
  QString name;
  CLumoUpdatorDlg* mainWnd = nullptr;
  std::string simulatedDevice;
};

// The one application object of the process (the most recently constructed one), or nullptr.
CLumoUpdatorApp* afxGetApp();

// The application name: the program file's name, or Qt's idea of it without an application.
QString applicationName();

// Icon 128 of the resources.
QIcon applicationIcon();

// False when Qt would find no display to show the window on.
bool displayAvailable();

// The whole program after static initialisation: 0 once the window has closed or a copy was
// refused, non-zero without a display.
int runApplication(CLumoUpdatorApp& app, int& argc, char** argv);

}  // namespace rt88h::app
