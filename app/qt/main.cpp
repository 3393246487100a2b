// rt88h-updater: the updater for a device on the system's MIDI ports.
#include "app/core/command_line.h"
#include "app/qt/updater_app.h"

namespace {
// The one application object, made before main as the design has it; its constructor only
// sets numbers.
rt88h::app::CLumoUpdatorApp theApp;  // NOLINT(cert-err58-cpp)
}  // namespace

int main(int argc, char** argv) {
  const auto answer = rt88h::app::windowCommandLine(argc, argv, rt88h::app::kUpdaterDescription);
  if (!answer.run) return rt88h::app::printAnswer(answer);
  return rt88h::app::runApplication(theApp, argc, argv);
}
