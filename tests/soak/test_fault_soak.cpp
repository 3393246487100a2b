// Hundreds of updates in virtual time against the device model with faults drawn at random: every
// run ends, with success or with exactly one error box, and the box is the one the faults imply.
// A failing run names its seed; RT88H_SOAK_SEED=<seed> replays that run alone.
// Under a sanitizer a run costs ten times more or worse, so a sanitized build takes every fifth
// seed (60 runs, each ending still among them); RT88H_SOAK_STRIDE=<n> takes every n-th anywhere.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "protocol/encoding.h"
#include "protocol/messages.h"
#include "protocol/update_procedure.h"
#include "sim/device_model.h"
#include "tests/support/virtual_time_link.h"

namespace rt88h {
namespace {

using sim::DeviceModel;
using sim::Fault;
using sim::FaultAction;
using sim::MessageKind;
using testing::Bytes;
using testing::TimedReply;
using testing::VirtualTimeLink;

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
// A chunk or erase is sent at most this often before the step gives up.
constexpr uint32_t kAttempts = 7;

enum class Outcome { Success, TimeOut1, TimeOut2, TimeOut3, Illegal, VersionUp, Transfer };
constexpr std::array<const char*, 7> kOutcomeText{
    "success",
    "Time out error(1)",
    "Time out error(2)",
    "Time out error(3)",
    "Illegal device connected.",
    "Please set the Version-up mode.",
    "Transfer error occurred.",
};
const char* text(Outcome outcome) {
  return kOutcomeText[static_cast<std::size_t>(outcome)];
}

// Spelled out instead of a std distribution so that a seed means the same run with any library.
class Dice {
 public:
  explicit Dice(uint32_t seed) : engine_(seed) {}
  uint32_t between(uint32_t low, uint32_t high) {
    return low + static_cast<uint32_t>(engine_() % (uint64_t{high} - low + 1));
  }
  bool chance(uint32_t percent) { return between(0, 99) < percent; }

 private:
  std::mt19937 engine_;
};

// What the updater sent, as far as the outcome rules care.
enum class Sent { Identity, Begin, Erase, Write, End, Reply /* Ack, Nak, our Identity Reply */ };

Sent kindOf(const Bytes& m) {
  if (m.size() > 4 && m[1] == kUniversalNonRealTime && m[4] == 0x01) return Sent::Identity;
  if (m.size() > 4 && m[1] == kManufacturerId) {
    switch (m[4]) {
      case kCommandBeginUpdate: return Sent::Begin;
      case kCommandEraseFlash: return Sent::Erase;
      case kCommandWriteData: return Sent::Write;
      case kCommandEndUpdate: return Sent::End;
      default: break;
    }
  }
  return Sent::Reply;
}

// Stands for the universal Identity Request among the device's own requests.
constexpr int kIdentityRequestCode = -1;

// A message of the procedure that never reached a device able to answer it.
struct Loss {
  Sent kind;
  uint32_t address;
};

// What lost messages alone make of a run: the first lost identity, erase or EndUpdate ends it at
// its time limit; a chunk ends it only when all its sends are lost.
Outcome outcomeOfLosses(const std::vector<Loss>& losses) {
  for (std::size_t i = 0; i < losses.size();) {
    switch (losses[i].kind) {
      case Sent::Identity: return Outcome::TimeOut1;
      case Sent::Erase: return Outcome::TimeOut3;
      case Sent::End: return Outcome::Transfer;
      case Sent::Write: {
        std::size_t same = 0;
        while (i + same < losses.size() && losses[i + same].kind == Sent::Write &&
               losses[i + same].address == losses[i].address) {
          ++same;
        }
        if (same >= kAttempts) return Outcome::TimeOut2;
        i += same;
        break;
      }
      case Sent::Begin:
      case Sent::Reply: ++i; break;
    }
  }
  return Outcome::Success;
}

// How a run is meant to end; at most one per run, the other faults of a run are survivable.
enum class Ending {
  None,
  IllegalModel,
  IdentityLost,
  IdentityStatus,
  IdentitySendFails,
  Refused,
  BeginFails,
  Erase,
  Chunk,
  End,
  Vanish,
  SendWindow,
};
struct EndingWeight {
  Ending ending;
  uint32_t weight;
};
constexpr std::array<EndingWeight, 12> kEndings{{
    {Ending::None, 40},
    {Ending::IllegalModel, 4},
    {Ending::IdentityLost, 5},
    {Ending::IdentityStatus, 3},
    {Ending::IdentitySendFails, 3},
    {Ending::Refused, 6},
    {Ending::BeginFails, 3},
    {Ending::Erase, 8},
    {Ending::Chunk, 10},
    {Ending::End, 6},
    {Ending::Vanish, 6},
    {Ending::SendWindow, 6},
}};

struct Scenario {
  uint32_t seed = 0;
  DeviceModel::Config config;
  std::vector<Fault> faults;
  std::vector<std::pair<int64_t, int>> requests;  // device codes (-1: Identity Request), at times
  int64_t vanishFrom = -1;  // the device answers nothing from this procedure message on
  int64_t failFirst = -1;   // send attempts [failFirst, failFirst + failCount) fail
  uint32_t failCount = 0;
  std::optional<Outcome> expected;  // unset: follows from what was lost (vanish, failed sends)
  std::string description;

  void note(const std::string& line) {
    if (!description.empty()) description += "; ";
    description += line;
  }
  void add(Fault fault, const std::string& what) {
    note(std::string(sim::kindName(fault.kind)) + " #" + std::to_string(fault.occurrence) +
         (fault.times > 1 ? " x" + std::to_string(fault.times) : "") + " " + what);
    faults.push_back(std::move(fault));
  }
};

std::string hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%02X", value);
  return text;
}

// An answer the dispatcher must not take for a reply.
Fault garbageFault(Dice& dice, MessageKind kind, uint32_t occurrence, uint8_t model,
                   std::string& what) {
  std::vector<uint8_t> bytes;
  switch (dice.between(0, 3)) {
    case 0: what = "garbage (status without F0)"; break;
    case 1: {
      const uint32_t length = dice.between(1, 24);
      bytes.push_back(static_cast<uint8_t>(dice.between(0, 0xEF)));
      for (uint32_t i = 1; i < length; ++i)
        bytes.push_back(static_cast<uint8_t>(dice.between(0, 255)));
      what = "garbage (" + std::to_string(length) + " random bytes)";
      break;
    }
    case 2:
      bytes = {0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7};
      what = "garbage (another maker)";
      break;
    default:
      bytes = {0xF0, kManufacturerId, 0x00, static_cast<uint8_t>(model ^ 0x01), 0x00, 0x00, 0xF7};
      what = "garbage (status 0 of model " + hex(model ^ 0x01u) + ")";
      break;
  }
  return Fault::garbage(kind, occurrence, 1, std::move(bytes));
}

// One answer that never counts as a reply: dropped, garbage, or cut before the byte that matters.
Fault lostAnswer(Dice& dice, MessageKind kind, uint32_t occurrence, uint8_t model,
                 std::string& what) {
  switch (dice.between(0, 2)) {
    case 0: what = "dropped"; return Fault::drop(kind, occurrence);
    case 1: {
      // A cut identity reply lacks byte 6, a cut status its code or status byte (a DeviceDone
      // cut after its code would still be one).
      const uint32_t keep = dice.between(1, kind == MessageKind::IdentityRequest ? 6 : 4);
      what = "truncated to " + std::to_string(keep);
      return Fault::truncated(kind, occurrence, 1, keep);
    }
    default: return garbageFault(dice, kind, occurrence, model, what);
  }
}

uint8_t failureStatus(Dice& dice) {
  return static_cast<uint8_t>(dice.between(1, 127));
}

// A chunk fails `failures` times in a row from `occurrence` on; the kind of the last failure
// decides the box when it is the seventh.
Outcome addChunkFailures(Scenario& s, Dice& dice, uint32_t occurrence, uint32_t failures) {
  Outcome last = Outcome::Success;
  for (uint32_t i = 0; i < failures; ++i) {
    std::string what;
    if (dice.chance(40)) {
      const uint8_t status = failureStatus(dice);
      s.add(Fault::withStatus(MessageKind::WriteData, occurrence + i, status),
            "status " + hex(status));
      last = Outcome::Transfer;
    } else {
      Fault fault = lostAnswer(dice, MessageKind::WriteData, occurrence + i, s.config.model, what);
      s.add(std::move(fault), what);
      last = Outcome::TimeOut2;
    }
  }
  return failures >= kAttempts ? last : Outcome::Success;
}

// Survivable faults on the identity, BeginUpdate and EndUpdate: late within the limit, or twice.
void addLateOrTwice(Scenario& s, Dice& dice, MessageKind kind, uint32_t maxDelayMs) {
  if (dice.chance(50)) {
    const uint32_t delay = dice.between(100, maxDelayMs);
    s.add(Fault::late(kind, 1, delay), "late " + std::to_string(delay) + " ms");
  } else {
    s.add(Fault::twice(kind, 1), "twice");
  }
}

Scenario makeScenario(uint32_t seed) {
  Dice dice(seed);
  Scenario s;
  s.seed = seed;
  s.config.model = dice.chance(50) ? 0x58 : 0x57;
  if (dice.chance(20)) {
    s.config.answerWithDone = true;
    s.config.doneOnlyForEndUpdate = dice.chance(50);
  }
  s.note("model " + hex(s.config.model) +
         (s.config.answerWithDone
              ? (s.config.doneOnlyForEndUpdate ? ", DeviceDone for EndUpdate" : ", DeviceDone")
              : ""));

  uint32_t roll = dice.between(0, 99);
  Ending ending = Ending::None;
  for (const EndingWeight& e : kEndings) {
    if (roll < e.weight) {
      ending = e.ending;
      break;
    }
    roll -= e.weight;
  }
  Outcome expected = Outcome::Success;
  // Losses and failed sends of a chunk add up with its other faults, and a late answer may land
  // on the wrong wait once sends go missing: such runs get no write faults.
  const bool writeFaults = ending != Ending::Vanish && ending != Ending::SendWindow;

  // Identity.
  switch (ending) {
    case Ending::IllegalModel:
      s.config.model = 0x56;
      s.note("model 56");
      expected = Outcome::Illegal;
      break;
    case Ending::IdentityLost:
      if (dice.chance(25)) {
        const uint32_t delay = dice.between(35000, 60000);
        s.add(Fault::late(MessageKind::IdentityRequest, 1, delay),
              "late " + std::to_string(delay) + " ms");
      } else {
        std::string what;
        Fault fault = lostAnswer(dice, MessageKind::IdentityRequest, 1, s.config.model, what);
        s.add(std::move(fault), what);
      }
      expected = Outcome::TimeOut1;
      break;
    case Ending::IdentityStatus: {
      // Answered with a DeviceStatus: the dispatcher takes it only from the model it expects.
      const uint8_t status = static_cast<uint8_t>(dice.between(0, 127));
      s.add(Fault::withStatus(MessageKind::IdentityRequest, 1, status),
            "answered with status " + hex(status));
      expected = s.config.model == kFirstAcceptedModel ? Outcome::Illegal : Outcome::TimeOut1;
      break;
    }
    case Ending::IdentitySendFails:
      s.failFirst = 0;
      s.failCount = dice.between(1, 3);
      s.note("sends 0.." + std::to_string(s.failCount - 1) + " fail");
      expected = Outcome::TimeOut1;
      break;
    default:
      if (dice.chance(15)) addLateOrTwice(s, dice, MessageKind::IdentityRequest, 25000);
      break;
  }

  // BeginUpdate: never left unanswered, because its wait has no time limit.
  switch (ending) {
    case Ending::Refused:
      if (dice.chance(50)) {
        s.config.refuseUpdateMode = true;
        s.note("not in version-up mode");
      } else {
        s.add(Fault::withStatus(MessageKind::BeginUpdate, 1, kStatusNotInUpdateMode), "status 0B");
      }
      expected = Outcome::VersionUp;
      break;
    case Ending::BeginFails: {
      uint8_t status = failureStatus(dice);
      if (status == kStatusNotInUpdateMode) ++status;
      s.add(Fault::withStatus(MessageKind::BeginUpdate, 1, status), "status " + hex(status));
      expected = Outcome::Transfer;
      break;
    }
    default:
      if (dice.chance(15)) addLateOrTwice(s, dice, MessageKind::BeginUpdate, 60000);
      break;
  }

  // The three erases; occurrences count the re-sends.
  const uint32_t endingErase = ending == Ending::Erase ? dice.between(0, 2) : 3;
  uint32_t eraseOccurrence = 1;
  for (uint32_t step = 0; step < 3 && step <= endingErase; ++step) {
    if (step == endingErase) {
      const uint32_t how = dice.between(0, 2);
      if (how == 0) {
        const uint8_t status = failureStatus(dice);
        s.add(Fault::withStatus(MessageKind::EraseFlash, eraseOccurrence, status, kAttempts),
              "status " + hex(status));
        expected = Outcome::Transfer;
      } else if (how == 1) {
        const uint32_t delay = dice.between(35000, 60000);
        s.add(Fault::late(MessageKind::EraseFlash, eraseOccurrence, delay),
              "late " + std::to_string(delay) + " ms");
        expected = Outcome::TimeOut3;
      } else {
        std::string what;
        Fault fault =
            lostAnswer(dice, MessageKind::EraseFlash, eraseOccurrence, s.config.model, what);
        s.add(std::move(fault), what);
        expected = Outcome::TimeOut3;
      }
      break;
    }
    switch (dice.between(0, 5)) {
      case 0: {
        const uint32_t failures = dice.between(1, kAttempts - 1);
        const uint8_t status = failureStatus(dice);
        s.add(Fault::withStatus(MessageKind::EraseFlash, eraseOccurrence, status, failures),
              "status " + hex(status));
        eraseOccurrence += failures;
        break;
      }
      case 1: {
        const uint32_t delay = dice.between(100, 25000);
        s.add(Fault::late(MessageKind::EraseFlash, eraseOccurrence, delay),
              "late " + std::to_string(delay) + " ms");
        break;
      }
      case 2: s.add(Fault::twice(MessageKind::EraseFlash, eraseOccurrence), "twice"); break;
      default: break;
    }
    ++eraseOccurrence;
  }

  // Writes: a few survivable faults well apart, and the chunk that ends the run.
  if (writeFaults) {
    std::vector<uint32_t> taken;
    auto freePlace = [&](uint32_t low, uint32_t high) -> std::optional<uint32_t> {
      for (int tries = 0; tries < 50; ++tries) {
        const uint32_t at = dice.between(low, high);
        bool clear = true;
        for (uint32_t t : taken) {
          if ((at > t ? at - t : t - at) < kWriteFaultSpacing) clear = false;
        }
        if (clear) {
          taken.push_back(at);
          return at;
        }
      }
      return std::nullopt;
    };
    if (ending == Ending::Chunk) {
      const uint32_t at = freePlace(1, kWritesWithoutRetry - kAttempts).value();
      expected = addChunkFailures(s, dice, at, kAttempts);
    }
    const uint32_t survivable = dice.between(0, 4);
    for (uint32_t i = 0; i < survivable; ++i) {
      const uint32_t kind = dice.between(0, 3);
      // An answer past the chunk wait arrives during a later chunk: only inside the long step 5,
      // away from the erase before it.
      const std::optional<uint32_t> at =
          kind == 2 ? freePlace(300, 1300) : freePlace(1, kWritesWithoutRetry - kAttempts);
      if (!at) continue;
      if (kind == 0) {
        addChunkFailures(s, dice, *at, dice.between(1, kAttempts - 1));
      } else if (kind == 1 || kind == 2) {
        const uint32_t delay = kind == 1 ? dice.between(60, 900) : dice.between(1200, 3000);
        s.add(Fault::late(MessageKind::WriteData, *at, delay),
              "late " + std::to_string(delay) + " ms");
      } else {
        s.add(Fault::twice(MessageKind::WriteData, *at), "twice");
      }
    }
  }

  // EndUpdate.
  if (ending == Ending::End) {
    const uint32_t how = dice.between(0, 2);
    if (how == 0) {
      const uint8_t status = failureStatus(dice);
      s.add(Fault::withStatus(MessageKind::EndUpdate, 1, status), "status " + hex(status));
    } else if (how == 1) {
      const uint32_t delay = dice.between(35000, 60000);
      s.add(Fault::late(MessageKind::EndUpdate, 1, delay), "late " + std::to_string(delay) + " ms");
    } else {
      std::string what;
      Fault fault = lostAnswer(dice, MessageKind::EndUpdate, 1, s.config.model, what);
      s.add(std::move(fault), what);
    }
    expected = Outcome::Transfer;
  } else if (dice.chance(15)) {
    addLateOrTwice(s, dice, MessageKind::EndUpdate, 25000);
  }

  if (ending == Ending::Vanish) {
    // 0 is the Identity Request; 1, BeginUpdate, would leave its unlimited wait hanging.
    s.vanishFrom = dice.chance(10) ? 0 : dice.between(2, 1950);
    s.note("device vanishes from procedure message " + std::to_string(s.vanishFrom));
  }
  if (ending == Ending::SendWindow) {
    s.failFirst = dice.between(1, 1960);
    s.failCount = dice.between(1, 10);
    s.note("sends " + std::to_string(s.failFirst) + ".." +
           std::to_string(s.failFirst + s.failCount - 1) + " fail (BeginUpdate excepted)");
  }
  if (ending != Ending::Vanish && ending != Ending::SendWindow) s.expected = expected;

  // Requests of the device, answered by the dispatcher in between.
  const uint32_t requests = dice.between(0, 6);
  for (uint32_t i = 0; i < requests; ++i) {
    static constexpr std::array<int, 6> kCodes{0x01, 0x03, 0x04, 0x05, 0x06, kIdentityRequestCode};
    const int code = kCodes[dice.between(0, kCodes.size() - 1)];
    const int64_t at = dice.between(0, 120000);
    s.requests.emplace_back(at, code);
    s.note(
        (code == kIdentityRequestCode ? std::string("Identity Request") : "request " + hex(code)) +
        " at " + std::to_string(at) + " ms");
  }
  return s;
}

// One update: the model behind a wire that can lose the device or the sends.
class SoakRun {
 public:
  explicit SoakRun(const Scenario& scenario)
      : scenario_(scenario),
        model_(scenario.config),
        link_(std::make_unique<VirtualTimeLink>(
            [this](const Bytes& m, std::vector<TimedReply>& replies) { deliver(m, replies); })) {
    for (const Fault& fault : scenario.faults) model_.addFault(fault);
    for (const auto& [at, code] : scenario.requests) {
      link_->injectAt(at, code == kIdentityRequestCode
                              ? DeviceModel::identityRequest()
                              : model_.deviceRequest(static_cast<uint8_t>(code)));
    }
    if (scenario.failCount > 0) {
      link_->setSendFailure([this](const Bytes& m) { return sendFails(m); });
    }
  }

  void run() {
    modelId.store(kFirstAcceptedModel);
    identityReplyModel.store(0x00);
    link_->prepareRun();
    runUpdate(*link_, *link_);
  }

  VirtualTimeLink& link() { return *link_; }
  const DeviceModel& model() const { return model_; }
  const std::vector<Loss>& losses() const { return losses_; }
  bool identitySendFailed() const { return identitySendFailed_; }

 private:
  void deliver(const Bytes& m, std::vector<TimedReply>& replies) {
    const Sent kind = kindOf(m);
    if (kind != Sent::Reply) {
      const int64_t index = procedureMessages_++;
      if (scenario_.vanishFrom >= 0 && index >= scenario_.vanishFrom) {
        losses_.push_back({kind, addressOf(m, kind)});
        return;
      }
    }
    std::vector<sim::Reply> answers;
    model_.receive(m.data(), m.size(), answers);
    for (sim::Reply& a : answers) replies.push_back({std::move(a.bytes), a.delayMs});
  }

  bool sendFails(const Bytes& m) {
    const int64_t attempt = sendAttempts_++;
    const Sent kind = kindOf(m);
    if (attempt < scenario_.failFirst ||
        attempt >= scenario_.failFirst + static_cast<int64_t>(scenario_.failCount) ||
        kind == Sent::Begin) {
      return false;
    }
    if (kind == Sent::Identity) identitySendFailed_ = true;
    if (kind != Sent::Reply) losses_.push_back({kind, addressOf(m, kind)});
    return true;
  }

  static uint32_t addressOf(const Bytes& m, Sent kind) {
    return kind == Sent::Write && m.size() > 10 ? ReadNum7(m.data() + 5, 5) : 0;
  }

  const Scenario& scenario_;
  DeviceModel model_;
  std::unique_ptr<VirtualTimeLink> link_;
  int64_t procedureMessages_ = 0;
  int64_t sendAttempts_ = 0;
  std::vector<Loss> losses_;
  bool identitySendFailed_ = false;
};

constexpr std::string_view kBoxPrefix = "box:";
constexpr std::string_view kErrorBoxSuffix = "|Error|stop";

// Checks one run; returns how it ended, or nothing when it broke a rule.
std::optional<Outcome> checkRun(const Scenario& scenario) {
  SoakRun soak(scenario);
  soak.run();
  VirtualTimeLink& link = soak.link();

  EXPECT_FALSE(link.hung());
  EXPECT_LT(link.now(), kVirtualTimeLimitMs);

  std::size_t midiOutErrors = 0;
  std::size_t cantOpen = 0;
  std::vector<Outcome> errorBoxes;
  bool unknownBox = false;
  for (const std::string& line : link.log(kBoxPrefix)) {
    const std::string box = line.substr(kBoxPrefix.size());
    if (box == "Midi Out Error||none") {
      ++midiOutErrors;
      continue;
    }
    if (box == "Can't open MIDI Out device.|Error|stop") {
      ++cantOpen;
      continue;
    }
    bool known = false;
    for (std::size_t i = 1; i < kOutcomeText.size(); ++i) {
      if (box == std::string(kOutcomeText[i]) + std::string(kErrorBoxSuffix)) {
        errorBoxes.push_back(static_cast<Outcome>(i));
        known = true;
      }
    }
    if (!known) {
      ADD_FAILURE() << "unexpected box " << box;
      unknownBox = true;
    }
  }
  EXPECT_EQ(midiOutErrors, link.log("send-failed").size()) << "one box per failed send";
  EXPECT_EQ(cantOpen, soak.identitySendFailed() ? 1u : 0u);
  EXPECT_LE(errorBoxes.size(), 1u);

  const std::vector<std::string> status = link.log("status:");
  const bool completed = !status.empty() && status.back() == "status:Version update completed.";
  EXPECT_EQ(link.log("restore").size(), 1u) << "controls restored once, by the end of the run";
  EXPECT_EQ(link.signals().busy.load(), 0);
  if (unknownBox || errorBoxes.size() > 1 || (errorBoxes.empty() && !completed)) {
    ADD_FAILURE() << "the run ended neither in success nor in one error box";
    return std::nullopt;
  }
  const Outcome outcome = errorBoxes.empty() ? Outcome::Success : errorBoxes.front();
  EXPECT_EQ(completed, outcome == Outcome::Success) << "an error box after completion";

  const Outcome expected = scenario.expected ? *scenario.expected : outcomeOfLosses(soak.losses());
  EXPECT_STREQ(text(outcome), text(expected));

  if (outcome == Outcome::Success) {
    std::string difference;
    EXPECT_TRUE(soak.model().flashMatchesPayloads(&difference)) << difference;
    EXPECT_TRUE(soak.model().finished());
    EXPECT_FALSE(link.executeEnabled());
  } else {
    EXPECT_TRUE(link.executeEnabled());
  }
  EXPECT_TRUE(link.controlsEnabled());
  return outcome;
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
    const Scenario scenario = makeScenario(seed);
    SCOPED_TRACE("seed " + std::to_string(seed) + " (replay: RT88H_SOAK_SEED=" +
                 std::to_string(seed) + "): " + scenario.description);
    if (seeds.size() == 1) std::printf("seed %u: %s\n", seed, scenario.description.c_str());
    const int failuresBefore = failureCount();
    const std::optional<Outcome> outcome = checkRun(scenario);
    if (failureCount() != failuresBefore) ++failedRuns;
    ++histogram[outcome ? text(*outcome) : "broken"];
    if (failedRuns >= 10) {
      ADD_FAILURE() << "stopped after 10 failing runs";
      break;
    }
  }

  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("%zu runs in %.1f s\n", seeds.size(), seconds);
  for (const auto& [outcome, count] : histogram) std::printf("  %4u  %s\n", count, outcome.c_str());

  modelId.store(kFirstAcceptedModel);
  identityReplyModel.store(0x00);

  if (!replaySeed() && (stride == 1 || stride == kSanitizedStride)) {
    // The mix itself: enough complete updates, and every ending at least once.
    EXPECT_GE(histogram["success"], kMinCompleteUpdates / stride);
    for (const char* outcome : kOutcomeText) EXPECT_GT(histogram[outcome], 0u) << outcome;
  }
}

}  // namespace
}  // namespace rt88h
