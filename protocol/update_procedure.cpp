#include "update_procedure.h"

#include <array>
#include <cstdio>
#include <string>

#include "string_table.h"

namespace rt88h {
namespace {

constexpr std::array<uint8_t, 2> kAcceptedModels{0x58, 0x57};

constexpr int64_t kIdentityWaitMs = 30000;
constexpr int64_t kEraseWaitMs = 30000;
constexpr int64_t kChunkWaitMs = 1000;
constexpr int64_t kEndUpdateWaitMs = 30000;
constexpr uint32_t kAfterBeginUpdatePauseMs = 500;
constexpr uint32_t kResendPauseMs = 100;

constexpr int32_t kEraseProgressHigh = 10;
constexpr int32_t kEraseProgressSent = 1;

template <typename... Args>
std::string format(std::string_view pattern, Args... args) {
  std::array<char, 96> text{};
  std::snprintf(text.data(), text.size(), std::string(pattern).c_str(), args...);
  return text.data();
}

bool isAcceptedModel(uint8_t model) {
  for (const uint8_t accepted : kAcceptedModels) {
    if (model == accepted) return true;
  }
  return false;
}

int64_t wholeMsUntil(int64_t fromUs, int64_t toUs) {
  return (toUs - fromUs + 999) / 1000;
}

}  // namespace

UpdateProcedure::UpdateProcedure(UpdateHost& window, UpdateClock& clock,
                                 std::span<const FlashStep> plan)
    : window_(window),
      clock_(clock),
      plan_(plan),
      sender_(window),
      work_(std::make_unique<WorkBuffer>()) {}

void UpdateProcedure::failWith(int messageId) {
  window_.showMessage(loadString(messageId), loadString(IDS_ERROR_CAPTION), MessageIcon::Stop);
  window_.restoreControls();
}

bool UpdateProcedure::mustEnd() {
  if (window_.signals().replyStatus.load() == kStatusStop) return true;
  if (!window_.deviceRemoved()) return false;
  failWith(IDS_DEVICE_DISCONNECTED);
  return true;
}

template <typename Send>
void UpdateProcedure::sendTracked(Send send) {
  const int64_t startUs = clock_.nowUs();
  if (send() == 0) ledger_.sent(startUs, clock_.nowUs());
  // A request repeated before this one left is counted by now: it was read before its answer.
  troublesAtLastSend_ = window_.transportTroubles();
}

std::vector<Answer> UpdateProcedure::takeAnswers() {
  std::vector<Answer> answers = window_.signals().answers.takeAll();
  // An Identity Reply answers nothing but the Identity Request, however late it comes.
  if (stepsBegun_ >= 1) {
    std::erase_if(answers, [](const Answer& a) { return a.kind == AnswerKind::Identity; });
  }
  return answers;
}

int UpdateProcedure::beginStep() {
  ledger_.nextStep();
  ++stepsBegun_;
  troublesBefore_ = troublesAtStepStart_;
  troublesAtStepStart_ = window_.transportTroubles();
  return settleOwedAnswers();
}

int UpdateProcedure::settleOwedAnswers() {
  UpdateSignals& signals = window_.signals();
  // An answer still owed by an earlier step, taken for this one's, could make a step that failed
  // count as done: let them all arrive, or the time in which they could, first.
  for (;;) {
    if (mustEnd()) return -1;
    for (const Answer& answer : takeAnswers()) ledger_.take(answer);
    const int64_t nowUs = clock_.nowUs();
    if (!ledger_.owes(nowUs)) return 0;
    clock_.waitFor(signals.replyEvent, wholeMsUntil(nowUs, ledger_.owedUntilUs()) + 1);
  }
}

UpdateProcedure::Outcome UpdateProcedure::awaitOwnAnswer(int64_t timeoutMs, Answer* answer) {
  UpdateSignals& signals = window_.signals();
  const int64_t deadlineUs = clock_.nowUs() + timeoutMs * 1000;
  for (;;) {
    if (mustEnd()) return Outcome::Stopped;
    bool answered = false;
    // Several answers before one wake-up: the last of this step's answers the latest send.
    for (const Answer& received : takeAnswers()) {
      if (ledger_.take(received) == AnswerLedger::Verdict::Own) {
        *answer = received;
        answered = true;
      }
    }
    if (answered && answer->kind == AnswerKind::Identity) return Outcome::Answered;
    if (answered) {
      // The device's 255 reads as the window's stop, as it always has.
      if (answer->value == kStatusStop) return Outcome::Stopped;
      // The transport reported a late cycle between the start of the step before and this
      // step's last send: a request sent before that may have reached the device twice, and
      // its second answer be the one taken here. A late cycle after the last send can only
      // have repeated that send, whose answers are all this step's.
      if (answer->value == kStatusOk && stepsBegun_ >= 2 &&
          troublesAtLastSend_ != troublesBefore_) {
        ledger_.doubt();
        if (settleOwedAnswers() != 0) return Outcome::Stopped;
        troublesBefore_ = troublesAtStepStart_ = window_.transportTroubles();
        return Outcome::Doubtful;
      }
      return Outcome::Answered;
    }
    int64_t waitMs = kNoTimeLimit;
    if (timeoutMs != kNoTimeLimit) {
      const int64_t nowUs = clock_.nowUs();
      if (nowUs >= deadlineUs) return Outcome::TimedOut;
      waitMs = wholeMsUntil(nowUs, deadlineUs);
    }
    clock_.waitFor(signals.replyEvent, waitMs);
  }
}

int UpdateProcedure::runUpdate() {
  UpdateSignals& signals = window_.signals();
  signals.answers.clear();
  ledger_ = AnswerLedger{};
  stepsBegun_ = 0;
  troublesBefore_ = troublesAtStepStart_ = troublesAtLastSend_ = window_.transportTroubles();

  window_.stepText(format(kStepCounterStartFormat, static_cast<int>(plan_.size())));

  sendTracked([&] {
    const int result = sendIdentityRequest(sender_);
    if (result != 0 && !window_.deviceRemoved()) {
      window_.showMessage(loadString(IDS_CANT_OPEN_MIDI_OUT), loadString(IDS_ERROR_CAPTION),
                          MessageIcon::Stop);
    }
    return result;
  });

  Answer identity;
  switch (awaitOwnAnswer(kIdentityWaitMs, &identity)) {
    case Outcome::TimedOut: failWith(IDS_TIMEOUT_IDENTITY); return 0;
    case Outcome::Stopped: return 0;
    case Outcome::Answered:
    case Outcome::Doubtful: break;
  }
  if (identity.kind != AnswerKind::Identity && identity.value != kStatusOk) {
    failWith(IDS_ILLEGAL_DEVICE);
    return 0;
  }

  modelId.store(identity.kind == AnswerKind::Identity ? static_cast<uint8_t>(identity.value)
                                                      : signals.reportedModel.load());

  if (!isAcceptedModel(modelId.load())) {
    failWith(IDS_ILLEGAL_DEVICE);
    return 0;
  }

  identityReplyModel.store(modelId.load());

  if (beginStep() != 0) return 0;
  sendTracked([&] { return sendBeginUpdate(*work_, sender_); });

  window_.statusText(loadString(IDS_ERASING_FLASH));
  Answer begin;
  const Outcome beginOutcome = awaitOwnAnswer(kNoTimeLimit, &begin);
  window_.statusText("");
  if (beginOutcome == Outcome::Stopped) return 0;
  if (beginOutcome == Outcome::Doubtful) {
    failWith(IDS_TRANSFER_ERROR);
    return 0;
  }

  switch (begin.value) {
    case kStatusOk: break;
    case kStatusNotInUpdateMode: failWith(IDS_SET_VERSIONUP_MODE); return 0;
    default: failWith(IDS_TRANSFER_ERROR); return 0;
  }

  clock_.pause(kAfterBeginUpdatePauseMs);

  if (runPlan() != 0) return 0;

  if (beginStep() != 0) return 0;
  sendTracked([&] { return sendEndUpdate(*work_, sender_); });

  // A failure status here must not be reported as a completed update.
  Answer end;
  switch (awaitOwnAnswer(kEndUpdateWaitMs, &end)) {
    case Outcome::TimedOut:
    case Outcome::Doubtful: failWith(IDS_TRANSFER_ERROR); return 0;
    case Outcome::Stopped: return 0;
    case Outcome::Answered: break;
  }
  if (end.value != kStatusOk) {
    failWith(IDS_TRANSFER_ERROR);
    return 0;
  }

  window_.statusText(loadString(IDS_UPDATE_COMPLETED));
  window_.restoreControls();
  window_.enableExecute(false);
  return 0;
}

int UpdateProcedure::runPlan() {
  const int steps = static_cast<int>(plan_.size());
  for (int i = 0; i < steps; ++i) {
    const FlashStep& step = plan_[static_cast<std::size_t>(i)];
    window_.stepText(format(kStepCounterFormat, i + 1, steps));
    int result = 0;
    if (step.kind == kStepErase) {
      result = eraseStep(step.address, step.length);
    } else if (step.kind == kStepWrite) {
      result = writeStep(step.address, step.length, step.payload);
    }
    if (result == -1) return -1;
  }
  return 0;
}

int UpdateProcedure::eraseStep(uint32_t address, uint32_t length) {
  window_.progressRange(0, kEraseProgressHigh);
  if (beginStep() != 0) return -1;
  for (int sends = 1;; ++sends) {
    sendTracked([&] { return sendEraseFlash(*work_, sender_, modelId.load(), address, length); });
    window_.progressPosition(kEraseProgressSent);
    window_.statusText(loadString(IDS_ERASING_FLASH));

    Answer answer;
    const Outcome outcome = awaitOwnAnswer(kEraseWaitMs, &answer);
    if (outcome == Outcome::TimedOut) {
      failWith(IDS_TIMEOUT_ERASE);
      return -1;
    }
    if (outcome == Outcome::Stopped) return -1;
    if (outcome == Outcome::Answered && answer.value == kStatusOk) {
      window_.progressPosition(kEraseProgressHigh);
      return 0;
    }
    if (sends == kMaxSendsPerStep) {
      failWith(IDS_TRANSFER_ERROR);
      return -1;
    }
    clock_.pause(kResendPauseMs);
  }
}

int UpdateProcedure::writeStep(uint32_t address, uint32_t length, uint32_t payloadId) {
  const Payload image = payload(payloadId);
  if (length == 0) length = image.size;
  // Never read past an image, nor send a short last chunk the device does not expect.
  if (image.bytes == nullptr || length > image.size || length % kChunkLength != 0) {
    failWith(IDS_TRANSFER_ERROR);
    return -1;
  }
  window_.progressRange(0, static_cast<int32_t>(length));
  for (uint32_t offset = 0; offset < length; offset += kChunkLength) {
    if (beginStep() != 0) return -1;
    for (int sends = 1;; ++sends) {
      sendTracked([&] {
        return sendWriteData(*work_, sender_, modelId.load(), image.bytes + offset,
                             address + offset, kChunkLength);
      });
      window_.statusText(format(loadString(IDS_DATA_TRANSMIT), static_cast<int>(offset),
                                static_cast<int>(length)));

      Answer answer;
      const Outcome outcome = awaitOwnAnswer(kChunkWaitMs, &answer);
      if (outcome == Outcome::Stopped) return -1;
      if (outcome == Outcome::Answered && answer.value == kStatusOk) break;
      if (sends == kMaxSendsPerStep) {
        failWith(outcome == Outcome::TimedOut ? IDS_TIMEOUT_CHUNK : IDS_TRANSFER_ERROR);
        return -1;
      }
      clock_.pause(kResendPauseMs);
    }
    window_.progressPosition(static_cast<int32_t>(offset + kChunkLength));
  }
  return 0;
}

int runUpdate(UpdateHost& window, UpdateClock& clock) {
  UpdateProcedure procedure(window, clock);
  return procedure.runUpdate();
}

}  // namespace rt88h
