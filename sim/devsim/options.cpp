#include "options.h"

#include "late_cycles.h"

#include <cerrno>
#include <cstdlib>
#include <string_view>

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

}  // namespace

std::string usage(const char* program) {
  return std::string("Usage: ") + program +
         " [options]\n"
         "Plays the device on the machine's MIDI service: one input port, one output port.\n"
         "  --name NAME              client name (default \"TAVO RT Series\")\n"
         "  --backend jack|alsa      MIDI service (default jack)\n"
         "  --jack-server NAME       JACK server to join\n"
         "  --rawmidi DEVICE         play on a raw MIDI device (hw:0,1) instead, where a\n"
         "                           USB-MIDI device sits; the kernel names its client\n"
         "  --model 0xNN             model byte (default 0x58)\n"
         "  --refuse-update-mode     answer BeginUpdate with 11\n"
         "  --reply-delay MS         delay of every answer\n"
         "  --answer-with-done       DeviceDone instead of DeviceStatus 0\n"
         "  --drop-chunk K[:N]       no answer to WriteData K (N times: K to K+N-1)\n"
         "  --fail STATUS@KIND:K     answer the K-th KIND with STATUS\n"
         "  --late MS@KIND:K         answer the K-th KIND after MS\n"
         "  --erase-fail N           answer the N-th EraseFlash with status 2\n"
         "  --request CODE@WRITE:K   send F0 52 00 m CODE F7 (CODE \"identity\": an Identity\n"
         "                           Request) when the K-th WriteData arrives\n"
         "  --verbose                one line per received message\n"
         "  --exit-after-end         exit once EndUpdate was answered\n"
         "  --expect-complete        exit status 1 unless the flash equals the payloads\n"
         "  --late-cycles PATTERN    (tests, JACK) overstay chosen process cycles, so that the\n"
         "                           server loses or repeats events: random:PERCENT:SEED or\n"
         "                           N[,N...] (cycles from 1), each optionally :PERIODS (how\n"
         "                           long, default 1.5 periods)\n"
         "KIND: identity, begin, erase, write, end, ack, nak, reply.\n"
         "Ends on SIGINT or SIGTERM and prints a report; exit status 1 when the device saw\n"
         "layout violations.\n";
}

bool parseOptions(int argc, const char* const* argv, Options& options, std::string* error) {
  auto fail = [error](const std::string& text) {
    if (error != nullptr) *error = text;
    return false;
  };
  bool backendGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view option = argv[i];
    const auto flag = [&](std::string_view name) { return option == name; };
    const bool takesValue = flag("--name") || flag("--backend") || flag("--jack-server") ||
                            flag("--rawmidi") || flag("--model") || flag("--reply-delay") ||
                            flag("--drop-chunk") || flag("--fail") || flag("--late") ||
                            flag("--erase-fail") || flag("--request") ||
                            flag("--late-cycles");
    std::string_view value;
    if (takesValue) {
      if (i + 1 >= argc) return fail(std::string(option) + " needs a value");
      value = argv[++i];
    }
    const auto bad = [&] {
      return fail("bad value for " + std::string(option) + ": " + std::string(value));
    };
    uint32_t number = 0;
    if (flag("--help") || flag("-h")) {
      options.help = true;
    } else if (flag("--name")) {
      if (value.empty()) return bad();
      options.name = value;
    } else if (flag("--backend")) {
      if (options.backend == Backend::RawMidi) {
        return fail("--backend and --rawmidi exclude each other");
      }
      backendGiven = true;
      if (value == "jack") {
        options.backend = Backend::Jack;
      } else if (value == "alsa") {
        options.backend = Backend::Alsa;
      } else {
        return bad();
      }
    } else if (flag("--rawmidi")) {
      if (value.empty()) return bad();
      if (backendGiven) return fail("--backend and --rawmidi exclude each other");
      options.backend = Backend::RawMidi;
      options.rawMidiDevice = value;
    } else if (flag("--jack-server")) {
      options.jackServer = value;
    } else if (flag("--model")) {
      if (!parseNumber(value, 0x7F, &number)) return bad();
      options.config.model = static_cast<uint8_t>(number);
    } else if (flag("--refuse-update-mode")) {
      options.config.refuseUpdateMode = true;
    } else if (flag("--reply-delay")) {
      if (!parseNumber(value, 3600000, &number)) return bad();
      options.config.replyDelayMs = number;
    } else if (flag("--answer-with-done")) {
      options.config.answerWithDone = true;
    } else if (flag("--drop-chunk")) {
      const std::size_t colon = value.find(':');
      uint32_t times = 1;
      if (!parseNumber(value.substr(0, colon), UINT32_MAX, &number) || number == 0) return bad();
      if (colon != std::string_view::npos &&
          (!parseNumber(value.substr(colon + 1), UINT32_MAX, &times) || times == 0)) {
        return bad();
      }
      options.faults.push_back(Fault::drop(MessageKind::WriteData, number, times));
    } else if (flag("--fail")) {
      MessageKind kind{};
      uint32_t occurrence = 0;
      if (!parseAtKind(value, 0x7F, &number, &kind, &occurrence)) return bad();
      options.faults.push_back(Fault::withStatus(kind, occurrence, static_cast<uint8_t>(number)));
    } else if (flag("--late")) {
      MessageKind kind{};
      uint32_t occurrence = 0;
      if (!parseAtKind(value, 3600000, &number, &kind, &occurrence)) return bad();
      options.faults.push_back(Fault::late(kind, occurrence, number));
    } else if (flag("--erase-fail")) {
      if (!parseNumber(value, UINT32_MAX, &number) || number == 0) return bad();
      options.faults.push_back(
          Fault::withStatus(MessageKind::EraseFlash, number, sim::kStatusNotErased));
    } else if (flag("--request")) {
      const std::size_t at = value.find('@');
      const std::size_t colon = value.rfind(':');
      if (at == std::string_view::npos || colon == std::string_view::npos || colon < at ||
          (value.substr(at + 1, colon - at - 1) != "WRITE" &&
           value.substr(at + 1, colon - at - 1) != "write")) {
        return bad();
      }
      Request request;
      const std::string_view code = value.substr(0, at);
      if (code == "identity") {
        request.identity = true;
      } else if (parseNumber(code, 0x7F, &number)) {
        request.code = static_cast<uint8_t>(number);
      } else {
        return bad();
      }
      if (!parseNumber(value.substr(colon + 1), UINT32_MAX, &request.write) || request.write == 0) {
        return bad();
      }
      options.requests.push_back(request);
    } else if (flag("--late-cycles")) {
      midi::LateCycles late;
      std::string why;
      if (!midi::parseLateCycles(value, &late, &why)) return fail(why);
      options.lateCycles = value;
    } else if (flag("--verbose")) {
      options.verbose = true;
    } else if (flag("--exit-after-end")) {
      options.exitAfterEnd = true;
    } else if (flag("--expect-complete")) {
      options.expectComplete = true;
    } else {
      return fail("unknown option " + std::string(option));
    }
  }
  if (!options.lateCycles.empty() && options.backend != Backend::Jack) {
    return fail("--late-cycles works on JACK only");
  }
  return true;
}

}  // namespace rt88h::devsim
