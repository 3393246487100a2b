#include "app/core/command_line.h"

#include <algorithm>
#include <cstdio>

#include "app/core/about_text.h"
#include "resources/version.h"

namespace rt88h::app {

namespace {

constexpr std::size_t kHelpColumn = 27;

constexpr OptionText kHelpOption{"-h, --help", "", "print this help and exit"};
constexpr OptionText kVersionOption{"--version", "",
                                    "print the version and the images built in, and exit"};

void appendOption(std::string& text, const OptionText& option) {
  std::string head = "  " + std::string(option.name);
  if (!option.value.empty()) head += " " + std::string(option.value);
  head.resize(std::max(head.size() + 1, kHelpColumn), ' ');
  std::string_view help = option.help;
  for (std::size_t end = help.find('\n'); !help.empty(); end = help.find('\n')) {
    text += head + std::string(help.substr(0, end)) + "\n";
    help = end == std::string_view::npos ? std::string_view{} : help.substr(end + 1);
    head.assign(kHelpColumn, ' ');
  }
}

}  // namespace

const std::string_view kUpdaterDescription =
    "Rewrites the firmware of an RT-88H effects device over USB MIDI, in a window: pick\n"
    "the device's MIDI input and output and press Execute. Up to 20 copies run side by\n"
    "side, one per device.\n";
const std::string_view kDemoDescription =
    "The RT-88H updater with a simulated RT-88H on an in-process MIDI service,\n"
    "pre-selected, so that a whole update runs without a device.\n";

std::string programName(const char* argv0) {
  std::string name = argv0 != nullptr && *argv0 != '\0' ? argv0 : "rt88h-updater";
  const std::size_t folder = name.find_last_of("/\\");
  if (folder != std::string::npos) name.erase(0, folder + 1);
  constexpr std::string_view kExe = ".exe";
  if (name.size() > kExe.size() &&
      std::equal(kExe.begin(), kExe.end(), name.end() - static_cast<std::ptrdiff_t>(kExe.size()),
                 [](char a, char b) { return a == (b >= 'A' && b <= 'Z' ? b - 'A' + 'a' : b); })) {
    name.resize(name.size() - kExe.size());
  }
  return name;
}

CommandLineRequest parseArguments(
    int argc, const char* const* argv, const std::vector<OptionText>& options,
    const std::function<bool(std::size_t option, std::string_view value, std::string* why)>& apply,
    std::string* error) {
  auto wrong = [error](const std::string& text) {
    if (error != nullptr) *error = text;
    return CommandLineRequest::Wrong;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    const std::size_t equals =
        argument.starts_with("--") ? argument.find('=') : std::string_view::npos;
    const std::string name(argument.substr(0, equals));
    const bool help = name == "-h" || name == "--help";
    if ((help || name == "--version") && equals != std::string_view::npos) {
      return wrong(name + " takes no value");
    }
    if (help) return CommandLineRequest::Help;
    if (name == "--version") return CommandLineRequest::Version;
    const auto found = std::find_if(options.begin(), options.end(),
                                    [&name](const OptionText& o) { return o.name == name; });
    if (found == options.end()) {
      return wrong((argument.starts_with('-') ? "unknown option " : "unexpected argument ") + name);
    }
    std::string_view value;
    if (found->value.empty()) {
      if (equals != std::string_view::npos) return wrong(name + " takes no value");
    } else if (equals != std::string_view::npos) {
      value = argument.substr(equals + 1);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      return wrong(name + " needs a value");
    }
    std::string why;
    if (!apply(static_cast<std::size_t>(found - options.begin()), value, &why)) {
      return wrong(why.empty() ? "bad value for " + name + ": " + std::string(value) : why);
    }
  }
  return CommandLineRequest::Run;
}

std::string helpText(std::string_view program, std::string_view synopsis,
                     std::string_view description, const std::vector<OptionText>& options,
                     std::string_view epilogue) {
  std::string text = "Usage: " + std::string(program) + " " + std::string(synopsis) + "\n" +
                     std::string(description) + "\nOptions:\n";
  for (const OptionText& option : options) appendOption(text, option);
  appendOption(text, kHelpOption);
  appendOption(text, kVersionOption);
  return text + std::string(epilogue);
}

std::string wrongCommandLineText(std::string_view program, std::string_view error) {
  return std::string(program) + ": " + std::string(error) + "\nTry '" + std::string(program) +
         " --help' for more information.\n";
}

std::string versionText(std::string_view program) {
  return std::string(program) + " " + std::string(kVersion) + "\n" + aboutImagesDigests() + "\n";
}

CommandLineAnswer windowCommandLine(int argc, const char* const* argv,
                                    std::string_view description) {
  const std::string program = programName(argc > 0 ? argv[0] : nullptr);
  std::string error;
  switch (parseArguments(argc, argv, {}, nullptr, &error)) {
    case CommandLineRequest::Run: return {};
    case CommandLineRequest::Help:
      return {false,
              0,
              helpText(program, "[--help | --version]", description, {},
                       "\nExit status: 0 once the window has closed, 1 without a display, 2 for\n"
                       "a wrong command line. See rt88h-updater(1).\n"),
              {}};
    case CommandLineRequest::Version: return {false, 0, versionText(program), {}};
    case CommandLineRequest::Wrong:
      return {false, kExitWrongCommandLine, {}, wrongCommandLineText(program, error)};
  }
  return {};
}

int printAnswer(const CommandLineAnswer& answer) {
  std::fputs(answer.out.c_str(), stdout);
  std::fputs(answer.err.c_str(), stderr);
  return answer.exitStatus;
}

}  // namespace rt88h::app
