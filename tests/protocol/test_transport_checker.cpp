// The real procedure and dispatcher against the device model over a transport that loses,
// repeats and delays messages, in virtual time. Whatever the transport does within its model,
// a run that reports "Version update completed." must leave the flash equal to the payloads,
// and a run that fails must say so with one of the update's own messages.
//
// The transport model:
// - in either direction a message may be lost;
// - a message may arrive twice, the copy one cycle later; a request that reaches the device twice
//   is answered twice, the second answer one cycle after the first, unless the transport reports
//   the late cycle (as JACK's xrun notification does), in which case it may come much later;
// - the device answers each message it receives once, in order, at most 5 s after it was sent;
// - re-writing a chunk with the same bytes is harmless.
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

#include "device_model.h"
#include "flash_plan.h"
#include "string_table.h"
#include "update_procedure.h"
#include "virtual_time_link.h"

namespace rt88h {
namespace {

using sim::DeviceModel;
using testing::Bytes;
using testing::TimedReply;
using testing::VirtualTimeLink;

constexpr int64_t kCycleMs = 21;  // 1024 frames at 48 kHz
constexpr int64_t kDeviceLatencyMs = 3;
constexpr int64_t kAnswerBoundMs = 5000;
constexpr uint8_t kRefusal = 0x01;
constexpr uint32_t kDefaultRandomRuns = 4000;
constexpr uint32_t kRandomBaseSeed = 1300;
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kStride = 8;
#else
constexpr std::size_t kStride = 1;
#endif

// Every kind of step boundary: BeginUpdate → erase, erase → erase, erase → chunk, chunk → chunk,
// last chunk → erase, last chunk → next write, last chunk → EndUpdate.
constexpr std::array<FlashStep, 6> kShortPlan{{
    {kStepErase, 0x40000, 0x1000, 0},
    {kStepErase, 0x0, 0x1000, 0},
    {kStepWrite, 0x0, 2 * kChunkLength, 136},
    {kStepErase, 0xF0000, 0x1000, 0},
    {kStepWrite, 0xF0000, 2 * kChunkLength, 137},
    {kStepWrite, 0x40000, 2 * kChunkLength, 129},
}};
// First sends of each step in a run without faults: Identity Request 0, BeginUpdate 1, erases
// 2 and 3, chunks 4 and 5, erase 6, chunks 7 to 10, EndUpdate 11.
constexpr std::array<std::size_t, 7> kBoundaries{2, 3, 4, 5, 6, 9, 11};

struct Fate {
  bool loseRequest = false;
  bool repeatRequest = false;  // the device receives it again one cycle later
  bool refuse = false;         // the first reception is refused with a failure status
  bool loseAnswer = false;     // the first answer is lost
  bool repeatAnswer = false;   // the first answer arrives again one cycle later
  int64_t stallMs = 0;         // the device answers this much later (and so every answer after)
  int64_t copyLagMs = 0;       // a repeated request's second answer comes this much later
  const char* name = "ok";
};

const std::vector<Fate>& fateSet() {
  static const std::vector<Fate> fates{
      {.name = "ok"},
      {.loseRequest = true, .name = "request lost"},
      {.loseAnswer = true, .name = "answer lost"},
      {.refuse = true, .name = "refused"},
      {.repeatRequest = true, .name = "request repeated"},
      {.repeatAnswer = true, .name = "answer repeated"},
      {.stallMs = 1050, .name = "stall 1050"},
      {.stallMs = 2500, .name = "stall 2500"},
      {.stallMs = 4900, .name = "stall 4900"},
      {.repeatRequest = true, .refuse = true, .name = "refused, its copy written"},
      {.repeatAnswer = true, .stallMs = 1500, .name = "stall 1500, answer repeated"},
      {.repeatRequest = true, .loseAnswer = true, .name = "request repeated, first answer lost"},
      {.repeatRequest = true, .copyLagMs = 700, .name = "request repeated, slow second answer"},
  };
  return fates;
}

// Which of the update's messages a run may end with.
bool isUpdateFailureText(const std::string& box) {
  for (const int id : {IDS_TIMEOUT_IDENTITY, IDS_TIMEOUT_CHUNK, IDS_TIMEOUT_ERASE,
                       IDS_ILLEGAL_DEVICE, IDS_SET_VERSIONUP_MODE, IDS_TRANSFER_ERROR}) {
    if (box == "box:" + std::string(loadString(id)) + "|" +
                   std::string(loadString(IDS_ERROR_CAPTION)) + "|stop") {
      return true;
    }
  }
  return false;
}

bool planIsInFlash(const DeviceModel& model, std::string* difference) {
  for (const FlashStep& step : kShortPlan) {
    if (step.kind != kStepWrite) continue;
    const Payload image = payload(step.payload);
    const std::vector<uint8_t>& flash = model.flash();
    if (!model.isWritten(step.address, step.length) ||
        !std::equal(image.bytes, image.bytes + step.length, flash.begin() + step.address)) {
      *difference = "payload " + std::to_string(step.payload) + " at " +
                    std::to_string(step.address) + " not as sent";
      return false;
    }
  }
  return true;
}

enum class RunEnd { Completed, Failed, Broken };

struct RunResult {
  RunEnd end = RunEnd::Broken;
  std::string what;  // the box, or why the run broke the invariant
  int64_t durationMs = 0;
};

// One run: the device model behind a transport that gives send n the fate fateOf(n).
RunResult runOnce(const std::function<Fate(std::size_t)>& fateOf) {
  DeviceModel model;
  int64_t busyUntilMs = 0;
  std::size_t sendIndex = 0;
  VirtualTimeLink* linkPtr = nullptr;

  auto transport = [&](const Bytes& message, std::vector<TimedReply>& replies) {
    VirtualTimeLink& link = *linkPtr;
    const Fate fate = fateOf(sendIndex++);
    if (fate.loseRequest) return;
    const int64_t now = link.now();
    auto deliver = [&](Bytes bytes, int64_t atMs) {
      replies.push_back({std::move(bytes), static_cast<uint32_t>(atMs - now)});
    };
    // 1. The first reception, refused or carried out.
    std::vector<sim::Reply> first;
    if (fate.refuse) {
      first.push_back({model.deviceStatus(kRefusal), 0});
    } else {
      model.receive(message.data(), message.size(), first);
    }
    // 2. A copy of the request, carried out after it.
    std::vector<sim::Reply> second;
    if (fate.repeatRequest) model.receive(message.data(), message.size(), second);
    // A slow second answer only comes with a late cycle that the transport reports.
    if (fate.copyLagMs > 0) link.at(now + kCycleMs, [&link] { link.reportTrouble(); });
    // 3. One message at a time, in order, each answered within the bound after it was sent.
    auto doneAt = [&](int64_t receivedAt, int64_t extraMs) {
      const int64_t done = std::max(receivedAt, busyUntilMs) + kDeviceLatencyMs + extraMs;
      busyUntilMs = std::max(std::min(done, receivedAt + kAnswerBoundMs), busyUntilMs);
      return busyUntilMs;
    };
    const int64_t firstAt = doneAt(now, fate.stallMs);
    for (std::size_t i = 0; i < first.size(); ++i) {
      if (i != 0 || !fate.loseAnswer) deliver(first[i].bytes, firstAt);
      if (i == 0 && fate.repeatAnswer) deliver(first[i].bytes, firstAt + kCycleMs);
    }
    if (fate.repeatRequest) {
      const int64_t secondAt = std::max(doneAt(now + kCycleMs, fate.copyLagMs), firstAt);
      for (sim::Reply& reply : second) deliver(std::move(reply.bytes), secondAt);
    }
  };

  VirtualTimeLink link(transport);
  linkPtr = &link;
  link.setCycleMs(kCycleMs);
  link.prepareRun();
  UpdateProcedure procedure(link, link, kShortPlan);
  procedure.runUpdate();

  RunResult result;
  result.durationMs = link.now();
  const std::vector<std::string> boxes = link.log("box:");
  const std::vector<std::string> statuses = link.log("status:");
  const bool completed =
      !statuses.empty() &&
      statuses.back() == "status:" + std::string(loadString(IDS_UPDATE_COMPLETED));
  if (link.hung()) {
    // The wait for BeginUpdate's answer has no limit: there the person closes the window.
    const bool waitingForBegin = boxes.empty() && !completed &&
                                 model.count(sim::MessageKind::EraseFlash) == 0 &&
                                 link.sent().size() == 2;
    result.end = waitingForBegin ? RunEnd::Failed : RunEnd::Broken;
    result.what =
        waitingForBegin ? "(closed while BeginUpdate went unanswered)" : "the run never ended";
  } else if (completed) {
    std::string difference;
    if (!boxes.empty()) {
      result.what = "completed after " + boxes.front();
    } else if (!planIsInFlash(model, &difference)) {
      result.what = "completed over a flash that differs: " + difference;
    } else if (!model.finished()) {
      result.what = "completed although the device never carried out EndUpdate";
    } else {
      result.end = RunEnd::Completed;
    }
  } else if (boxes.size() != 1 || !isUpdateFailureText(boxes.front())) {
    result.what = boxes.empty() ? "ended with neither success nor a message" : boxes.front();
  } else {
    result.end = RunEnd::Failed;
    result.what = boxes.front();
  }
  return result;
}

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
  void SetUp() override { modelId.store(0x58); }
  void TearDown() override {
    modelId.store(0x58);
    identityReplyModel.store(0x00);
  }
};

TEST_F(TransportChecker, EveryFatePatternAroundEveryStepBoundary) {
  const std::vector<Fate>& fates = fateSet();
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
  const std::vector<Fate>& fates = fateSet();
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
  for (const Fate& fate : fateSet()) {
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
