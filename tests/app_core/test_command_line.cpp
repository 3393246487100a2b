// Command lines from a table of options, and the window programs' --help and --version.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "about_text.h"
#include "command_line.h"
#include "flash_plan.h"
#include "version.h"

namespace rt88h::app {
namespace {

struct Sample {
  std::string name;
  bool flag = false;
  std::string error;
};

constexpr Option<Sample> kSampleOptions[] = {
    {"--name", "NAME", "a name\nover two lines",
     [](std::string_view v, Sample& s) {
       s.name = v;
       if (v == "taken") s.error = "the name is taken";
       return !v.empty() && v != "taken";
     }},
    {"--flag", "", "a flag",
     [](std::string_view, Sample& s) {
       s.flag = true;
       return true;
     }},
};

struct Case {
  std::vector<const char*> args;
  CommandLineRequest request;
  std::string error;  // Wrong only
  std::string name;   // Run only
};

TEST(CommandLine, ArgumentsAgainstTheTable) {
  const Case cases[] = {
      {{}, CommandLineRequest::Run, "", ""},
      {{"--name", "a", "--flag"}, CommandLineRequest::Run, "", "a"},
      {{"--name=b=c"}, CommandLineRequest::Run, "", "b=c"},
      {{"--name", "--flag"}, CommandLineRequest::Run, "", "--flag"},
      {{"-h"}, CommandLineRequest::Help, "", ""},
      {{"--flag", "--help", "--bogus"}, CommandLineRequest::Help, "", ""},
      {{"--version"}, CommandLineRequest::Version, "", ""},
      {{"--bogus", "--help"}, CommandLineRequest::Wrong, "unknown option --bogus", ""},
      {{"-x"}, CommandLineRequest::Wrong, "unknown option -x", ""},
      {{"file"}, CommandLineRequest::Wrong, "unexpected argument file", ""},
      {{"--name"}, CommandLineRequest::Wrong, "--name needs a value", ""},
      {{"--name="}, CommandLineRequest::Wrong, "bad value for --name: ", ""},
      {{"--name", "taken"}, CommandLineRequest::Wrong, "the name is taken", ""},
      {{"--flag=1"}, CommandLineRequest::Wrong, "--flag takes no value", ""},
      {{"--version=2"}, CommandLineRequest::Wrong, "--version takes no value", ""},
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
    EXPECT_EQ(error, c.error) << what;
    if (c.request == CommandLineRequest::Run) {
      EXPECT_EQ(sample.name, c.name) << what;
    }
  }
}

TEST(CommandLine, HelpListsEveryOptionWithItsValue) {
  const std::string help = helpText("prog", "[options]", "Does things.\n",
                                    std::span<const Option<Sample>>(kSampleOptions), "End.\n");
  EXPECT_EQ(help.rfind("Usage: prog [options]\nDoes things.\n", 0), 0u) << help;
  for (const char* line :
       {"\n  --name NAME              a name\n                           over two lines\n",
        "\n  --flag                   a flag\n", "\n  -h, --help ", "\n  --version ", "\nEnd.\n"}) {
    EXPECT_NE(help.find(line), std::string::npos) << line << " in\n" << help;
  }
}

TEST(CommandLine, WindowProgramsAnswerHelpAndVersionOnStdoutAndRefuseTheRest) {
  struct WindowCase {
    std::vector<const char*> argv;
    bool run;
    int status;
    std::string outStart;
    std::string errEnd;
  };
  const WindowCase cases[] = {
      {{"/usr/bin/rt88h-updater"}, true, 0, "", ""},
      {{"/usr/bin/rt88h-updater", "--help"},
       false,
       0,
       "Usage: rt88h-updater [--help | --version]\n",
       ""},
      {{"rt88h-updater-demo", "--version"},
       false,
       0,
       "rt88h-updater-demo " + std::string(kVersion) + "\n",
       ""},
      {{"C:\\Program Files\\RT-88H Updater\\rt88h-updater.EXE", "-platform", "xcb"},
       false,
       2,
       "",
       "rt88h-updater: unknown option -platform\nTry 'rt88h-updater --help' for more "
       "information.\n"},
  };
  for (const WindowCase& c : cases) {
    const CommandLineAnswer answer =
        windowCommandLine(static_cast<int>(c.argv.size()), c.argv.data(), kUpdaterDescription);
    const std::string what = c.argv.size() > 1 ? c.argv[1] : "(none)";
    EXPECT_EQ(answer.run, c.run) << what;
    EXPECT_EQ(answer.exitStatus, c.status) << what;
    EXPECT_EQ(answer.out.rfind(c.outStart, 0), 0u) << what << ": " << answer.out;
    EXPECT_EQ(answer.out.empty(), c.outStart.empty()) << what;
    EXPECT_EQ(answer.err, c.errEnd) << what;
  }
  EXPECT_EQ(kExitWrongCommandLine, 2);
}

TEST(CommandLine, VersionAndAboutLineSayWhichImagesAreBuiltIn) {
  const std::string version = versionText("prog");
  const std::string about = aboutLine();
  EXPECT_EQ(about.rfind(std::string(kVersion) + " ", 0), 0u) << about;
  for (const char* digest : {payloadSha256(129), payloadSha256(136), payloadSha256(137)}) {
    EXPECT_NE(version.find(digest), std::string::npos) << version;
    if (!payloadsAreTestImages()) {
      EXPECT_NE(about.find(std::string(digest).substr(0, kAboutDigestDigits)), std::string::npos)
          << about;
    }
  }
  EXPECT_EQ(version.find("Test images") != std::string::npos, payloadsAreTestImages()) << version;
  EXPECT_EQ(about.find("test images") != std::string::npos, payloadsAreTestImages()) << about;
}

}  // namespace
}  // namespace rt88h::app
