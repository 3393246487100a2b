#pragma once
// The command line of rt88h-devsim.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/device_model.h"

namespace rt88h::devsim {

// Auto: JACK when a server runs, else the ALSA sequencer.
enum class Backend : uint8_t { Auto, Jack, Alsa, RawMidi };

// A message the device starts on its own when the updater's K-th WriteData arrives.
struct Request {
  bool identity = false;  // the universal Identity Request instead of F0 52 00 m code F7
  uint8_t code = 0;
  uint32_t write = 0;
};

struct Options {
  std::string name = "TAVO RT Series";
  std::string portName;  // ALSA: both ports' name; empty: "MIDI in" and "MIDI out"
  Backend backend = Backend::Auto;
  std::string jackServer;     // empty: JACK's own choice (JACK_DEFAULT_SERVER or "default")
  std::string rawMidiDevice;  // Backend::RawMidi: "hw:0,1"; the kernel names the client
  std::string lateCycles;     // JACK only: cycles made late on purpose (tests)
  uint32_t programMs = 0;     // how long programming one chunk keeps the device busy
  sim::DeviceModel::Config config;
  std::vector<sim::Fault> faults;
  std::vector<Request> requests;
  bool verbose = false;
  bool exitAfterEnd = false;
  bool expectComplete = false;
  bool help = false;
  bool version = false;
};

// False with the reason on a command line that cannot be carried out.
bool parseOptions(int argc, const char* const* argv, Options& options, std::string* error);
std::string usage(std::string_view program);

}  // namespace rt88h::devsim
