#include "app/cli/options.h"

#include "app/cli/exit_status.h"

namespace rt88h::cli {
namespace {

struct Parsing {
  Options& options;
  std::string error;
};

using OptionEntry = app::Option<Parsing>;

template <std::string Options::*kPort>
bool setPort(std::string_view value, Parsing& parsing) {
  std::string& port = parsing.options.*kPort;
  if (!port.empty()) {
    parsing.error = std::string(kPort == &Options::in ? "--in" : "--out") + " given twice";
    return false;
  }
  port = value;
  return !value.empty();
}

template <bool Options::*kFlag>
bool setFlag(std::string_view /*value*/, Parsing& parsing) {
  parsing.options.*kFlag = true;
  return true;
}

constexpr OptionEntry kOptions[] = {
    {"--list", "",
     "list the MIDI ports as the window does, with their\n"
     "keys (* marks those this copy pre-selects), and exit",
     setFlag<&Options::list>},
    {"--in", "NAME|KEY",
     "the device's MIDI input: a key or name from --list,\n"
     "or a part of one name (default: the one the window\n"
     "pre-selects, by the device's usual names)",
     setPort<&Options::in>},
    {"--out", "NAME|KEY", "the device's MIDI output, as --in", setPort<&Options::out>},
    {"--yes", "",
     "a build with test images writes them without asking\n"
     "(test rigs with simulated devices)",
     setFlag<&Options::yes>},
    {"--json", "",
     "one JSON object per line for each event, on standard\n"
     "output, instead of the progress line",
     setFlag<&Options::json>},
};

}  // namespace

app::CommandLineRequest parseOptions(int argc, const char* const* argv, Options& options,
                                     std::string* error) {
  Parsing parsing{options, {}};
  return app::parseCommandLine(argc, argv, std::span<const OptionEntry>(kOptions), parsing, error);
}

std::string usage(std::string_view program) {
  return app::helpText(
      program, "[--in NAME|KEY] [--out NAME|KEY] [--yes] [--json] | --list",
      "Rewrites the firmware of an RT-88H effects device over USB MIDI, from a\n"
      "terminal: the update of rt88h-updater's window, with its texts, on the ports\n"
      "that window would pre-select unless --in and --out name others. Ctrl-C or\n"
      "SIGTERM stops it.\n",
      std::span<const OptionEntry>(kOptions), exitStatusText() + "See rt88h-update(1).\n");
}

}  // namespace rt88h::cli
