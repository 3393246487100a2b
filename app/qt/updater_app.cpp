#include "app/qt/updater_app.h"

#include <QApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "app/core/command_line.h"
#include "app/qt/stop_signals.h"
#include "app/qt/updater_window.h"
#include "resources/string_table.h"

// Resources of a static library are registered by hand; outside any namespace, as Qt asks.
static void registerAppResources() {
  Q_INIT_RESOURCE(rt88h_app);
}

namespace rt88h::app {

namespace {
constinit CLumoUpdatorApp* currentApp = nullptr;
}

CLumoUpdatorApp* afxGetApp() {
  return currentApp;
}

QString applicationName() {
  if (currentApp != nullptr && !currentApp->appName().isEmpty()) return currentApp->appName();
  return QCoreApplication::applicationName();
}

QIcon applicationIcon() {
  static const bool registered = (registerAppResources(), true);
  (void)registered;
  QIcon icon;
  for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
    icon.addFile(QStringLiteral(":/rt88h/icons/icon-%1.png").arg(size), QSize(size, size));
  }
  return icon;
}

bool displayAvailable() {
  const auto isSet = [](const char* variable) {
    const char* value = std::getenv(variable);
    return value != nullptr && *value != 0;
  };
  const char* chosen = std::getenv("QT_QPA_PLATFORM");
  const std::string_view platform = chosen != nullptr ? chosen : "";
  // Qt aborts when the chosen platform finds no server; the others need none.
  if (platform.empty()) return isSet("DISPLAY") || isSet("WAYLAND_DISPLAY");
  if (platform.starts_with("xcb")) return isSet("DISPLAY");
  if (platform.starts_with("wayland")) return isSet("WAYLAND_DISPLAY");
  return true;
}

CLumoUpdatorApp::CLumoUpdatorApp() {
  currentApp = this;
}

CLumoUpdatorApp::~CLumoUpdatorApp() {
  if (currentApp == this) currentApp = nullptr;
}

bool CLumoUpdatorApp::chooseInstanceNumber() {
  instanceNumber = takeInstanceNumber(instanceMutex);
  return instanceNumber != 0;
}

bool CLumoUpdatorApp::InitInstance() {
  // The common controls and the control container have no counterpart in Qt.
  if (instanceNumber == 0 && !chooseInstanceNumber()) {
    char text[128];
    std::snprintf(text, sizeof text, std::string(kTooManyInstancesFormat).c_str(), kMaxInstances);
    QMessageBox box(QMessageBox::Warning, applicationName(), QString::fromUtf8(text),
                    QMessageBox::Ok);
    box.exec();
    return false;
  }
  {
    CLumoUpdatorDlg window;
    StopSignals stopSignals;
    QObject::connect(&stopSignals, &StopSignals::received, &window, &CLumoUpdatorDlg::terminate);
    mainWnd = &window;
    window.DoModal();
    window.waitForUpdate();
    mainWnd = nullptr;
  }
  return false;
}

int runApplication(CLumoUpdatorApp& app, int& argc, char** argv) {
  const QString program =
      QFileInfo(QString::fromLocal8Bit(argc > 0 ? argv[0] : "rt88h-updater")).fileName();
  if (!displayAvailable()) {
    std::fprintf(stderr, "%s: no display to show the window on (DISPLAY or WAYLAND_DISPLAY)\n",
                 program.toLocal8Bit().constData());
    return kExitNoDisplay;
  }
  QApplication qtApp(argc, argv);
  app.setAppName(program);
  QApplication::setWindowIcon(applicationIcon());
  app.InitInstance();
  return 0;
}

}  // namespace rt88h::app
