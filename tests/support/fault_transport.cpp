#include "tests/support/fault_transport.h"

#include <algorithm>

#include "protocol/encoding.h"
#include "protocol/update_procedure.h"
#include "resources/string_table.h"

namespace rt88h::testing {
namespace {

constexpr int64_t kAnswerBoundMs = 5000;
// Longer than any wait with a limit and any late answer a run is given.
constexpr int64_t kHangLimitMs = 5 * 60 * 1000;
constexpr uint8_t kRefusal = 0x01;

// Which of the update's messages a run may end with.
bool isUpdateFailureText(const std::string& box) {
  for (const int id : {IDS_TIMEOUT_IDENTITY, IDS_TIMEOUT_CHUNK, IDS_TIMEOUT_ERASE,
                       IDS_ILLEGAL_DEVICE, IDS_SET_VERSIONUP_MODE, IDS_TRANSFER_ERROR}) {
    if (box == errorBox(id)) return true;
  }
  return false;
}

}  // namespace

const std::vector<Fate>& fateSet() {
  static const std::vector<Fate> fates{
      {.name = "ok"},
      {.loseRequest = true, .name = "request lost"},
      {.loseAnswer = true, .name = "answer lost"},
      {.refuse = true, .name = "refused"},
      {.repeatRequest = true, .name = "request repeated"},
      {.copies = 1, .name = "answer repeated"},
      {.copies = 1, .beforeTick = true, .name = "answer repeated, the copy after the tick"},
      {.copies = 3, .beforeTick = true, .name = "answer handed 4 times, after the tick"},
      {.stallMs = 1050, .name = "stall 1050"},
      {.stallMs = 2500, .name = "stall 2500"},
      {.stallMs = 4900, .name = "stall 4900"},
      {.repeatRequest = true, .refuse = true, .name = "refused, its copy written"},
      {.copies = 1, .stallMs = 1500, .name = "stall 1500, answer repeated"},
      {.repeatRequest = true, .loseAnswer = true, .name = "request repeated, first answer lost"},
      {.repeatRequest = true,
       .lateCall = true,
       .copyLagMs = kProgrammingMs,
       .name = "our late call: request repeated, programmed again"},
      {.repeatRequest = true,
       .lateCall = true,
       .copyLagMs = 700,
       .name = "our late call: request repeated, slow second answer"},
      {.lateCall = true, .name = "our late call: nothing repeated"},
  };
  return fates;
}

DeviceRun::DeviceRun(RunSetup setup)
    : setup_(std::move(setup)),
      model_(setup_.device),
      link_([this](const Bytes& message, std::vector<TimedReply>& replies) {
        deliver(message, replies);
      }) {
  for (const sim::Fault& fault : setup_.faults) model_.addFault(fault);
  for (const Unasked& message : setup_.unasked) link_.injectAt(message.atMs, message.bytes);
  link_.setCycleMs(setup_.cycleMs);
  link_.setHangLimitMs(kHangLimitMs);
  link_.setSendFailure([this](const Bytes& message) { return attempt(message); });
}

bool DeviceRun::attempt(const Bytes& message) {
  const Sent kind = kindOf(message);
  current_.index = met_.size() + losses_.size();
  current_.kind = kind;
  current_.nth = ++counts_[static_cast<std::size_t>(kind)];
  current_.address =
      kind == Sent::Write && message.size() > 10 ? ReadNum7(message.data() + 5, 5) : 0;
  const bool fails = setup_.fails && setup_.fails(current_);
  if (fails) losses_.push_back(current_);
  return fails;
}

int64_t DeviceRun::doneAt(int64_t receivedAt, int64_t extraMs) {
  // One message at a time, each answered within the bound after it was sent.
  const int64_t done = std::max(receivedAt, busyUntilMs_) + setup_.latencyMs + extraMs;
  busyUntilMs_ = std::max(std::min(done, receivedAt + kAnswerBoundMs), busyUntilMs_);
  return busyUntilMs_;
}

void DeviceRun::deliver(const Bytes& message, std::vector<TimedReply>& replies) {
  const Fate fate = setup_.fate ? setup_.fate(current_) : Fate{};
  met_.emplace_back(current_, fate);
  if (fate.lateCall) link_.reportTrouble();
  if (fate.loseRequest) {
    losses_.push_back(current_);
    met_.pop_back();
    return;
  }
  const int64_t now = link_.now();
  const int64_t cycle = setup_.cycleMs;
  auto answer = [&](Bytes bytes, int64_t atMs) {
    replies.push_back({std::move(bytes), static_cast<uint32_t>(atMs - now)});
  };
  // 1. The first reception, refused or carried out; a copy of the request after it.
  std::vector<sim::Reply> first;
  if (fate.refuse) {
    first.push_back({model_.deviceStatus(kRefusal), 0});
  } else {
    model_.receive(message.data(), message.size(), first);
  }
  std::vector<sim::Reply> second;
  if (fate.repeatRequest) model_.receive(message.data(), message.size(), second);
  // 2. The first answers, each perhaps lost or handed again in the cycles after.
  int64_t firstAt = doneAt(now, fate.stallMs);
  if (fate.beforeTick && cycle > 0) {
    int64_t tick = (firstAt + VirtualTimeLink::kTickMs - 1) / VirtualTimeLink::kTickMs *
                   VirtualTimeLink::kTickMs;
    while (tick / cycle * cycle < firstAt) tick += VirtualTimeLink::kTickMs;
    firstAt = tick / cycle * cycle;
  }
  for (std::size_t i = 0; i < first.size(); ++i) {
    const int64_t at = firstAt + first[i].delayMs;
    if (i != 0 || !fate.loseAnswer) answer(first[i].bytes, at);
    for (int copy = 1; i == 0 && copy <= fate.copies; ++copy) {
      answer(first[i].bytes, at + copy * cycle);
    }
  }
  // 3. The repeated request's answers: unless a late cycle of ours was counted, within the
  // cycle after the first.
  if (fate.repeatRequest) {
    int64_t secondAt = firstAt + cycle;
    if (fate.lateCall) {
      secondAt = std::max(doneAt(now + cycle, fate.copyLagMs), firstAt);
    } else {
      busyUntilMs_ = std::max(busyUntilMs_, secondAt);
    }
    for (sim::Reply& reply : second) answer(std::move(reply.bytes), secondAt + reply.delayMs);
  }
}

RunResult DeviceRun::run() {
  link_.prepareRun();
  UpdateProcedure procedure(link_.host(), link_, setup_.plan);
  procedure.runUpdate();

  RunResult result;
  result.durationMs = link_.now();
  const std::vector<std::string> boxes = link_.log("box:");
  const std::vector<std::string> statuses = link_.log("status:");
  const bool completed = !statuses.empty() && statuses.back() == statusLine(IDS_UPDATE_COMPLETED);
  std::string difference;
  if (link_.hung()) {
    // The wait for BeginUpdate's answer has no limit: there the person closes the window.
    const auto sent = [&](Sent kind) { return counts_[static_cast<std::size_t>(kind)] > 0; };
    const bool waitingForBegin = boxes.empty() && !completed && sent(Sent::Begin) &&
                                 !sent(Sent::Erase) && !sent(Sent::Write);
    result.end = waitingForBegin ? RunEnd::Failed : RunEnd::Broken;
    result.what =
        waitingForBegin ? "(closed while BeginUpdate went unanswered)" : "the run never ended";
  } else if (completed && !boxes.empty()) {
    result.what = "completed after " + boxes.front();
  } else if (completed && !model_.flashMatchesPayloads(&difference, setup_.plan)) {
    result.what = "completed over a flash that differs: " + difference;
  } else if (completed && !model_.finished()) {
    result.what = "completed although the device never carried out EndUpdate";
  } else if (completed) {
    result.end = RunEnd::Completed;
  } else if (boxes.size() != 1 || !isUpdateFailureText(boxes.front())) {
    result.what = boxes.empty() ? "ended with neither success nor a message" : boxes.front();
  } else {
    result.end = RunEnd::Failed;
    result.what = boxes.front();
  }
  return result;
}

RunResult runOnce(const std::function<Fate(std::size_t)>& fateOf,
                  const std::vector<Unasked>& unasked) {
  DeviceRun run(
      {.fate = [&](const Sending& sending) { return fateOf(sending.index); }, .unasked = unasked});
  return run.run();
}

}  // namespace rt88h::testing
