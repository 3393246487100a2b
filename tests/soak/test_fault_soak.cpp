// Hundreds of updates in virtual time against the device model with faults drawn at random: every
// run ends, with success or with exactly one error box, and the box is the one the faults imply.
// A failing run names its seed; RT88H_SOAK_SEED=<seed> replays that run alone.
// Under a sanitizer a run costs ten times more or worse, so a sanitized build takes every fifth
// seed (60 runs, each ending still among them); RT88H_SOAK_STRIDE=<n> takes every n-th anywhere.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "protocol/messages.h"
#include "protocol/update_procedure.h"
#include "sim/device_model.h"
#include "tests/support/fault_transport.h"
#include "tests/support/sysex_support.h"

namespace rt88h {
namespace {

using sim::Fault;
using sim::MessageKind;
using testing::Sending;
using testing::Sent;

constexpr uint32_t kBaseSeed = 88000;
constexpr uint32_t kRuns = 300;
constexpr uint32_t kMinCompleteUpdates = 100;
constexpr uint32_t kSanitizedStride = 5;
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr uint32_t kDefaultStride = kSanitizedStride;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
constexpr uint32_t kDefaultStride = kSanitizedStride;
#else
constexpr uint32_t kDefaultStride = 1;
#endif
#else
constexpr uint32_t kDefaultStride = 1;
#endif
constexpr int64_t kVirtualTimeLimitMs = 2LL * 3600 * 1000;

// Write faults stand this far apart (in WriteData occurrences), so that a late answer has long
// been taken in before the next fault's retries start.
constexpr uint32_t kWriteFaultSpacing = 100;
constexpr uint32_t kWritesWithoutRetry = 1902;
constexpr uint32_t kAttempts = kMaxSendsPerStep;
constexpr uint32_t kErases = 3;
constexpr int kIdentityRequestCode = -1;  // among the device's own requests

// What a run ends with: the update's own text, IDS_UPDATE_COMPLETED for success.
constexpr std::array<int, 7> kEndings{
    IDS_UPDATE_COMPLETED, IDS_TIMEOUT_IDENTITY,   IDS_TIMEOUT_CHUNK, IDS_TIMEOUT_ERASE,
    IDS_ILLEGAL_DEVICE,   IDS_SET_VERSIONUP_MODE, IDS_TRANSFER_ERROR};

// Spelled out instead of a std distribution so that a seed means the same run with any library.
class Dice {
 public:
  explicit Dice(uint32_t seed) : engine_(seed) {}
  uint32_t between(uint32_t low, uint32_t high) {
    return low + static_cast<uint32_t>(engine_() % (uint64_t{high} - low + 1));
  }
  bool chance(uint32_t percent) { return between(0, 99) < percent; }
  uint8_t failureStatus() { return static_cast<uint8_t>(between(1, 127)); }

 private:
  std::mt19937 engine_;
};

std::string hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%02X", value);
  return text;
}

struct Scenario {
  testing::RunSetup setup{.plan = FlashPlan};
  int64_t vanishFrom = -1;  // the device answers nothing from this update message on
  int64_t failFirst = -1;   // send attempts [failFirst, failFirst + failCount) fail
  uint32_t failCount = 0;
  std::optional<int> expected;  // unset: follows from what was lost (vanish, failed sends)
  std::string description;

  uint8_t model() const { return setup.device.model; }
  void note(const std::string& line) {
    if (!description.empty()) description += "; ";
    description += line;
  }
  void add(Fault fault, const std::string& what) {
    note(std::string(sim::kindName(fault.kind)) + " #" + std::to_string(fault.occurrence) +
         (fault.times > 1 ? " x" + std::to_string(fault.times) : "") + " " + what);
    setup.faults.push_back(std::move(fault));
  }
  void late(MessageKind kind, uint32_t occurrence, uint32_t delayMs) {
    add(Fault::late(kind, occurrence, delayMs), "late " + std::to_string(delayMs) + " ms");
  }
  void refused(MessageKind kind, uint32_t occurrence, uint8_t status, uint32_t times = 1) {
    add(Fault::withStatus(kind, occurrence, status, times), "status " + hex(status));
  }
  // One answer that never counts as a reply: dropped, garbage, or cut before the byte that
  // matters (a DeviceDone cut after its code would still be one).
  void lost(Dice& dice, MessageKind kind, uint32_t occurrence) {
    const uint8_t model = setup.device.model;
    const std::array<std::pair<std::vector<uint8_t>, const char*>, 3> kGarbage{{
        {{}, "garbage (status without F0)"},
        {{0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7}, "garbage (another maker)"},
        {testing::deviceStatus(static_cast<uint8_t>(model ^ 0x01), 0), "garbage (another model)"},
    }};
    switch (dice.between(0, 3)) {
      case 0: add(Fault::drop(kind, occurrence), "dropped"); break;
      case 1: {
        const uint32_t keep = dice.between(1, kind == MessageKind::IdentityRequest ? 6 : 4);
        add(Fault::truncated(kind, occurrence, 1, keep), "truncated to " + std::to_string(keep));
        break;
      }
      case 2: {
        std::vector<uint8_t> bytes{static_cast<uint8_t>(dice.between(0, 0xEF))};
        for (uint32_t i = dice.between(1, 24); i > 1; --i) {
          bytes.push_back(static_cast<uint8_t>(dice.between(0, 255)));
        }
        add(Fault::garbage(kind, occurrence, 1, bytes),
            "garbage (" + std::to_string(bytes.size()) + " random bytes)");
        break;
      }
      default: {
        const auto& [bytes, what] = kGarbage[dice.between(0, kGarbage.size() - 1)];
        add(Fault::garbage(kind, occurrence, 1, bytes), what);
        break;
      }
    }
  }
  // A chunk fails `failures` times in a row from `occurrence` on; the last failure's kind
  // decides the box when it is the seventh.
  int chunkFailures(Dice& dice, uint32_t occurrence, uint32_t failures) {
    int last = IDS_UPDATE_COMPLETED;
    for (uint32_t i = 0; i < failures; ++i) {
      if (dice.chance(40)) {
        refused(MessageKind::WriteData, occurrence + i, dice.failureStatus());
        last = IDS_TRANSFER_ERROR;
      } else {
        lost(dice, MessageKind::WriteData, occurrence + i);
        last = IDS_TIMEOUT_CHUNK;
      }
    }
    return failures >= kAttempts ? last : IDS_UPDATE_COMPLETED;
  }
  // Survivable on the identity, BeginUpdate and EndUpdate: late within the limit, or twice.
  void lateOrTwice(Dice& dice, MessageKind kind, uint32_t maxDelayMs) {
    if (dice.chance(50)) {
      late(kind, 1, dice.between(100, maxDelayMs));
    } else {
      add(Fault::twice(kind, 1), "twice");
    }
  }
};

// How a run is meant to end: at most one such fault a run, on messages of kind `on`; its other
// faults are survivable. `apply` adds it and returns the box it implies (unset: what the losses
// imply); the erase and the chunk that end a run are drawn with the survivable faults.
struct EndingRule {
  const char* name;
  uint32_t weight;
  Sent on;
  std::optional<int> (*apply)(Scenario& s, Dice& dice);
};

std::optional<int> endsWithNothing(Scenario&, Dice&) {
  return IDS_UPDATE_COMPLETED;
}

const std::array<EndingRule, 12> kEndingRules{{
    {"none", 40, Sent::Other, endsWithNothing},
    {"illegal model", 4, Sent::Identity,
     [](Scenario& s, Dice&) -> std::optional<int> {
       s.setup.device.model = 0x56;
       s.note("model 56");
       return IDS_ILLEGAL_DEVICE;
     }},
    {"identity lost", 5, Sent::Identity,
     [](Scenario& s, Dice& dice) -> std::optional<int> {
       if (dice.chance(25)) {
         s.late(MessageKind::IdentityRequest, 1, dice.between(35000, 60000));
       } else {
         s.lost(dice, MessageKind::IdentityRequest, 1);
       }
       return IDS_TIMEOUT_IDENTITY;
     }},
    // Answered with a DeviceStatus: the dispatcher takes it only from the model it expects.
    {"identity answered with a status", 3, Sent::Identity,
     [](Scenario& s, Dice& dice) -> std::optional<int> {
       s.refused(MessageKind::IdentityRequest, 1, static_cast<uint8_t>(dice.between(0, 127)));
       return s.model() == kFirstAcceptedModel ? IDS_ILLEGAL_DEVICE : IDS_TIMEOUT_IDENTITY;
     }},
    {"identity sends fail", 3, Sent::Identity,
     [](Scenario& s, Dice& dice) -> std::optional<int> {
       s.failFirst = 0;
       s.failCount = dice.between(1, 3);
       s.note("sends 0.." + std::to_string(s.failCount - 1) + " fail");
       return IDS_TIMEOUT_IDENTITY;
     }},
    {"not in version-up mode", 6, Sent::Begin,
     [](Scenario& s, Dice& dice) -> std::optional<int> {
       if (dice.chance(50)) {
         s.setup.device.refuseUpdateMode = true;
         s.note("not in version-up mode");
       } else {
         s.refused(MessageKind::BeginUpdate, 1, kStatusNotInUpdateMode);
       }
       return IDS_SET_VERSIONUP_MODE;
     }},
    {"BeginUpdate refused", 3, Sent::Begin,
     [](Scenario& s, Dice& dice) -> std::optional<int> {
       uint8_t status = dice.failureStatus();
       if (status == kStatusNotInUpdateMode) ++status;
       s.refused(MessageKind::BeginUpdate, 1, status);
       return IDS_TRANSFER_ERROR;
     }},
    {"erase", 8, Sent::Erase, nullptr},
    {"chunk", 10, Sent::Write, nullptr},
    {"EndUpdate", 6, Sent::End,
     [](Scenario& s, Dice& dice) -> std::optional<int> {
       switch (dice.between(0, 2)) {
         case 0: s.refused(MessageKind::EndUpdate, 1, dice.failureStatus()); break;
         case 1: s.late(MessageKind::EndUpdate, 1, dice.between(35000, 60000)); break;
         default: s.lost(dice, MessageKind::EndUpdate, 1); break;
       }
       return IDS_TRANSFER_ERROR;
     }},
    {"device vanishes", 6, Sent::Other,
     [](Scenario& s, Dice& dice) -> std::optional<int> {
       // 0 is the Identity Request; 1, BeginUpdate, would leave its unlimited wait hanging.
       s.vanishFrom = dice.chance(10) ? 0 : dice.between(2, 1950);
       s.note("device vanishes from update message " + std::to_string(s.vanishFrom));
       return std::nullopt;
     }},
    {"sends fail", 6, Sent::Other,
     [](Scenario& s, Dice& dice) -> std::optional<int> {
       s.failFirst = dice.between(1, 1960);
       s.failCount = dice.between(1, 10);
       s.note("sends " + std::to_string(s.failFirst) + ".." +
              std::to_string(s.failFirst + s.failCount - 1) + " fail (BeginUpdate excepted)");
       return std::nullopt;
     }},
}};

// The erases, in order: survivable faults on those before the one that ends the run, if any.
int eraseFaults(Scenario& s, Dice& dice, bool endsHere) {
  const uint32_t ending = endsHere ? dice.between(0, kErases - 1) : kErases;
  uint32_t occurrence = 1;
  for (uint32_t step = 0; step < ending; ++step, ++occurrence) {
    switch (dice.between(0, 5)) {
      case 0: {
        const uint32_t failures = dice.between(1, kAttempts - 1);
        s.refused(MessageKind::EraseFlash, occurrence, dice.failureStatus(), failures);
        occurrence += failures;
        break;
      }
      case 1: s.late(MessageKind::EraseFlash, occurrence, dice.between(100, 25000)); break;
      case 2: s.add(Fault::twice(MessageKind::EraseFlash, occurrence), "twice"); break;
      default: break;
    }
  }
  if (!endsHere) return IDS_UPDATE_COMPLETED;
  switch (dice.between(0, 2)) {
    case 0:
      s.refused(MessageKind::EraseFlash, occurrence, dice.failureStatus(), kAttempts);
      return IDS_TRANSFER_ERROR;
    case 1: s.late(MessageKind::EraseFlash, occurrence, dice.between(35000, 60000)); break;
    default: s.lost(dice, MessageKind::EraseFlash, occurrence); break;
  }
  return IDS_TIMEOUT_ERASE;
}

// A few survivable chunk faults well apart, and the chunk that ends the run if it is one.
int writeFaults(Scenario& s, Dice& dice, bool endsHere) {
  std::vector<uint32_t> taken;
  auto freePlace = [&](uint32_t low, uint32_t high) -> std::optional<uint32_t> {
    for (int tries = 0; tries < 50; ++tries) {
      const uint32_t at = dice.between(low, high);
      bool clear = true;
      for (const uint32_t t : taken)
        clear = clear && (at > t ? at - t : t - at) >= kWriteFaultSpacing;
      if (clear) {
        taken.push_back(at);
        return at;
      }
    }
    return std::nullopt;
  };
  int expected = IDS_UPDATE_COMPLETED;
  if (endsHere) {
    expected =
        s.chunkFailures(dice, freePlace(1, kWritesWithoutRetry - kAttempts).value(), kAttempts);
  }
  for (uint32_t i = dice.between(0, 4); i > 0; --i) {
    const uint32_t kind = dice.between(0, 3);
    // An answer past the chunk wait arrives during a later chunk: only inside the long step 5,
    // away from the erase before it.
    const std::optional<uint32_t> at =
        kind == 2 ? freePlace(300, 1300) : freePlace(1, kWritesWithoutRetry - kAttempts);
    if (!at) continue;
    switch (kind) {
      case 0: s.chunkFailures(dice, *at, dice.between(1, kAttempts - 1)); break;
      case 1: s.late(MessageKind::WriteData, *at, dice.between(60, 900)); break;
      case 2: s.late(MessageKind::WriteData, *at, dice.between(1200, 3000)); break;
      default: s.add(Fault::twice(MessageKind::WriteData, *at), "twice"); break;
    }
  }
  return expected;
}

Scenario makeScenario(uint32_t seed) {
  Dice dice(seed);
  Scenario s;
  sim::DeviceModel::Config& device = s.setup.device;
  device.model = dice.chance(50) ? 0x58 : 0x57;
  if (dice.chance(20)) {
    device.answerWithDone = true;
    device.doneOnlyForEndUpdate = dice.chance(50);
  }
  s.note("model " + hex(device.model) +
         (device.answerWithDone
              ? (device.doneOnlyForEndUpdate ? ", DeviceDone for EndUpdate" : ", DeviceDone")
              : ""));

  uint32_t roll = dice.between(0, 99);
  const EndingRule* rule = kEndingRules.data();
  for (; roll >= rule->weight; ++rule) roll -= rule->weight;
  std::optional<int> expected = IDS_UPDATE_COMPLETED;
  if (rule->apply != nullptr) expected = rule->apply(s, dice);

  if (rule->on != Sent::Identity && dice.chance(15)) {
    s.lateOrTwice(dice, MessageKind::IdentityRequest, 25000);
  }
  // BeginUpdate is never left unanswered: its wait has no time limit.
  if (rule->on != Sent::Begin && dice.chance(15)) {
    s.lateOrTwice(dice, MessageKind::BeginUpdate, 60000);
  }
  if (const int erase = eraseFaults(s, dice, rule->on == Sent::Erase);
      erase != IDS_UPDATE_COMPLETED) {
    expected = erase;
  }
  // Losses and failed sends of a chunk add up with its other faults, and a late answer may land
  // on the wrong wait once sends go missing: such runs get no write faults.
  if (expected.has_value()) {
    if (const int chunk = writeFaults(s, dice, rule->on == Sent::Write);
        chunk != IDS_UPDATE_COMPLETED) {
      expected = chunk;
    }
  }
  if (rule->on != Sent::End && dice.chance(15)) {
    s.lateOrTwice(dice, MessageKind::EndUpdate, 25000);
  }
  s.expected = expected;

  // Requests of the device, answered by the dispatcher in between.
  for (uint32_t i = dice.between(0, 6); i > 0; --i) {
    static constexpr std::array<int, 6> kCodes{0x01, 0x03, 0x04, 0x05, 0x06, kIdentityRequestCode};
    const int code = kCodes[dice.between(0, kCodes.size() - 1)];
    const int64_t at = dice.between(0, 120000);
    s.setup.unasked.push_back(
        {at, code == kIdentityRequestCode
                 ? sim::DeviceModel::identityRequest()
                 : testing::deviceRequest(device.model, static_cast<uint8_t>(code))});
    s.note(
        (code == kIdentityRequestCode ? std::string("Identity Request") : "request " + hex(code)) +
        " at " + std::to_string(at) + " ms");
  }
  return s;
}

// What lost messages alone make of a run: the first lost identity, erase or EndUpdate ends it at
// its time limit; a chunk ends it only when all its sends are lost.
int endingOfLosses(const std::vector<Sending>& losses) {
  for (std::size_t i = 0; i < losses.size();) {
    switch (losses[i].kind) {
      case Sent::Identity: return IDS_TIMEOUT_IDENTITY;
      case Sent::Erase: return IDS_TIMEOUT_ERASE;
      case Sent::End: return IDS_TRANSFER_ERROR;
      case Sent::Write: {
        std::size_t same = 0;
        while (i + same < losses.size() && losses[i + same].kind == Sent::Write &&
               losses[i + same].address == losses[i].address) {
          ++same;
        }
        if (same >= kAttempts) return IDS_TIMEOUT_CHUNK;
        i += same;
        break;
      }
      case Sent::Begin:
      case Sent::Other: ++i; break;
    }
  }
  return IDS_UPDATE_COMPLETED;
}

// Checks one run; returns how it ended, or nothing when it broke a rule.
std::optional<int> checkRun(Scenario scenario) {
  int64_t updateMessages = 0;
  scenario.setup.fate = [&scenario, &updateMessages](const Sending& sending) {
    if (sending.kind == Sent::Other) return testing::Fate{};
    const bool gone = scenario.vanishFrom >= 0 && updateMessages++ >= scenario.vanishFrom;
    return testing::Fate{.loseRequest = gone};
  };
  scenario.setup.fails = [&scenario](const Sending& sending) {
    const auto index = static_cast<int64_t>(sending.index);
    return index >= scenario.failFirst &&
           index < scenario.failFirst + static_cast<int64_t>(scenario.failCount) &&
           sending.kind != Sent::Begin;
  };
  testing::DeviceRun run(scenario.setup);
  run.run();
  testing::VirtualTimeLink& link = run.link();
  EXPECT_FALSE(link.hung());
  EXPECT_LT(link.now(), kVirtualTimeLimitMs);

  std::size_t midiOutErrors = 0;
  std::size_t cantOpen = 0;
  std::vector<int> boxes;
  for (const std::string& box : link.log("box:")) {
    if (box == testing::midiOutErrorBox()) {
      ++midiOutErrors;
    } else if (box == testing::errorBox(IDS_CANT_OPEN_MIDI_OUT)) {
      ++cantOpen;
    } else {
      const auto known = std::find_if(kEndings.begin() + 1, kEndings.end(),
                                      [&](int id) { return box == testing::errorBox(id); });
      if (known == kEndings.end()) ADD_FAILURE() << "unexpected box " << box;
      boxes.push_back(known == kEndings.end() ? 0 : *known);
    }
  }
  EXPECT_EQ(midiOutErrors, link.failedSends()) << "one box per failed send";
  EXPECT_EQ(cantOpen, scenario.failFirst == 0 ? 1u : 0u);
  const std::vector<std::string> status = link.log("status:");
  const bool completed =
      !status.empty() && status.back() == testing::statusLine(IDS_UPDATE_COMPLETED);
  EXPECT_EQ(link.log("restore").size(), 1u) << "controls restored once, by the end of the run";
  EXPECT_EQ(link.signals().busy.load(), 0);
  if (boxes.size() > 1 || (boxes.empty() && !completed) || (boxes.size() == 1 && boxes[0] == 0)) {
    ADD_FAILURE() << "the run ended neither in success nor in one error box";
    return std::nullopt;
  }
  const int ending = boxes.empty() ? IDS_UPDATE_COMPLETED : boxes.front();
  EXPECT_EQ(completed, ending == IDS_UPDATE_COMPLETED) << "an error box after completion";
  EXPECT_EQ(testing::text(ending),
            testing::text(scenario.expected.value_or(endingOfLosses(run.losses()))));
  if (ending == IDS_UPDATE_COMPLETED) {
    std::string difference;
    EXPECT_TRUE(run.model().flashMatchesPayloads(&difference)) << difference;
    EXPECT_TRUE(run.model().finished());
    EXPECT_TRUE(run.model().violations().empty()) << run.model().report();
    EXPECT_FALSE(link.executeEnabled());
  } else {
    EXPECT_TRUE(link.executeEnabled());
  }
  EXPECT_TRUE(link.controlsEnabled());
  return ending;
}

// Failures recorded so far in the running test.
int failureCount() {
  return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
}

std::optional<uint32_t> replaySeed() {
  const char* value = std::getenv("RT88H_SOAK_SEED");
  if (value == nullptr || *value == '\0') return std::nullopt;
  return static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
}

uint32_t seedStride() {
  const char* value = std::getenv("RT88H_SOAK_STRIDE");
  if (value == nullptr || *value == '\0') return kDefaultStride;
  const unsigned long stride = std::strtoul(value, nullptr, 10);
  return stride >= 1 && stride <= kRuns ? static_cast<uint32_t>(stride) : kDefaultStride;
}

TEST(FaultSoak, EveryRunEndsAsItsFaultsImply) {
  const testing::ModelScope models;
  const auto started = std::chrono::steady_clock::now();
  std::vector<uint32_t> seeds;
  const uint32_t stride = seedStride();
  if (const std::optional<uint32_t> seed = replaySeed()) {
    seeds.push_back(*seed);
  } else {
    for (uint32_t i = 0; i < kRuns; i += stride) seeds.push_back(kBaseSeed + i);
    if (stride > 1) {
      std::printf("every %uth seed: %zu of the %u runs (%s)\n", stride, seeds.size(), kRuns,
                  stride == kDefaultStride
                      ? "a sanitized build's share; RT88H_SOAK_STRIDE=1 runs all"
                      : "RT88H_SOAK_STRIDE");
    }
  }

  std::map<std::string, uint32_t> histogram;
  uint32_t failedRuns = 0;
  for (const uint32_t seed : seeds) {
    const testing::ModelScope fresh;
    const Scenario scenario = makeScenario(seed);
    SCOPED_TRACE("seed " + std::to_string(seed) + " (replay: RT88H_SOAK_SEED=" +
                 std::to_string(seed) + "): " + scenario.description);
    if (seeds.size() == 1) std::printf("seed %u: %s\n", seed, scenario.description.c_str());
    const int failuresBefore = failureCount();
    const std::optional<int> ending = checkRun(scenario);
    if (failureCount() != failuresBefore) ++failedRuns;
    ++histogram[ending ? testing::text(*ending) : "broken"];
    if (failedRuns >= 10) {
      ADD_FAILURE() << "stopped after 10 failing runs";
      break;
    }
  }

  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("%zu runs in %.1f s\n", seeds.size(), seconds);
  for (const auto& [ending, count] : histogram) std::printf("  %4u  %s\n", count, ending.c_str());

  if (!replaySeed() && (stride == 1 || stride == kSanitizedStride)) {
    // The mix itself: enough complete updates, and every ending at least once.
    EXPECT_GE(histogram[testing::text(IDS_UPDATE_COMPLETED)], kMinCompleteUpdates / stride);
    for (const int id : kEndings) EXPECT_GT(histogram[testing::text(id)], 0u) << testing::text(id);
  }
}

}  // namespace
}  // namespace rt88h
