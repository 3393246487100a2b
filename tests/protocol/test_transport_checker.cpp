// The real procedure and dispatcher against the device model over a transport that loses,
// repeats and delays messages, in virtual time. Whatever the transport does within its model,
// a run that reports "Version update completed." must leave the flash equal to the payloads, a
// run that fails must say so with one of the update's own messages, and a run may fail only
// where a fate left the host no way to tell that the device did its part.
//
// The transport model is described in tests/support/fault_transport.h.
//
// Exhaustive: every pattern of fates over the three sends around each step boundary of a short
// plan that has every kind of boundary. Random: seeded runs with a fate drawn for every send, the
// device taking 3 or 60 ms a message, and now and then an Identity Reply nobody asked for.
// RT88H_CHECKER_RANDOM_RUNS=<n> sets the number of random runs (the full share is 100,000);
// RT88H_CHECKER_SEED=<seed> replays one, and RT88H_CHECKER_TRACE=1 prints what each send met and
// what the window showed. A sanitized build, ten times slower or worse, takes every kStride-th
// pattern and a tenth of the random runs.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "protocol/update_procedure.h"
#include "tests/support/fault_transport.h"
#include "tests/support/sysex_support.h"

namespace rt88h {
namespace {

using testing::DeviceRun;
using testing::Fate;
using testing::kBoundaries;
using testing::RunEnd;
using testing::RunResult;
using testing::Sending;
using testing::Sent;

constexpr uint32_t kDefaultRandomRuns = 4000;
constexpr uint32_t kRandomBaseSeed = 1300;
constexpr int64_t kFloorMs = 1908 * testing::VirtualTimeLink::kTickMs + 500;
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kStride = 8;
#else
constexpr std::size_t kStride = 1;
#endif

// Where the model leaves the host no way to tell: the request or answer of a step that is sent
// once lost (an erase is not sent again after a time-out), a refused Identity Request,
// BeginUpdate or EndUpdate, EndUpdate carried out unheard and refused when it came again (the
// device had left update mode), and a step sent as often as it may be.
bool leavesNoWayToTell(const DeviceRun& run) {
  std::map<std::pair<Sent, uint32_t>, int> sends;
  for (const Sending& lost : run.losses()) {
    if (lost.kind != Sent::Write && lost.kind != Sent::Other) return true;
    ++sends[{lost.kind, lost.address}];
  }
  for (const auto& [sending, fate] : run.met()) {
    const bool answerLost = fate.loseAnswer && !fate.repeatRequest;
    switch (sending.kind) {
      case Sent::End:
        if (fate.loseAnswer || fate.refuse) return true;
        break;
      case Sent::Identity:
      case Sent::Begin:
        if (answerLost || fate.refuse) return true;
        break;
      case Sent::Erase:
        if (answerLost) return true;
        break;
      case Sent::Write:
      case Sent::Other: break;
    }
    if (++sends[{sending.kind, sending.address}] >= kMaxSendsPerStep) return true;
  }
  return false;
}

struct Checked {
  RunResult result;
  bool falseFailure = false;  // failed although every fate left a way to tell
};

Checked check(const std::function<Fate(std::size_t)>& fateOf,
              int64_t latencyMs = testing::kDeviceLatencyMs,
              std::vector<testing::Unasked> unasked = {}) {
  DeviceRun run({.latencyMs = latencyMs,
                 .fate = [&](const Sending& sending) { return fateOf(sending.index); },
                 .unasked = std::move(unasked)});
  Checked checked{run.run()};
  checked.falseFailure = checked.result.end == RunEnd::Failed && !leavesNoWayToTell(run);
  if (std::getenv("RT88H_CHECKER_TRACE") != nullptr) {
    for (const auto& [sending, fate] : run.met()) {
      std::printf("send %zu (%d #%u): %s\n", sending.index, static_cast<int>(sending.kind),
                  sending.nth, fate.name);
    }
    for (const auto& [atMs, line] : run.link().timedLog()) {
      std::printf("%8lld %s\n", static_cast<long long>(atMs), line.c_str());
    }
  }
  return checked;
}

struct Tally {
  uint64_t runs = 0;
  uint64_t completed = 0;
  std::map<std::string, uint64_t> failures;
  int64_t longestMs = 0;

  // False when the run broke the update's promise or failed where it could have told.
  bool add(const Checked& checked) {
    const RunResult& r = checked.result;
    ++runs;
    if (r.end == RunEnd::Completed) ++completed;
    if (r.end == RunEnd::Failed) ++failures[(checked.falseFailure ? "FALSE " : "") + r.what];
    longestMs = std::max(longestMs, r.durationMs);
    return r.end != RunEnd::Broken && !checked.falseFailure;
  }
  void print(const char* title, double seconds) const {
    std::printf("%s: %llu runs in %.1f s, %llu completed, longest %.1f s of virtual time\n", title,
                static_cast<unsigned long long>(runs), seconds,
                static_cast<unsigned long long>(completed), static_cast<double>(longestMs) / 1000);
    for (const auto& [box, n] : failures) {
      std::printf("  %6llu  %s\n", static_cast<unsigned long long>(n), box.c_str());
    }
  }
};

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string why(const Checked& checked) {
  return checked.falseFailure ? "failed where it could tell: " + checked.result.what
                              : checked.result.what;
}

class TransportChecker : public ::testing::Test {
 protected:
  testing::ModelScope models;
};

TEST_F(TransportChecker, EveryFatePatternAroundEveryStepBoundary) {
  const std::vector<Fate>& fates = testing::fateSet();
  const std::size_t n = fates.size();
  Tally tally;
  int bad = 0;
  const auto start = std::chrono::steady_clock::now();
  for (const std::size_t boundary : kBoundaries) {
    for (std::size_t pattern = boundary % kStride; pattern < n * n * n; pattern += kStride) {
      const std::array<std::size_t, 3> chosen{pattern % n, pattern / n % n, pattern / n / n};
      const Checked checked = check([&](std::size_t send) {
        if (send + 1 < boundary || send > boundary + 1) return Fate{};
        return fates[chosen[send + 1 - boundary]];
      });
      if (!tally.add(checked)) {
        ADD_FAILURE() << "boundary at send " << boundary << ", fates " << fates[chosen[0]].name
                      << " / " << fates[chosen[1]].name << " / " << fates[chosen[2]].name << ": "
                      << why(checked);
        if (++bad > 20) return;
      }
    }
  }
  tally.print("exhaustive, 3 sends around each of 8 boundaries", secondsSince(start));
}

TEST_F(TransportChecker, SeededRandomRuns) {
  const std::vector<Fate>& fates = testing::fateSet();
  uint32_t runs = kDefaultRandomRuns / static_cast<uint32_t>(kStride == 1 ? 1 : 10);
  uint32_t firstSeed = kRandomBaseSeed;
  if (const char* v = std::getenv("RT88H_CHECKER_RANDOM_RUNS"))
    runs = static_cast<uint32_t>(std::atoi(v));
  if (const char* v = std::getenv("RT88H_CHECKER_SEED")) {
    firstSeed = static_cast<uint32_t>(std::atoi(v));
    runs = 1;
  }
  Tally tally;
  int bad = 0;
  const auto start = std::chrono::steady_clock::now();
  for (uint32_t seed = firstSeed; seed < firstSeed + runs; ++seed) {
    std::mt19937 engine(seed);
    // Each run has its own fault rate, so some runs see many faults close together.
    const uint32_t faultPercent = 5 + engine() % 30;
    const int64_t latencyMs =
        engine() % 2 == 0 ? testing::kDeviceLatencyMs : testing::kProgrammingMs;
    // Now and then a second Identity Reply, long after the first.
    std::vector<testing::Unasked> unasked;
    if (engine() % 10 == 0)
      unasked.push_back({static_cast<int64_t>(engine() % 2000), testing::identityReply(0x58)});
    const Checked checked = check(
        [&](std::size_t) {
          if (engine() % 100 >= faultPercent) return Fate{};
          return fates[1 + engine() % (fates.size() - 1)];
        },
        latencyMs, std::move(unasked));
    if (!tally.add(checked)) {
      ADD_FAILURE() << "RT88H_CHECKER_SEED=" << seed << ": " << why(checked);
      if (++bad > 20) break;
    }
  }
  tally.print("random", secondsSince(start));
  if (runs > 1) {
    EXPECT_GT(tally.completed, 0u);
  }
}

TEST_F(TransportChecker, WhatEachFaultAloneCosts) {
  // One fault on the first send of an erase, of a chunk (over devices taking 3 and 60 ms), and
  // of EndUpdate; everything else clean.
  struct Column {
    const char* title;
    std::size_t send;
    int64_t latencyMs;
  };
  constexpr std::array<Column, 4> kColumns{{{"erase", 3, testing::kDeviceLatencyMs},
                                            {"chunk", 5, testing::kDeviceLatencyMs},
                                            {"chunk, 60 ms", 5, testing::kProgrammingMs},
                                            {"EndUpdate", 11, testing::kDeviceLatencyMs}}};
  std::printf("%-52s", "extra seconds over a clean run of the short plan");
  for (const Column& column : kColumns) std::printf("%14s", column.title);
  std::printf("\n%-52s", "  (a clean run)");
  std::array<int64_t, kColumns.size()> cleanMs{};
  for (std::size_t i = 0; i < kColumns.size(); ++i) {
    cleanMs[i] = check([](std::size_t) { return Fate{}; }, kColumns[i].latencyMs).result.durationMs;
    std::printf("%13.2fs", static_cast<double>(cleanMs[i]) / 1000);
  }
  std::printf("\n");
  for (const Fate& fate : testing::fateSet()) {
    std::printf("  %-50s", fate.name);
    for (std::size_t i = 0; i < kColumns.size(); ++i) {
      const Column& column = kColumns[i];
      const auto one = [&](std::size_t send) { return send == column.send ? fate : Fate{}; };
      const Checked checked = check(one, column.latencyMs);
      EXPECT_NE(checked.result.end, RunEnd::Broken) << fate.name << ": " << why(checked);
      EXPECT_FALSE(checked.falseFailure) << fate.name << " on the " << column.title;
      if (checked.result.end != RunEnd::Completed) {
        std::printf("%14s", "fails");
        continue;
      }
      const int64_t extra = checked.result.durationMs - cleanMs[i];
      std::printf("%13.2fs", static_cast<double>(extra) / 1000);
      // At worst a chunk wait, a re-send pause, a stall and the five-second bound on late answers.
      EXPECT_LE(extra, 1000 + 100 + fate.stallMs + kAnswerBoundUs / 1000 + 200) << fate.name;
    }
    std::printf("\n");
  }
}

// Whole updates of the built-in plan over a transport in cycles, as measured on real MIDI paths.
struct WholeUpdate {
  const char* name;
  int64_t latencyMs;
  Fate (*fate)(const Sending&);
  int64_t atMostMs;  // -1: printed only
};

const WholeUpdate kWholeUpdates[] = {
    {"no fault: the floor, nothing waited for", testing::kDeviceLatencyMs,
     [](const Sending&) { return Fate{}; }, kFloorMs},
    {"a device taking 60 ms a message", testing::kProgrammingMs,
     [](const Sending&) { return Fate{}; }, -1},
    {"every answer handed twice, the copy after the tick", testing::kDeviceLatencyMs,
     [](const Sending&) { return Fate{.copies = 1, .beforeTick = true}; }, -1},
    // 38 late calls of ours repeating a chunk, every 61st chunk refused once.
    {"38 late calls, a refusal every 61 chunks, 60 ms", testing::kProgrammingMs,
     [](const Sending& s) {
       if (s.kind != Sent::Write) return Fate{};
       if (s.nth % 61 == 0) return Fate{.refuse = true};
       if (s.nth % 50 == 0) return Fate{.repeatRequest = true, .lateCall = true};
       return Fate{};
     },
     -1},
};

TEST_F(TransportChecker, WholeUpdatesCompleteWithTheirPrices) {
  for (const WholeUpdate& c : kWholeUpdates) {
    DeviceRun run({.plan = FlashPlan, .latencyMs = c.latencyMs, .fate = c.fate});
    const RunResult r = run.run();
    EXPECT_EQ(r.end, RunEnd::Completed) << c.name << ": " << r.what;
    std::printf("%-52s %7.2f s, %+.2f s on the floor\n", c.name,
                static_cast<double>(r.durationMs) / 1000,
                static_cast<double>(r.durationMs - kFloorMs) / 1000);
    if (c.atMostMs >= 0) {
      EXPECT_LE(r.durationMs, c.atMostMs) << c.name;
    }
  }
}

}  // namespace
}  // namespace rt88h
