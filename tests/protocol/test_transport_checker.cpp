// The real procedure and dispatcher against the device model over a transport that loses,
// repeats and delays messages, in virtual time. Whatever the transport does within its model,
// a run that reports "Version update completed." must leave the flash equal to the payloads,
// and a run that fails must say so with one of the update's own messages.
//
// The transport model is described in tests/support/fault_transport.h.
//
// Exhaustive: every pattern of fates over the three sends around each step boundary of a short
// plan that has every kind of boundary. Random: seeded runs with a fate drawn for every send.
// RT88H_CHECKER_RANDOM_RUNS=<n> sets the number of random runs (the full share is 100,000);
// RT88H_CHECKER_SEED=<seed> replays one random run. A sanitized build, ten times slower or worse,
// takes every kSanitizedStride-th exhaustive pattern and a tenth of the random runs.
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

using testing::Fate;
using testing::kBoundaries;
using testing::RunEnd;
using testing::runOnce;
using testing::RunResult;

constexpr uint32_t kDefaultRandomRuns = 4000;
constexpr uint32_t kRandomBaseSeed = 1300;
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kStride = 8;
#else
constexpr std::size_t kStride = 1;
#endif

struct Tally {
  uint64_t runs = 0;
  uint64_t completed = 0;
  std::map<std::string, uint64_t> failures;
  int64_t longestMs = 0;

  void add(const RunResult& r) {
    ++runs;
    if (r.end == RunEnd::Completed) ++completed;
    if (r.end == RunEnd::Failed) ++failures[r.what];
    longestMs = std::max(longestMs, r.durationMs);
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

class TransportChecker : public ::testing::Test {
 protected:
  testing::ModelScope models;
};

TEST_F(TransportChecker, EveryFatePatternAroundEveryStepBoundary) {
  const std::vector<Fate>& fates = testing::fateSet();
  const std::size_t n = fates.size();
  Tally tally;
  const auto start = std::chrono::steady_clock::now();
  for (const std::size_t boundary : kBoundaries) {
    for (std::size_t pattern = boundary % kStride; pattern < n * n * n; pattern += kStride) {
      const std::array<std::size_t, 3> chosen{pattern % n, pattern / n % n, pattern / n / n};
      const RunResult r = runOnce([&](std::size_t send) {
        if (send + 1 < boundary || send > boundary + 1) return Fate{};
        return fates[chosen[send + 1 - boundary]];
      });
      tally.add(r);
      if (r.end == RunEnd::Broken) {
        ADD_FAILURE() << "boundary at send " << boundary << ", fates " << fates[chosen[0]].name
                      << " / " << fates[chosen[1]].name << " / " << fates[chosen[2]].name << ": "
                      << r.what;
        if (HasFailure() && tally.runs - tally.completed > 20) return;
      }
    }
  }
  tally.print("exhaustive, 3 sends around each of 7 boundaries", secondsSince(start));
  // The patterns include every fault alone; most such runs must still complete.
  EXPECT_GT(tally.completed, tally.runs / 2);
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
  const auto start = std::chrono::steady_clock::now();
  for (uint32_t seed = firstSeed; seed < firstSeed + runs; ++seed) {
    std::mt19937 engine(seed);
    // Each run has its own fault rate, so some runs see many faults close together.
    const uint32_t faultPercent = 5 + engine() % 30;
    const RunResult r = runOnce([&](std::size_t) {
      if (engine() % 100 >= faultPercent) return Fate{};
      return fates[1 + engine() % (fates.size() - 1)];
    });
    tally.add(r);
    if (r.end == RunEnd::Broken) {
      ADD_FAILURE() << "RT88H_CHECKER_SEED=" << seed << ": " << r.what;
      if (tally.runs - tally.completed > 20) break;
    }
  }
  tally.print("random", secondsSince(start));
  EXPECT_GT(tally.completed, 0u);
}

TEST_F(TransportChecker, WhatEachFaultAloneCosts) {
  // One fault on the first send of the second chunk of a write step, everything else clean.
  constexpr std::size_t kFaultySend = 5;
  const int64_t clean = runOnce([](std::size_t) { return Fate{}; }).durationMs;
  std::printf("a clean run of the short plan: %.2f s\n", static_cast<double>(clean) / 1000);
  for (const Fate& fate : testing::fateSet()) {
    const RunResult r =
        runOnce([&](std::size_t send) { return send == kFaultySend ? fate : Fate{}; });
    ASSERT_EQ(r.end, RunEnd::Completed) << fate.name << ": " << r.what;
    const int64_t extra = r.durationMs - clean;
    std::printf("  %-40s +%.2f s\n", fate.name, static_cast<double>(extra) / 1000);
    // At worst a chunk wait, a re-send pause, a stall and the five-second bound on late answers.
    EXPECT_LE(extra, 1000 + 100 + fate.stallMs + kAnswerBoundUs / 1000 + 200) << fate.name;
  }
}

}  // namespace
}  // namespace rt88h
