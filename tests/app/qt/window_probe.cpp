// Runs the updater window modally on the platform Qt is given, as start-up does, prints the
// window's native id once the window system has it, and closes the window when its standard
// input closes. With --update it plays a simulated device, as the demo does, and runs Execute
// first: the id follows once the update runs.
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <optional>
#include <string_view>

#include "app/core/preselect.h"
#include "app/qt/updater_app.h"
#include "app/qt/updater_window.h"
#include "sim/attach/simulated_device.h"

int main(int argc, char** argv) {
  QApplication qtApp(argc, argv);
  const bool update = argc > 1 && std::string_view(argv[1]) == "--update";
  rt88h::app::CLumoUpdatorApp app;
  if (!app.chooseInstanceNumber()) return 2;
  std::optional<rt88h::sim::SimulatedDevice> device;
  if (update) {
    const std::string name = rt88h::app::demoDeviceName(app.getInstanceNumber());
    device.emplace(name, rt88h::sim::DeviceModel::Config{});
    app.setSimulatedDeviceName(name);
  }
  QTimer::singleShot(0, [&app, update] {
    rt88h::app::CLumoUpdatorDlg* window = app.mainWindow();
    if (update) window->OnExecute();
    QGuiApplication::sync();  // a round trip: every property is on the server now
    std::printf("%llu\n", static_cast<unsigned long long>(window->winId()));
    std::fflush(stdout);
  });
  QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
  QObject::connect(&input, &QSocketNotifier::activated, [&] {
    char byte;
    if (::read(STDIN_FILENO, &byte, 1) <= 0) {
      input.setEnabled(false);
      if (app.mainWindow() != nullptr) app.mainWindow()->reject();
    }
  });
  app.InitInstance();
  return 0;
}
