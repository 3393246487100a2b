// The simulator's command line: what each option asks of the device model.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/devsim/options.h"

namespace rt88h::devsim {
namespace {

bool parse(const std::vector<const char*>& args, Options& options, std::string* error = nullptr) {
  const char* argv[32] = {"rt88h-devsim"};
  std::size_t argc = 1;
  for (const char* arg : args) {
    if (argc < 32) argv[argc++] = arg;
  }
  return parseOptions(static_cast<int>(argc), argv, options, error);
}

TEST(DevsimOptions, DefaultsPlayTheUsualDeviceOnJackOrAlsa) {
  Options options;
  ASSERT_TRUE(parse({}, options));
  EXPECT_EQ(options.name, "TAVO RT Series");
  EXPECT_EQ(options.backend, Backend::Auto);
  EXPECT_EQ(options.config.model, 0x58);
  EXPECT_FALSE(options.config.refuseUpdateMode);
  EXPECT_TRUE(options.faults.empty());
  EXPECT_FALSE(options.exitAfterEnd);
}

TEST(DevsimOptions, DeviceSettings) {
  Options options;
  ASSERT_TRUE(
      parse({"--name", "Other", "--backend", "alsa", "--model", "0x57", "--refuse-update-mode",
             "--reply-delay", "120", "--jack-server", "x", "--verbose", "--exit-after-end",
             "--expect-complete", "--answer-with-done", "--program-ms", "60"},
            options));
  EXPECT_EQ(options.name, "Other");
  EXPECT_EQ(options.backend, Backend::Alsa);
  EXPECT_EQ(options.config.model, 0x57);
  EXPECT_TRUE(options.config.refuseUpdateMode);
  EXPECT_EQ(options.config.replyDelayMs, 120u);
  EXPECT_EQ(options.jackServer, "x");
  EXPECT_TRUE(options.verbose && options.exitAfterEnd && options.expectComplete);
  EXPECT_TRUE(options.config.answerWithDone);
  EXPECT_EQ(options.programMs, 60u);
  EXPECT_FALSE(options.help);
  Options help;
  ASSERT_TRUE(parse({"-h"}, help));
  EXPECT_TRUE(help.help && !help.verbose);
}

TEST(DevsimOptions, LateCyclesAreCheckedAndOnlyForJack) {
  Options options;
  ASSERT_TRUE(parse({"--late-cycles", "random:5:42"}, options));
  EXPECT_EQ(options.lateCycles, "random:5:42");
  Options listed;
  ASSERT_TRUE(parse({"--late-cycles", "3,9:2"}, listed));
  EXPECT_EQ(listed.lateCycles, "3,9:2");
  std::string error;
  Options bad;
  EXPECT_FALSE(parse({"--late-cycles", "random:500:1"}, bad, &error));
  EXPECT_NE(error.find("PERCENT"), std::string::npos) << error;
  Options alsa;
  EXPECT_FALSE(parse({"--backend", "alsa", "--late-cycles", "4"}, alsa, &error));
  EXPECT_NE(error.find("JACK"), std::string::npos) << error;
}

TEST(DevsimOptions, FaultsBecomeModelFaults) {
  Options options;
  ASSERT_TRUE(parse({"--drop-chunk", "5:3", "--fail", "0x01@write:7", "--late", "600@end:1",
                     "--erase-fail", "2", "--drop-chunk", "9"},
                    options));
  ASSERT_EQ(options.faults.size(), 5u);
  const sim::Fault& drop = options.faults[0];
  EXPECT_EQ(drop.action, sim::FaultAction::Drop);
  EXPECT_EQ(drop.kind, sim::MessageKind::WriteData);
  EXPECT_EQ(drop.occurrence, 5u);
  EXPECT_EQ(drop.times, 3u);
  const sim::Fault& fail = options.faults[1];
  EXPECT_EQ(fail.action, sim::FaultAction::Status);
  EXPECT_EQ(fail.status, 0x01);
  EXPECT_EQ(fail.occurrence, 7u);
  const sim::Fault& late = options.faults[2];
  EXPECT_EQ(late.action, sim::FaultAction::Late);
  EXPECT_EQ(late.kind, sim::MessageKind::EndUpdate);
  EXPECT_EQ(late.delayMs, 600u);
  const sim::Fault& erase = options.faults[3];
  EXPECT_EQ(erase.kind, sim::MessageKind::EraseFlash);
  EXPECT_EQ(erase.occurrence, 2u);
  EXPECT_NE(erase.status, 0);
  EXPECT_EQ(options.faults[4].times, 1u);
}

TEST(DevsimOptions, DeviceRequestsDuringTheUpdate) {
  Options options;
  ASSERT_TRUE(parse({"--request", "0x05@WRITE:3", "--request", "identity@WRITE:10"}, options));
  ASSERT_EQ(options.requests.size(), 2u);
  EXPECT_EQ(options.requests[0].code, 0x05);
  EXPECT_FALSE(options.requests[0].identity);
  EXPECT_EQ(options.requests[0].write, 3u);
  EXPECT_TRUE(options.requests[1].identity);
  EXPECT_EQ(options.requests[1].write, 10u);
}

void expectRefused(const std::vector<const char*>& args) {
  Options options;
  std::string error;
  const std::string first = args.front();
  EXPECT_FALSE(parse(args, options, &error)) << first;
  EXPECT_FALSE(error.empty()) << first;
}

TEST(DevsimOptions, BadCommandLinesAreRefusedWithTheReason) {
  expectRefused({"--backend", "oss"});
  expectRefused({"--model", "0x80"});
  expectRefused({"--model"});
  expectRefused({"--drop-chunk", "0"});
  expectRefused({"--drop-chunk", "3:x"});
  expectRefused({"--fail", "1@flash:2"});
  expectRefused({"--fail", "1@write"});
  expectRefused({"--late", "-5@write:1"});
  expectRefused({"--request", "5@ERASE:1"});
  expectRefused({"--request", "5@WRITE:0"});
  expectRefused({"--unknown"});
  expectRefused({"--reply-delay", "ten"});
  expectRefused({"--program-ms", "60001"});
}

TEST(DevsimOptions, EveryOptionTheHelpListsIsKnown) {
  const std::string help = usage("rt88h-devsim");
  int listed = 0;
  for (std::size_t at = help.find("\n  --"); at != std::string::npos;
       at = help.find("\n  --", at + 1)) {
    const std::size_t end = help.find(' ', at + 3);
    const std::string option = help.substr(at + 3, end - at - 3);
    Options options;
    std::string error;
    parse({option.c_str(), "x"}, options, &error);
    EXPECT_NE(error, "unknown option " + option);
    ++listed;
  }
  EXPECT_EQ(listed, 20);
}

}  // namespace
}  // namespace rt88h::devsim
