// Command lines from a table of options, and the window programs' --help and --version.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/core/command_line.h"
#include "protocol/flash_plan.h"
#include "resources/version.h"

namespace rt88h::app {
namespace {

struct Sample {
  std::string name;
  std::string error;
};

constexpr Option<Sample> kSampleOptions[] = {
    {"--name", "NAME", "a name",
     [](std::string_view v, Sample& s) {
       s.name = v;
       if (v == "taken") s.error = "the name is taken";
       return !v.empty() && v != "taken";
     }},
    {"--flag", "", "a flag", [](std::string_view, Sample&) { return true; }},
};

TEST(CommandLine, ArgumentsAgainstTheTable) {
  struct Case {
    std::vector<const char*> args;
    CommandLineRequest request;
    std::string errorOrName;
  };
  using enum CommandLineRequest;
  const Case cases[] = {
      {{}, Run, ""},
      {{"--name", "a", "--flag"}, Run, "a"},
      {{"--name=b=c"}, Run, "b=c"},
      {{"--flag", "-h", "--bogus"}, Help, ""},
      {{"--version"}, Version, ""},
      {{"--bogus", "--help"}, Wrong, "unknown option --bogus"},
      {{"file"}, Wrong, "unexpected argument file"},
      {{"--name"}, Wrong, "--name needs a value"},
      {{"--name="}, Wrong, "bad value for --name: "},
      {{"--name", "taken"}, Wrong, "the name is taken"},
      {{"--flag=1"}, Wrong, "--flag takes no value"},
      {{"--version=2"}, Wrong, "--version takes no value"},
  };
  for (const Case& c : cases) {
    std::vector<const char*> argv{"prog"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Sample sample;
    std::string error;
    const CommandLineRequest request =
        parseCommandLine(static_cast<int>(argv.size()), argv.data(),
                         std::span<const Option<Sample>>(kSampleOptions), sample, &error);
    const std::string what = c.args.empty() ? "(none)" : c.args.front();
    EXPECT_EQ(request, c.request) << what;
    EXPECT_EQ(request == Wrong ? error : request == Run ? sample.name : "", c.errorOrName) << what;
  }
}

TEST(CommandLine, WindowProgramsAnswerOnStdoutOrRefuseOnStderr) {
  const std::string test = payloadsAreTestImages() ? "Test images" : "Firmware images";
  const std::vector<std::vector<const char*>> lines = {
      {"/usr/bin/rt88h-updater"},
      {"/usr/bin/rt88h-updater", "--help"},
      {"rt88h-updater-demo", "--version"},
      {"C:\\RT-88H Updater\\rt88h-updater.EXE", "-platform", "xcb"}};
  const CommandLineAnswer expected[] = {
      {true, 0, "", ""},
      {false, 0, "Usage: rt88h-updater [--help | --version]\n", ""},
      {false, 0, "rt88h-updater-demo " + std::string(kVersion) + "\n" + test, ""},
      {false, 2, "",
       "rt88h-updater: unknown option -platform\n"
       "Try 'rt88h-updater --help' for more information.\n"}};
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const CommandLineAnswer answer =
        windowCommandLine(static_cast<int>(lines[i].size()), lines[i].data(), kUpdaterDescription);
    EXPECT_EQ(answer.run, expected[i].run) << i;
    EXPECT_EQ(answer.exitStatus, expected[i].exitStatus) << i;
    EXPECT_EQ(answer.out.substr(0, expected[i].out.size()), expected[i].out) << i;
    EXPECT_EQ(answer.out.empty(), expected[i].out.empty()) << i;
    EXPECT_EQ(answer.err, expected[i].err) << i;
  }
  EXPECT_NE(windowCommandLine(2, lines[2].data(), {}).out.find(payloadSha256(137)),
            std::string::npos);
}

}  // namespace
}  // namespace rt88h::app
