// Runs the updater window modally on the platform Qt is given, as start-up does, prints the
// window's native id once the window system has it, and closes the window when its standard
// input closes.
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>

#include "app/qt/updater_app.h"
#include "app/qt/updater_window.h"

int main(int argc, char** argv) {
  QApplication qtApp(argc, argv);
  rt88h::app::CLumoUpdatorApp app;
  if (!app.chooseInstanceNumber()) return 2;
  rt88h::app::CLumoUpdatorDlg window;
  QTimer::singleShot(0, &window, [&window] {
    QGuiApplication::sync();  // a round trip: every property is on the server now
    std::printf("%llu\n", static_cast<unsigned long long>(window.winId()));
    std::fflush(stdout);
  });
  QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
  QObject::connect(&input, &QSocketNotifier::activated, &window, [&] {
    char byte;
    if (::read(STDIN_FILENO, &byte, 1) <= 0) {
      input.setEnabled(false);
      window.reject();
    }
  });
  window.DoModal();
  window.waitForUpdate();
  return 0;
}
