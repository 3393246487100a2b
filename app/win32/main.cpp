// rt88h-updater.exe: the updater for a device on the system's MIDI ports.
#include "app/win32/updater_app.h"

int main(int argc, char** argv) {
  const auto answer = rt88h::app::windowCommandLine(argc, argv, rt88h::app::kUpdaterDescription);
  if (!answer.run) return rt88h::win32::showAnswer(answer);
  rt88h::win32::CLumoUpdatorApp app;
  app.InitInstance();
  return 0;
}
