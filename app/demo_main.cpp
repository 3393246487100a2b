// rt88h-updater-demo: the updater with a simulated RT-88H on the in-process virtual MIDI service.
#include <cstdio>

#include "lumo_updator_app.h"
#include "simulated_device.h"
#include "virtual_midi.h"

namespace {
rt88h::app::CLumoUpdatorApp theApp;
}

int main(int argc, char** argv) {
  if (!rt88h::app::displayAvailable()) return rt88h::app::runApplication(theApp, argc, argv);
  // Registered before the window fills its lists, so that it comes up pre-selected.
  rt88h::sim::SimulatedDevice device(rt88h::midi::virtualMidi(), "TAVO RT Series",
                                     rt88h::sim::DeviceModel::Config{});
  return rt88h::app::runApplication(theApp, argc, argv);
}
