#include "tests/support/fault_transport.h"

#include <algorithm>

#include "protocol/update_procedure.h"
#include "resources/string_table.h"
#include "sim/device_model.h"
#include "tests/support/sysex_support.h"

namespace rt88h::testing {
namespace {

using sim::DeviceModel;

constexpr int64_t kDeviceLatencyMs = 3;
constexpr int64_t kAnswerBoundMs = 5000;
constexpr uint8_t kRefusal = 0x01;

// Which of the update's messages a run may end with.
bool isUpdateFailureText(const std::string& box) {
  for (const int id : {IDS_TIMEOUT_IDENTITY, IDS_TIMEOUT_CHUNK, IDS_TIMEOUT_ERASE,
                       IDS_ILLEGAL_DEVICE, IDS_SET_VERSIONUP_MODE, IDS_TRANSFER_ERROR}) {
    if (box == errorBox(id)) return true;
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

}  // namespace

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

// One run: the device model behind a transport that gives send n the fate fateOf(n).
RunResult runOnce(const std::function<Fate(std::size_t)>& fateOf,
                  const std::vector<Unasked>& unasked) {
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
  for (const Unasked& message : unasked) link.injectAt(message.atMs, message.bytes);
  link.setCycleMs(kCycleMs);
  link.prepareRun();
  UpdateProcedure procedure(link, link, kShortPlan);
  procedure.runUpdate();

  RunResult result;
  result.durationMs = link.now();
  const std::vector<std::string> boxes = link.log("box:");
  const std::vector<std::string> statuses = link.log("status:");
  const bool completed = !statuses.empty() && statuses.back() == statusLine(IDS_UPDATE_COMPLETED);
  if (link.hung()) {
    // The wait for BeginUpdate's answer has no limit: there the person closes the window.
    const auto sentCommand = [&](uint8_t command) {
      return std::any_of(link.sent().begin(), link.sent().end(), [&](const Bytes& m) {
        return m.size() > 5 && m[1] == 0x52 && m[4] == command;
      });
    };
    const bool waitingForBegin = boxes.empty() && !completed && sentCommand(0x01) &&
                                 !sentCommand(0x0A) && !sentCommand(0x02);
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

}  // namespace rt88h::testing
