// The whole update against the device model, a fate scripted for each message, in virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "protocol/flash_plan.h"
#include "protocol/messages.h"
#include "protocol/update_procedure.h"
#include "tests/support/fault_transport.h"
#include "tests/support/sysex_support.h"

namespace rt88h {
namespace {

using testing::Bytes;
using testing::deviceStatus;
using testing::errorBox;
using testing::Fate;
using testing::identityReply;
using testing::kindOf;
using testing::midiOutErrorBox;
using testing::Sending;
using testing::Sent;
using testing::statusLine;

constexpr Fate kUnanswered{.loseAnswer = true};
constexpr Fate kRefused{.refuse = true};

// Every message a complete update sends without retries, for the model given.
std::vector<Bytes> expectedMessages(uint8_t model) {
  const testing::ModelScope scope(model);
  testing::RecordingSender capture;
  auto work = std::make_unique<WorkBuffer>();
  for (const PlannedMessage& m : planWalk()) {
    switch (m.kind) {
      case PlannedMessage::Kind::IdentityRequest: sendIdentityRequest(capture); break;
      case PlannedMessage::Kind::BeginUpdate: sendBeginUpdate(*work, capture); break;
      case PlannedMessage::Kind::EraseFlash:
        sendEraseFlash(*work, capture, model, m.address, m.length);
        break;
      case PlannedMessage::Kind::WriteData:
        sendWriteData(*work, capture, model, payload(m.payloadId).bytes + m.offset, m.address,
                      m.length);
        break;
      case PlannedMessage::Kind::EndUpdate: sendEndUpdate(*work, capture); break;
    }
  }
  return capture.sent;
}

std::size_t countOf(const std::vector<Bytes>& sent, Sent kind) {
  return static_cast<std::size_t>(std::count_if(
      sent.begin(), sent.end(), [kind](const Bytes& m) { return kindOf(m) == kind; }));
}

// The built-in plan against the device model, over a link that never repeats a message.
class UpdateProcedureTest : public ::testing::Test {
 protected:
  testing::RunSetup setup(sim::DeviceModel::Config config = {}) {
    return {.plan = FlashPlan,
            .device = config,
            .cycleMs = 0,
            .fate = [this](const Sending& sending) { return script(sending); },
            .fails = [this](const Sending& sending) { return fails(sending); }};
  }
  void run() {
    device.run();
    EXPECT_FALSE(link.hung());
  }
  std::vector<std::string> boxes() const { return link.log("box:"); }
  std::size_t sentOf(Sent kind) const { return countOf(link.sent(), kind); }
  int64_t timeOf(const std::string& line) const {
    for (const auto& [time, text] : link.timedLog()) {
      if (text == line) return time;
    }
    return -1;
  }

  testing::ModelScope models;
  std::function<Fate(const Sending&)> script = [](const Sending&) { return Fate{}; };
  std::function<bool(const Sending&)> fails = [](const Sending&) { return false; };
  testing::DeviceRun device{setup()};
  testing::VirtualTimeLink& link = device.link();
};

const std::string kBoxTimeout1 = errorBox(IDS_TIMEOUT_IDENTITY);
const std::string kBoxTimeout2 = errorBox(IDS_TIMEOUT_CHUNK);
const std::string kBoxTimeout3 = errorBox(IDS_TIMEOUT_ERASE);
const std::string kBoxIllegal = errorBox(IDS_ILLEGAL_DEVICE);
const std::string kBoxVersionUp = errorBox(IDS_SET_VERSIONUP_MODE);
const std::string kBoxTransfer = errorBox(IDS_TRANSFER_ERROR);
const std::string kBoxMidiOut = midiOutErrorBox();
const std::string kCompleted = statusLine(IDS_UPDATE_COMPLETED);

TEST_F(UpdateProcedureTest, SuccessSendsThePlanByteForByteWithItsTextsAndProgress) {
  run();
  EXPECT_TRUE(link.sent() == expectedMessages(0x58));
  EXPECT_EQ(link.sent().size(), 1908u);
  EXPECT_TRUE(boxes().empty());

  EXPECT_EQ(link.log("step:"),
            (std::vector<std::string>{"step:0/6", "step:1/6", "step:2/6", "step:3/6", "step:4/6",
                                      "step:5/6", "step:6/6"}));
  EXPECT_EQ(link.log("range:"),
            (std::vector<std::string>{"range:0-10", "range:0-10", "range:0-262144", "range:0-10",
                                      "range:0-2912256", "range:0-720896"}));
  const auto statuses = link.log("status:");
  ASSERT_GE(statuses.size(), 4u);
  EXPECT_EQ(statuses[0], statusLine(IDS_ERASING_FLASH));
  EXPECT_EQ(statuses[1], "status:");
  EXPECT_EQ(statuses[2], statusLine(IDS_ERASING_FLASH));
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "status:Data transmit  0 / 262144 "), 1);
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "status:Data transmit  260096 / 262144 "),
            1);
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "status:Data transmit  262144 / 262144 "),
            0);
  EXPECT_EQ(
      std::count_if(statuses.begin(), statuses.end(),
                    [](const std::string& s) { return s.rfind("status:Data transmit", 0) == 0; }),
      1902);

  EXPECT_EQ(link.log("report:step"),
            (std::vector<std::string>{"report:step:0:0", "report:step:1:0", "report:step:2:0",
                                      "report:step:3:0", "report:step:4:0", "report:step:5:0",
                                      "report:step:6:0", "report:step:7:0"}));
  EXPECT_EQ(
      link.log("report:finished"),
      std::vector<std::string>{"report:finished:" + std::string(loadString(IDS_UPDATE_COMPLETED))});

  const auto positions = link.log("pos:");
  EXPECT_EQ(positions.front(), "pos:1");
  EXPECT_EQ(positions[1], "pos:10");
  EXPECT_EQ(positions.back(), "pos:720896");

  const auto all = link.log();
  ASSERT_GE(all.size(), 3u);
  EXPECT_EQ(all.front(), "step:0/6");  // a new run changes only the step counter at once
  EXPECT_EQ((std::vector<std::string>(all.end() - 3, all.end())),
            (std::vector<std::string>{kCompleted, "restore", "execute:off"}));
  EXPECT_TRUE(link.controlsEnabled());
  EXPECT_FALSE(link.executeEnabled());
  EXPECT_EQ(link.signals().busy.load(), 0);
  EXPECT_EQ(identityReplyModel.load(), 0x58);

  // The first erase follows the BeginUpdate answer after the 500 ms pause.
  EXPECT_GE(link.sendTimes()[2] - link.sendTimes()[1], 500);
  // One chunk per 50 ms tick: the floor of a whole update.
  EXPECT_LE(link.now(), 1908 * 50 + 500 + 100);
}

TEST_F(UpdateProcedureTest, ARejectedModelIsKeptAndALaterGoodDeviceWorks) {
  identityReplyModel.store(0x57);
  testing::DeviceRun rejected(setup({.model = 0x56}));
  rejected.run();
  EXPECT_EQ(rejected.link().log("box:"), std::vector<std::string>{kBoxIllegal});
  EXPECT_EQ(modelId.load(), 0x56);
  EXPECT_EQ(identityReplyModel.load(), 0x57);
  EXPECT_EQ(rejected.link().sent().size(), 1u);

  testing::DeviceRun good(setup({.model = 0x57}));
  EXPECT_EQ(good.run().end, testing::RunEnd::Completed);
  EXPECT_EQ(modelId.load(), 0x57);
  EXPECT_EQ(identityReplyModel.load(), 0x57);
  EXPECT_EQ(good.link().sent().back(), (Bytes{0xF0, 0x52, 0x00, 0x57, 0x04, 0xF7}));
}

// One scripted device a row: how the run ends, how often the step concerned went, and for a
// time-out how long after the last send its box came.
struct ScriptCase {
  const char* name;
  Fate (*script)(const Sending& sending);
  std::vector<std::string> boxes;  // none: completed
  Sent counted;                    // Other: every message
  std::size_t sends;
  int64_t boxAfterLastSendMs = -1;  // -1: not a time-out
};

std::ostream& operator<<(std::ostream& out, const ScriptCase& c) {
  return out << c.name;
}

class ScriptedRun : public UpdateProcedureTest, public ::testing::WithParamInterface<ScriptCase> {};

TEST_P(ScriptedRun, EndsAsScripted) {
  const ScriptCase& c = GetParam();
  script = c.script;
  run();
  EXPECT_EQ(boxes(), c.boxes);
  EXPECT_EQ(c.counted == Sent::Other ? link.sent().size() : sentOf(c.counted), c.sends);
  const auto statuses = link.log("status:");
  EXPECT_EQ(!statuses.empty() && statuses.back() == kCompleted, c.boxes.empty());
  EXPECT_TRUE(link.controlsEnabled());
  EXPECT_EQ(link.executeEnabled(), !c.boxes.empty());
  if (c.boxAfterLastSendMs >= 0) {
    EXPECT_EQ(timeOf(c.boxes.back()) - link.sendTimes().back(), c.boxAfterLastSendMs);
  }
  // The record tells the same story: a re-send after every failure but a last one, and the end.
  const std::string text = c.boxes.empty() ? std::string(loadString(IDS_UPDATE_COMPLETED))
                                           : c.boxes.back().substr(4, c.boxes.back().find('|') - 4);
  EXPECT_EQ(link.log("report:").back(), "report:finished:" + text);
  const std::size_t failures =
      link.log("report:refused").size() + link.log("report:timed-out").size();
  const std::size_t last = c.boxes.empty() ? 0 : std::min<std::size_t>(failures, 1);
  EXPECT_EQ(link.log("report:resent").size(), failures - last);
}

INSTANTIATE_TEST_SUITE_P(
    FailurePaths, ScriptedRun,
    ::testing::Values(
        ScriptCase{"NoIdentityReply",
                   [](const Sending&) { return kUnanswered; },
                   {kBoxTimeout1},
                   Sent::Other,
                   1,
                   30000},
        // Answered with a status, not an Identity Reply.
        ScriptCase{"IdentityAnsweredWithAStatus",
                   [](const Sending& s) { return s.kind == Sent::Identity ? kRefused : Fate{}; },
                   {kBoxIllegal},
                   Sent::Other,
                   1},
        ScriptCase{"BeginRefused",
                   [](const Sending& s) { return s.kind == Sent::Begin ? kRefused : Fate{}; },
                   {kBoxTransfer},
                   Sent::Other,
                   2},
        ScriptCase{"ChunkUnansweredSixTimes",
                   [](const Sending& s) {
                     return s.kind == Sent::Write && s.nth <= 6 ? kUnanswered : Fate{};
                   },
                   {},
                   Sent::Write,
                   1902 + 6},
        ScriptCase{"ChunkUnansweredSevenTimes",
                   [](const Sending& s) { return s.kind == Sent::Write ? kUnanswered : Fate{}; },
                   {kBoxTimeout2},
                   Sent::Write,
                   7},
        // Mixed failures: the seventh one's kind decides the message.
        ScriptCase{"ChunkMixedEndingUnanswered",
                   [](const Sending& s) {
                     return s.kind != Sent::Write ? Fate{} : s.nth % 2 ? kUnanswered : kRefused;
                   },
                   {kBoxTimeout2},
                   Sent::Write,
                   7},
        ScriptCase{"ChunkMixedEndingRefused",
                   [](const Sending& s) {
                     return s.kind != Sent::Write ? Fate{} : s.nth % 2 ? kRefused : kUnanswered;
                   },
                   {kBoxTransfer},
                   Sent::Write,
                   7},
        // Three tries for every chunk: the retry counter starts again after each accepted one.
        ScriptCase{"EveryChunkOnItsThirdTry",
                   [](const Sending& s) {
                     return s.kind == Sent::Write && s.nth % 3 != 0 ? kRefused : Fate{};
                   },
                   {},
                   Sent::Write,
                   3 * 1902},
        ScriptCase{"EraseRefusedSixTimes",
                   [](const Sending& s) {
                     return s.kind == Sent::Erase && s.nth <= 6 ? kRefused : Fate{};
                   },
                   {},
                   Sent::Erase,
                   3 + 6},
        ScriptCase{"EraseRefusedSevenTimes",
                   [](const Sending& s) { return s.kind == Sent::Erase ? kRefused : Fate{}; },
                   {kBoxTransfer},
                   Sent::Erase,
                   7},
        // An erase is never re-sent after a time-out.
        ScriptCase{"EraseUnanswered",
                   [](const Sending& s) { return s.kind == Sent::Erase ? kUnanswered : Fate{}; },
                   {kBoxTimeout3},
                   Sent::Erase,
                   1,
                   30000},
        ScriptCase{"EndRefused",
                   [](const Sending& s) { return s.kind == Sent::End ? kRefused : Fate{}; },
                   {kBoxTransfer},
                   Sent::End,
                   1},
        ScriptCase{"EndUnanswered",
                   [](const Sending& s) { return s.kind == Sent::End ? kUnanswered : Fate{}; },
                   {kBoxTransfer},
                   Sent::End,
                   1,
                   30000}),
    [](const ::testing::TestParamInfo<ScriptCase>& row) { return std::string(row.param.name); });

// A write step the images cannot fill with whole chunks fails before its first chunk.
class BadWriteStep : public UpdateProcedureTest, public ::testing::WithParamInterface<FlashStep> {};

TEST_P(BadWriteStep, FailsWithoutSendingAChunk) {
  const std::array<FlashStep, 1> plan{GetParam()};
  testing::RunSetup bad = setup();
  bad.plan = plan;
  testing::DeviceRun run(std::move(bad));
  EXPECT_EQ(run.run().end, testing::RunEnd::Failed);
  EXPECT_EQ(run.link().log("box:"), std::vector<std::string>{kBoxTransfer});
  EXPECT_EQ(countOf(run.link().sent(), Sent::Write), 0u);
}

INSTANTIATE_TEST_SUITE_P(Plans, BadWriteStep,
                         ::testing::Values(FlashStep{kStepWrite, 0x0, kChunkLength + 16, 136},
                                           FlashStep{kStepWrite, 0x0, 0x80000, 136},
                                           FlashStep{kStepWrite, 0x0, 0, 99}));

// Where virtual time never puts an answer: in the queue after the dispatcher's last pass, before
// a step's first send left. It is taken after that send, and is still nobody's.
TEST(AnswerLedgerVerdicts, AnAnswerFromBeforeTheStepsFirstSendIsNobodys) {
  AnswerLedger ledger;
  ledger.nextStep();
  ledger.sent(1'000'000, 1'001'000, 0);
  const auto at = [](int64_t us) { return Answer{AnswerKind::Status, kStatusOk, {.atUs = us}}; };
  EXPECT_EQ(ledger.take(at(999'999)), AnswerLedger::Verdict::Ignored);
  EXPECT_EQ(ledger.take(at(1'002'000)), AnswerLedger::Verdict::Own);
}

// Cycles longer than the re-send pause: a refusal handed four times is over before the chunk goes
// again, so the copies cannot hide the next answer (it would cost a chunk wait).
TEST(ResendAfterCopies, ARefusalHandedFourTimesEndsBeforeTheChunkGoesAgain) {
  testing::ModelScope models;
  testing::DeviceRun run({.cycleMs = 93, .fate = [](const Sending& s) {
                            return s.kind == Sent::Write && s.nth == 1
                                       ? Fate{.refuse = true, .copies = 3}
                                       : Fate{};
                          }});
  EXPECT_EQ(run.run().end, testing::RunEnd::Completed);
  EXPECT_EQ(countOf(run.link().sent(), Sent::Write), 6u + 1);  // the short plan's chunks, one again
  EXPECT_TRUE(run.link().log("report:timed-out").empty());
}

// Re-sends of the same chunk, each after the 1 s wait and the 100 ms pause.
TEST_F(UpdateProcedureTest, AnUnansweredChunkGoesAgainAfterTheWaitAndThePause) {
  script = [](const Sending& s) {
    return s.kind == Sent::Write && s.nth <= 6 ? kUnanswered : Fate{};
  };
  run();
  const auto& sent = link.sent();
  EXPECT_EQ(sent[4], sent[10]);
  EXPECT_EQ(link.sendTimes()[5] - link.sendTimes()[4], 1100);
}

// The window closes right after the message of that kind left: the run ends at the next wait.
class StopAtEveryWait : public UpdateProcedureTest, public ::testing::WithParamInterface<Sent> {};

TEST_P(StopAtEveryWait, EndsSilentlyWithTheControlsLeftDisabled) {
  const Sent stopAfter = GetParam();
  bool stopped = false;
  link.setAfterSend([&](const Bytes& m, std::size_t) {
    if (!stopped && kindOf(m) == stopAfter) {
      stopped = true;
      link.requestStop();
    }
  });
  run();
  EXPECT_TRUE(stopped);
  EXPECT_TRUE(boxes().empty());
  EXPECT_FALSE(link.controlsEnabled());
  EXPECT_EQ(link.signals().busy.load(), 1);
  EXPECT_EQ(kindOf(link.sent().back()), stopAfter);
  EXPECT_TRUE(link.log(kCompleted).empty());
}

INSTANTIATE_TEST_SUITE_P(Waits, StopAtEveryWait,
                         ::testing::Values(Sent::Identity, Sent::Begin, Sent::Erase, Sent::Write,
                                           Sent::End));

TEST_F(UpdateProcedureTest, ACloseTenMinutesIntoTheUnlimitedBeginUpdateWait) {
  script = [](const Sending& s) { return s.kind == Sent::Begin ? kUnanswered : Fate{}; };
  link.setHangLimitMs(60 * 60 * 1000);
  link.at(10 * 60 * 1000, [this] { link.requestStop(); });
  run();
  EXPECT_TRUE(boxes().empty());
  EXPECT_EQ(link.sent().size(), 2u);
  EXPECT_EQ(link.now(), 10 * 60 * 1000);
}

TEST_F(UpdateProcedureTest, AFailedIdentityRequestIsReportedTwiceThenTimesOut) {
  fails = [](const Sending&) { return true; };
  run();
  EXPECT_EQ(boxes(), (std::vector<std::string>{kBoxMidiOut, errorBox(IDS_CANT_OPEN_MIDI_OUT),
                                               kBoxTimeout1}));
  EXPECT_EQ(timeOf(kBoxTimeout1), 30000);
}

TEST_F(UpdateProcedureTest, EverySendOfAWriteStepFailing) {
  fails = [](const Sending& s) { return s.kind == Sent::Write; };
  run();
  std::vector<std::string> expected(7, kBoxMidiOut);
  expected.push_back(kBoxTimeout2);
  EXPECT_EQ(boxes(), expected);
}

TEST_F(UpdateProcedureTest, DeviceRequestsDuringTheUpdateAreAnswered) {
  link.injectAt(20000, {0xF0, 0x52, 0x00, 0x58, 0x01, 0xF7});
  link.injectAt(20010, {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7});
  link.injectAt(20020, {0xF0, 0x52, 0x00, 0x58, 0x03, 0xF7});
  run();
  EXPECT_TRUE(boxes().empty());
  const auto& sent = link.sent();
  EXPECT_EQ(std::count(sent.begin(), sent.end(), deviceStatus(0x58, 0)), 1);
  EXPECT_EQ(std::count(sent.begin(), sent.end(), identityReply(0x58)), 1);
  EXPECT_EQ(link.log("status:").back(), kCompleted);
}

// However an update was cut short, on a device that keeps what it has, at each kind of step
// (the 2nd erase, chunk 300 in the middle of the second region): Rescan and Execute (a new run
// of the procedure) update it from the start and complete. An unplug, as the message goes out or
// while its answer is awaited, is told in one box within 10 s, and nothing reports success.
TEST(InterruptedUpdate, RunAgainCompletes) {
  enum class Cut { Stop, UnplugAsItGoesOut, UnplugWhileWaiting, PowerCycle };
  const std::pair<Sent, uint32_t> steps[] = {
      {Sent::Identity, 1}, {Sent::Begin, 1}, {Sent::Erase, 2}, {Sent::Write, 300}, {Sent::End, 1}};
  for (const Cut cut :
       {Cut::Stop, Cut::UnplugAsItGoesOut, Cut::UnplugWhileWaiting, Cut::PowerCycle}) {
    for (const auto& [kind, nth] : steps) {
      SCOPED_TRACE(::testing::Message()
                   << "cut " << static_cast<int>(cut) << " at kind " << static_cast<int>(kind));
      testing::ModelScope models;
      sim::DeviceModel device;
      int64_t cutAt = -1;
      testing::DeviceRun* first = nullptr;
      const auto cutsHere = [&, kind = kind, nth = nth](const Sending& sending) {
        return cutAt < 0 && sending.kind == kind && sending.nth == nth;
      };
      testing::DeviceRun interrupted({.plan = FlashPlan,
                                      .cycleMs = 0,
                                      .fails =
                                          [&](const Sending& sending) {
                                            if (!cutsHere(sending)) return false;
                                            cutAt = first->link().now();
                                            switch (cut) {
                                              case Cut::Stop: first->link().requestStop(); break;
                                              case Cut::UnplugAsItGoesOut:
                                                first->link().unplug();
                                                return true;
                                              case Cut::UnplugWhileWaiting:
                                                first->link().at(cutAt + 1,
                                                                 [&] { first->link().unplug(); });
                                                break;
                                              case Cut::PowerCycle: device.powerCycle(); break;
                                            }
                                            return false;
                                          },
                                      .keptDevice = &device});
      first = &interrupted;
      const testing::RunResult ended = interrupted.run();
      // A restart before BeginUpdate interrupts nothing: that run completes.
      const bool interrupts =
          cut != Cut::PowerCycle || (kind != Sent::Identity && kind != Sent::Begin);
      EXPECT_EQ(ended.end == testing::RunEnd::Completed, !interrupts) << ended.what;
      if (cut == Cut::UnplugAsItGoesOut || cut == Cut::UnplugWhileWaiting) {
        const std::string box = errorBox(IDS_DEVICE_DISCONNECTED);
        ASSERT_EQ(interrupted.link().log("box:"), std::vector<std::string>{box});
        for (const auto& [time, line] : interrupted.link().timedLog()) {
          if (line == box) {
            EXPECT_LE(time - cutAt, 10000);
          }
        }
        EXPECT_TRUE(interrupted.link().controlsEnabled());
      }
      device.clearRecord();

      testing::DeviceRun again({.plan = FlashPlan, .cycleMs = 0, .keptDevice = &device});
      const testing::RunResult result = again.run();
      EXPECT_EQ(result.end, testing::RunEnd::Completed) << result.what;
      EXPECT_TRUE(device.violations().empty()) << device.report();
    }
  }
}
}  // namespace
}  // namespace rt88h
