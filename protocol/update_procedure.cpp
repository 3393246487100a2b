#include "protocol/update_procedure.h"

#include <array>
#include <initializer_list>
#include <string>
#include <utility>

#include "resources/string_table.h"

namespace rt88h {
namespace {

constexpr std::array<uint8_t, 2> kAcceptedModels{0x58, 0x57};

constexpr int64_t kIdentityWaitMs = 30000;
constexpr int64_t kEraseWaitMs = 30000;
constexpr int64_t kChunkWaitMs = 1000;
constexpr int64_t kEndUpdateWaitMs = 30000;
constexpr uint32_t kAfterBeginUpdatePauseMs = 500;
constexpr uint32_t kResendPauseMs = 100;
// A wait for the dispatcher's next pass wakes at the latest after this, to look again.
constexpr int64_t kQuietCheckMs = 100;

constexpr int32_t kEraseProgressHigh = 10;
constexpr int32_t kEraseProgressSent = 1;

// The pattern with each %d replaced by the next number: the update's patterns take numbers only.
std::string withNumbers(std::string_view pattern, std::initializer_list<int> numbers) {
  constexpr std::string_view kNumber = "%d";
  std::string text;
  const int* next = numbers.begin();
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (next != numbers.end() && pattern.substr(i, kNumber.size()) == kNumber) {
      text += std::to_string(*next++);
      i += kNumber.size() - 1;
    } else {
      text += pattern[i];
    }
  }
  return text;
}

std::string stepCounterText(int step, int steps) {
  return step == 0 ? withNumbers(kStepCounterStartFormat, {steps})
                   : withNumbers(kStepCounterFormat, {step, steps});
}

std::string dataTransmitText(uint32_t offset, uint32_t length) {
  return withNumbers(loadString(IDS_DATA_TRANSMIT),
                     {static_cast<int>(offset), static_cast<int>(length)});
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

UpdateProcedure::UpdateProcedure(const UpdateHost& host, UpdateClock& clock,
                                 std::span<const FlashStep> plan)
    : host_(host),
      clock_(clock),
      plan_(plan),
      sender_(host.link, host.view),
      work_(std::make_unique<WorkBuffer>()) {}

int UpdateProcedure::runUpdate() {
  host_.signals.answers.clear();
  ledger_ = AnswerLedger(host_.link.transportTroubles());
  ownAnswer_.reset();
  reportedStep_ = 0;
  reportedAddress_ = 0;
  if (identify() == 0 && begin() == 0 && runPlan() == 0) end();
  return 0;
}

int UpdateProcedure::identify() {
  host_.view.stepText(stepCounterText(0, static_cast<int>(plan_.size())));
  sendTracked([&] {
    const int result = sendIdentityRequest(sender_);
    if (result != 0) {
      host_.view.showMessage(loadString(IDS_CANT_OPEN_MIDI_OUT), loadString(IDS_ERROR_CAPTION),
                             MessageIcon::Stop);
    }
    report(UpdateEvent::Started);
    return result;
  });

  Answer identity;
  switch (awaitOwnAnswer(kIdentityWaitMs, &identity)) {
    case Outcome::TimedOut:
      report(UpdateEvent::TimedOut);
      failWith(IDS_TIMEOUT_IDENTITY);
      return -1;
    case Outcome::Stopped: finish(0); return -1;
    case Outcome::Answered: break;
  }
  if (identity.kind != AnswerKind::Identity && identity.value != kStatusOk) {
    failWith(IDS_ILLEGAL_DEVICE);
    return -1;
  }
  modelId.store(identity.kind == AnswerKind::Identity ? static_cast<uint8_t>(identity.value)
                                                      : host_.signals.reportedModel.load());
  report(UpdateEvent::Identified, modelId.load());
  if (!isAcceptedModel(modelId.load())) {
    failWith(IDS_ILLEGAL_DEVICE);
    return -1;
  }
  identityReplyModel.store(modelId.load());
  return 0;
}

int UpdateProcedure::begin() {
  if (beginStep() != 0) {
    finish(0);
    return -1;
  }
  report(UpdateEvent::StepBegun);
  sendTracked([&] { return sendBeginUpdate(*work_, sender_); });

  host_.view.statusText(loadString(IDS_ERASING_FLASH));
  Answer answer;
  const Outcome outcome = awaitOwnAnswer(kNoTimeLimit, &answer);
  host_.view.statusText("");
  if (outcome != Outcome::Answered) {
    finish(0);
    return -1;
  }
  if (answer.value != kStatusOk) {
    report(UpdateEvent::Refused, answer.value);
    failWith(answer.value == kStatusNotInUpdateMode ? IDS_SET_VERSIONUP_MODE : IDS_TRANSFER_ERROR);
    return -1;
  }
  clock_.pause(kAfterBeginUpdatePauseMs);
  return 0;
}

int UpdateProcedure::runPlan() {
  const int steps = static_cast<int>(plan_.size());
  for (int i = 0; i < steps; ++i) {
    const FlashStep& step = plan_[static_cast<std::size_t>(i)];
    host_.view.stepText(stepCounterText(i + 1, steps));
    reportedStep_ = i + 1;
    reportedAddress_ = step.address;
    report(UpdateEvent::StepBegun);
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
  host_.view.progressRange(0, kEraseProgressHigh);
  if (beginStep() != 0) {
    finish(0);
    return -1;
  }
  for (int sends = 1;; ++sends) {
    if (sends > 1) report(UpdateEvent::Resent, sends);
    sendTracked([&] { return sendEraseFlash(*work_, sender_, modelId.load(), address, length); });
    host_.view.progressPosition(kEraseProgressSent);
    host_.view.statusText(loadString(IDS_ERASING_FLASH));

    Answer answer;
    const Outcome outcome = awaitOwnAnswer(kEraseWaitMs, &answer);
    if (outcome == Outcome::TimedOut) {
      report(UpdateEvent::TimedOut);
      failWith(IDS_TIMEOUT_ERASE);
      return -1;
    }
    if (outcome == Outcome::Stopped) {
      finish(0);
      return -1;
    }
    if (answer.value == kStatusOk) {
      host_.view.progressPosition(kEraseProgressHigh);
      return 0;
    }
    report(UpdateEvent::Refused, answer.value);
    if (sends == kMaxSendsPerStep) {
      failWith(IDS_TRANSFER_ERROR);
      return -1;
    }
    clock_.pause(kResendPauseMs);
    if (readyToSend() != 0) {
      finish(0);
      return -1;
    }
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
  host_.view.progressRange(0, static_cast<int32_t>(length));
  for (uint32_t offset = 0; offset < length; offset += kChunkLength) {
    reportedAddress_ = address + offset;
    if (beginStep() != 0) {
      finish(0);
      return -1;
    }
    for (int sends = 1;; ++sends) {
      if (sends > 1) report(UpdateEvent::Resent, sends);
      sendTracked([&] {
        return sendWriteData(*work_, sender_, modelId.load(), image.bytes + offset,
                             address + offset, kChunkLength);
      });
      host_.view.statusText(dataTransmitText(offset, length));

      Answer answer;
      const Outcome outcome = awaitOwnAnswer(kChunkWaitMs, &answer);
      if (outcome == Outcome::Stopped) {
        finish(0);
        return -1;
      }
      if (outcome == Outcome::Answered && answer.value == kStatusOk) break;
      if (outcome == Outcome::TimedOut) {
        report(UpdateEvent::TimedOut);
      } else {
        report(UpdateEvent::Refused, answer.value);
      }
      if (sends == kMaxSendsPerStep) {
        failWith(outcome == Outcome::TimedOut ? IDS_TIMEOUT_CHUNK : IDS_TRANSFER_ERROR);
        return -1;
      }
      clock_.pause(kResendPauseMs);
      if (readyToSend() != 0) {
        finish(0);
        return -1;
      }
    }
    host_.view.progressPosition(static_cast<int32_t>(offset + kChunkLength));
  }
  return 0;
}

int UpdateProcedure::end() {
  reportedStep_ = static_cast<int>(plan_.size()) + 1;
  reportedAddress_ = 0;
  if (beginStep() != 0) {
    finish(0);
    return -1;
  }
  report(UpdateEvent::StepBegun);
  sendTracked([&] { return sendEndUpdate(*work_, sender_); });

  // A failure status here must not be reported as a completed update.
  Answer answer;
  switch (awaitOwnAnswer(kEndUpdateWaitMs, &answer)) {
    case Outcome::TimedOut:
      report(UpdateEvent::TimedOut);
      failWith(IDS_TRANSFER_ERROR);
      return -1;
    case Outcome::Stopped: finish(0); return -1;
    case Outcome::Answered: break;
  }
  if (answer.value != kStatusOk) {
    report(UpdateEvent::Refused, answer.value);
    failWith(IDS_TRANSFER_ERROR);
    return -1;
  }
  finish(IDS_UPDATE_COMPLETED);
  host_.view.statusText(loadString(IDS_UPDATE_COMPLETED));
  host_.view.restoreControls();
  host_.view.enableExecute(false);
  return 0;
}

void UpdateProcedure::failWith(int messageId) {
  finish(messageId);
  host_.view.showMessage(loadString(messageId), loadString(IDS_ERROR_CAPTION), MessageIcon::Stop);
  host_.view.restoreControls();
}

void UpdateProcedure::report(UpdateEvent event, int32_t value, int messageId) {
  if (host_.report == nullptr) return;
  UpdateRecord record;
  record.event = event;
  record.step = reportedStep_;
  record.address = reportedAddress_;
  record.value = value;
  record.messageId = messageId;
  record.atUs = clock_.nowUs();
  if (event == UpdateEvent::StepBegun && reportedStep_ >= 1 &&
      reportedStep_ <= static_cast<int>(plan_.size())) {
    record.length = plan_[static_cast<std::size_t>(reportedStep_ - 1)].length;
  }
  host_.report->record(record);
}

void UpdateProcedure::finish(int messageId) {
  report(UpdateEvent::Finished, 0, messageId);
}

bool UpdateProcedure::stopRequested() {
  return host_.signals.replyStatus.load() == kStatusStop;
}

template <typename Send>
void UpdateProcedure::sendTracked(Send send) {
  const int64_t startUs = clock_.nowUs();
  if (send() != 0) return;
  // A late cycle that repeated this request was counted before the send returned.
  if (ledger_.sent(startUs, clock_.nowUs(), host_.link.transportTroubles())) {
    report(UpdateEvent::Doubted);
  }
}

void UpdateProcedure::takeAnswers() {
  AnswerLog::Taken taken = host_.signals.answers.takeAll();
  completeUntilUs_ = taken.completeUntilUs;
  // Several answers before one wake-up: the last of this step's answers the latest send.
  for (const Answer& answer : taken.answers) {
    if (ledger_.take(answer) == AnswerLedger::Verdict::Own) ownAnswer_ = answer;
  }
}

int UpdateProcedure::beginStep() {
  ledger_.nextStep();
  ownAnswer_.reset();
  return readyToSend();
}

int UpdateProcedure::readyToSend() {
  AutoResetEvent& replied = host_.signals.replyEvent;
  for (;;) {
    if (stopRequested()) return -1;
    takeAnswers();
    const int64_t nowUs = clock_.nowUs();
    if (ledger_.owes(nowUs)) {
      // An answer still owed by an earlier step, taken for this one's, could make a step that
      // failed count as done: let them all arrive, or the time in which they could, first.
      clock_.waitFor(replied, wholeMsUntil(nowUs, ledger_.owedUntilUs()) + 1);
    } else if (completeUntilUs_ >= ledger_.quietFromUs()) {
      return 0;
    } else if (!host_.signals.answers.drainedFrom(ledger_.quietFromUs())) {
      clock_.waitFor(replied, kQuietCheckMs);
    }
  }
}

UpdateProcedure::Outcome UpdateProcedure::awaitOwnAnswer(int64_t timeoutMs, Answer* answer) {
  const int64_t deadlineUs = clock_.nowUs() + timeoutMs * 1000;
  for (;;) {
    if (stopRequested()) return Outcome::Stopped;
    takeAnswers();
    if (ownAnswer_) {
      *answer = *std::exchange(ownAnswer_, std::nullopt);
      // The device's 255 reads as the window's stop, as it always has.
      if (answer->kind == AnswerKind::Status && answer->value == kStatusStop) {
        return Outcome::Stopped;
      }
      return Outcome::Answered;
    }
    int64_t waitMs = kNoTimeLimit;
    if (timeoutMs != kNoTimeLimit) {
      const int64_t nowUs = clock_.nowUs();
      if (nowUs >= deadlineUs) return Outcome::TimedOut;
      waitMs = wholeMsUntil(nowUs, deadlineUs);
    }
    clock_.waitFor(host_.signals.replyEvent, waitMs);
  }
}

int runUpdate(const UpdateHost& host, UpdateClock& clock) {
  UpdateProcedure procedure(host, clock);
  return procedure.runUpdate();
}

}  // namespace rt88h
