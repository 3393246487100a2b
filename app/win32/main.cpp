// rt88h-updater.exe: the updater for a device on the system's MIDI ports.
#include "app/win32/updater_app.h"

int main() {
  rt88h::win32::CLumoUpdatorApp app;
  app.InitInstance();
  return 0;
}
