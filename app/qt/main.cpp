// rt88h-updater: the updater for a device on the system's MIDI ports.
#include "app/qt/updater_app.h"

namespace {
rt88h::app::CLumoUpdatorApp theApp;
}

int main(int argc, char** argv) {
  return rt88h::app::runApplication(theApp, argc, argv);
}
