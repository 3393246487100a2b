#include "sim/devsim/options.h"

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "app/core/command_line.h"
#include "midi/backends/late_cycles.h"

namespace rt88h::devsim {
namespace {

using sim::Fault;
using sim::MessageKind;

bool parseNumber(std::string_view text, uint32_t max, uint32_t* value) {
  if (text.empty()) return false;
  const std::string copy(text);
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = std::strtoull(copy.c_str(), &end, 0);
  if (errno != 0 || end == copy.c_str() || *end != '\0' || copy[0] == '-' || parsed > max) {
    return false;
  }
  *value = static_cast<uint32_t>(parsed);
  return true;
}

bool parseKind(std::string_view text, MessageKind* kind) {
  struct Named {
    std::string_view name;
    MessageKind kind;
  };
  static constexpr Named kNames[] = {
      {"identity", MessageKind::IdentityRequest},
      {"begin", MessageKind::BeginUpdate},
      {"erase", MessageKind::EraseFlash},
      {"write", MessageKind::WriteData},
      {"end", MessageKind::EndUpdate},
      {"ack", MessageKind::Ack},
      {"nak", MessageKind::Nak},
      {"reply", MessageKind::IdentityReply},
  };
  for (const Named& named : kNames) {
    if (text.size() != named.name.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < text.size() && same; ++i) {
      const char c =
          text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
      same = c == named.name[i];
    }
    if (same) {
      *kind = named.kind;
      return true;
    }
  }
  return false;
}

// VALUE@KIND:K, as --fail and --late take it.
bool parseAtKind(std::string_view text, uint32_t maxValue, uint32_t* value, MessageKind* kind,
                 uint32_t* occurrence) {
  const std::size_t at = text.find('@');
  const std::size_t colon = text.rfind(':');
  if (at == std::string_view::npos || colon == std::string_view::npos || colon < at) return false;
  return parseNumber(text.substr(0, at), maxValue, value) &&
         parseKind(text.substr(at + 1, colon - at - 1), kind) &&
         parseNumber(text.substr(colon + 1), UINT32_MAX, occurrence) && *occurrence > 0;
}

// VALUE@write:K, as --request takes it.
bool parseRequest(std::string_view text, Request* request) {
  const std::size_t at = text.find('@');
  const std::size_t colon = text.rfind(':');
  MessageKind kind{};
  if (at == std::string_view::npos || colon == std::string_view::npos || colon < at ||
      !parseKind(text.substr(at + 1, colon - at - 1), &kind) || kind != MessageKind::WriteData) {
    return false;
  }
  const std::string_view code = text.substr(0, at);
  uint32_t number = 0;
  if (code == "identity") {
    request->identity = true;
  } else if (parseNumber(code, 0x7F, &number)) {
    request->code = static_cast<uint8_t>(number);
  } else {
    return false;
  }
  return parseNumber(text.substr(colon + 1), UINT32_MAX, &request->write) && request->write != 0;
}

struct Parsing {
  Options& options;
  bool backendGiven = false;
  std::string error;  // set where "bad value" would not say what is wrong
};

using OptionEntry = app::Option<Parsing>;

template <bool Options::*kFlag>
bool setFlag(std::string_view /*value*/, Parsing& parsing) {
  parsing.options.*kFlag = true;
  return true;
}

template <bool sim::DeviceModel::Config::*kFlag>
bool setDeviceFlag(std::string_view /*value*/, Parsing& parsing) {
  parsing.options.config.*kFlag = true;
  return true;
}

constexpr OptionEntry kOptions[] = {
    {"--name", "NAME", "client name (default \"TAVO RT Series\")",
     [](std::string_view v, Parsing& p) {
       p.options.name = v;
       return !v.empty();
     }},
    {"--port-name", "NAME",
     "(ALSA) both ports' name, e.g. the device's own where Wine\n"
     "lists a port by its name alone (client and port names long)",
     [](std::string_view v, Parsing& p) {
       p.options.portName = v;
       return !v.empty();
     }},
    {"--backend", "jack|alsa",
     "MIDI service (default: JACK when a server runs, else\n"
     "ALSA)",
     [](std::string_view v, Parsing& p) {
       if (p.options.backend == Backend::RawMidi) {
         p.error = "--backend and --rawmidi exclude each other";
         return false;
       }
       p.backendGiven = true;
       if (v == "jack") p.options.backend = Backend::Jack;
       if (v == "alsa") p.options.backend = Backend::Alsa;
       return v == "jack" || v == "alsa";
     }},
    {"--jack-server", "NAME", "JACK server to join",
     [](std::string_view v, Parsing& p) {
       p.options.jackServer = v;
       return true;
     }},
    {"--rawmidi", "DEVICE",
     "play on a raw MIDI device (hw:0,1) instead, where a\n"
     "USB-MIDI device sits; the kernel names its client",
     [](std::string_view v, Parsing& p) {
       if (p.backendGiven) {
         p.error = "--backend and --rawmidi exclude each other";
         return false;
       }
       p.options.backend = Backend::RawMidi;
       p.options.rawMidiDevice = v;
       return !v.empty();
     }},
    {"--model", "0xNN", "model byte (default 0x58)",
     [](std::string_view v, Parsing& p) {
       uint32_t model = 0;
       if (!parseNumber(v, 0x7F, &model)) return false;
       p.options.config.model = static_cast<uint8_t>(model);
       return true;
     }},
    {"--refuse-update-mode", "", "answer BeginUpdate with 11",
     setDeviceFlag<&sim::DeviceModel::Config::refuseUpdateMode>},
    {"--reply-delay", "MS", "delay of every answer",
     [](std::string_view v, Parsing& p) {
       return parseNumber(v, 3600000, &p.options.config.replyDelayMs);
     }},
    {"--program-ms", "MS",
     "each WriteData keeps the device busy MS ms before its\n"
     "answer; messages are handled one at a time, in order",
     [](std::string_view v, Parsing& p) { return parseNumber(v, 60000, &p.options.programMs); }},
    {"--answer-with-done", "", "DeviceDone instead of DeviceStatus 0",
     setDeviceFlag<&sim::DeviceModel::Config::answerWithDone>},
    {"--drop-chunk", "K[:N]", "no answer to WriteData K (N times: K to K+N-1)",
     [](std::string_view v, Parsing& p) {
       const std::size_t colon = v.find(':');
       uint32_t chunk = 0;
       uint32_t times = 1;
       if (!parseNumber(v.substr(0, colon), UINT32_MAX, &chunk) || chunk == 0) return false;
       if (colon != std::string_view::npos &&
           (!parseNumber(v.substr(colon + 1), UINT32_MAX, &times) || times == 0)) {
         return false;
       }
       p.options.faults.push_back(Fault::drop(MessageKind::WriteData, chunk, times));
       return true;
     }},
    {"--fail", "STATUS@KIND:K", "answer the K-th KIND with STATUS",
     [](std::string_view v, Parsing& p) {
       uint32_t status = 0;
       MessageKind kind{};
       uint32_t occurrence = 0;
       if (!parseAtKind(v, 0x7F, &status, &kind, &occurrence)) return false;
       p.options.faults.push_back(
           Fault::withStatus(kind, occurrence, static_cast<uint8_t>(status)));
       return true;
     }},
    {"--late", "MS@KIND:K", "answer the K-th KIND after MS",
     [](std::string_view v, Parsing& p) {
       uint32_t delayMs = 0;
       MessageKind kind{};
       uint32_t occurrence = 0;
       if (!parseAtKind(v, 3600000, &delayMs, &kind, &occurrence)) return false;
       p.options.faults.push_back(Fault::late(kind, occurrence, delayMs));
       return true;
     }},
    {"--erase-fail", "N", "answer the N-th EraseFlash with status 2",
     [](std::string_view v, Parsing& p) {
       uint32_t erase = 0;
       if (!parseNumber(v, UINT32_MAX, &erase) || erase == 0) return false;
       p.options.faults.push_back(
           Fault::withStatus(MessageKind::EraseFlash, erase, sim::kStatusNotErased));
       return true;
     }},
    {"--request", "CODE@WRITE:K",
     "send F0 52 00 m CODE F7 (CODE \"identity\": an Identity\n"
     "Request) when the K-th WriteData arrives",
     [](std::string_view v, Parsing& p) {
       Request request;
       if (!parseRequest(v, &request)) return false;
       p.options.requests.push_back(request);
       return true;
     }},
    {"--verbose", "", "one line per received message", setFlag<&Options::verbose>},
    {"--exit-after-end", "", "exit once EndUpdate was answered", setFlag<&Options::exitAfterEnd>},
    {"--expect-complete", "", "exit status 1 unless the flash equals the payloads",
     setFlag<&Options::expectComplete>},
    {"--late-cycles", "PATTERN",
     "(tests, JACK) overstay chosen process cycles, so that the\n"
     "server loses or repeats events: random:PERCENT:SEED or\n"
     "N[,N...] (cycles from 1), each optionally :PERIODS (how\n"
     "long, default 1.5 periods); after send: or before-send:\n"
     "numbers count messages: late with it, or just before it",
     [](std::string_view v, Parsing& p) {
       midi::LateCycles late;
       if (!midi::parseLateCycles(v, &late, &p.error)) return false;
       p.options.lateCycles = v;
       return true;
     }},
};

}  // namespace

std::string usage(std::string_view program) {
  return app::helpText(
      program, "[options]",
      "Plays the device on the machine's MIDI service: one input port, one output port.\n",
      std::span<const OptionEntry>(kOptions),
      "\nKIND: identity, begin, erase, write, end, ack, nak, reply.\n"
      "Ends on SIGINT or SIGTERM and prints a report; exit status 1 when the device saw\n"
      "layout violations, 2 for a wrong command line or ports that cannot be made.\n");
}

bool parseOptions(int argc, const char* const* argv, Options& options, std::string* error) {
  Parsing parsing{options, false, {}};
  const app::CommandLineRequest request =
      app::parseCommandLine(argc, argv, std::span<const OptionEntry>(kOptions), parsing, error);
  if (request == app::CommandLineRequest::Wrong) return false;
  options.help = request == app::CommandLineRequest::Help;
  options.version = request == app::CommandLineRequest::Version;
  if (options.backend == Backend::Auto &&
      (!options.jackServer.empty() || !options.lateCycles.empty())) {
    options.backend = Backend::Jack;  // only JACK can carry them out
  }
  if (!options.lateCycles.empty() && options.backend != Backend::Jack) {
    if (error != nullptr) *error = "--late-cycles works on JACK only";
    return false;
  }
  return true;
}

}  // namespace rt88h::devsim
