#pragma once
// Command lines read from a table of options; -h, --help and --version come with every table.
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace rt88h::app {

// Exit status of every program for a command line it cannot carry out.
inline constexpr int kExitWrongCommandLine = 2;
// Exit status of a window program that finds no display to show the window on.
inline constexpr int kExitNoDisplay = 1;

enum class CommandLineRequest { Run, Help, Version, Wrong };

// One option of a program's table. Context::error, when apply sets it, says why a value is bad.
template <class Context>
struct Option {
  std::string_view name;
  std::string_view value;  // empty: the option takes none
  std::string_view help;   // lines after the first are continuations
  bool (*apply)(std::string_view value, Context& context);  // false: a bad value
};

struct OptionText {
  std::string_view name;
  std::string_view value;
  std::string_view help;
};

template <class Context>
std::vector<OptionText> optionTexts(std::span<const Option<Context>> table) {
  std::vector<OptionText> texts;
  texts.reserve(table.size());
  for (const Option<Context>& option : table) {
    texts.push_back({option.name, option.value, option.help});
  }
  return texts;
}

// The program's file name without its folder and ".exe".
std::string programName(const char* argv0);

// Each argument in turn: "--name VALUE" or "--name=VALUE"; -h, --help and --version stop there.
// Wrong: *error says why.
CommandLineRequest parseArguments(
    int argc, const char* const* argv, const std::vector<OptionText>& options,
    const std::function<bool(std::size_t option, std::string_view value, std::string* why)>& apply,
    std::string* error);

template <class Context>
CommandLineRequest parseCommandLine(int argc, const char* const* argv,
                                    std::span<const Option<Context>> table, Context& context,
                                    std::string* error) {
  return parseArguments(
      argc, argv, optionTexts(table),
      [&](std::size_t option, std::string_view value, std::string* why) {
        if (table[option].apply(value, context)) return true;
        *why = context.error;
        return false;
      },
      error);
}

// "Usage: PROGRAM SYNOPSIS", the description, the options aligned (the table's, then -h, --help
// and --version), the epilogue.
std::string helpText(std::string_view program, std::string_view synopsis,
                     std::string_view description, const std::vector<OptionText>& options,
                     std::string_view epilogue);

template <class Context>
std::string helpText(std::string_view program, std::string_view synopsis,
                     std::string_view description, std::span<const Option<Context>> table,
                     std::string_view epilogue) {
  return helpText(program, synopsis, description, optionTexts(table), epilogue);
}

// For standard error: the reason and where the help is.
std::string wrongCommandLineText(std::string_view program, std::string_view error);

// For standard output: "PROGRAM VERSION", then which images are built in and their SHA-256.
std::string versionText(std::string_view program);

// What a window's command line (--help and --version only) leaves to do.
struct CommandLineAnswer {
  bool run = true;  // false: print and exit
  int exitStatus = 0;
  std::string out;  // for standard output
  std::string err;  // for standard error
};
CommandLineAnswer windowCommandLine(int argc, const char* const* argv,
                                    std::string_view description);

// Writes the answer's texts to standard output and standard error; its exit status.
int printAnswer(const CommandLineAnswer& answer);

// Descriptions of the two window programs for windowCommandLine.
extern const std::string_view kUpdaterDescription;
extern const std::string_view kDemoDescription;

}  // namespace rt88h::app
