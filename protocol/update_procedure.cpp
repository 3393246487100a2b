#include "update_procedure.h"

#include <array>
#include <cstdio>
#include <string>

#include "flash_plan.h"
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
constexpr int kMaxRetries = 5;  // a seventh failure in a row ends the step

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

}  // namespace

UpdateProcedure::UpdateProcedure(UpdateHost& window, UpdateClock& clock)
    : window_(window), clock_(clock), sender_(window), work_(std::make_unique<WorkBuffer>()) {}

bool UpdateProcedure::waitReply(int64_t timeoutMs) {
  return clock_.waitFor(window_.signals().replyEvent, timeoutMs);
}

void UpdateProcedure::failWith(int messageId) {
  window_.showMessage(loadString(messageId), loadString(IDS_ERROR_CAPTION), MessageIcon::Stop);
  window_.restoreControls();
}

int UpdateProcedure::runUpdate() {
  UpdateSignals& signals = window_.signals();

  window_.stepText(format(kStepCounterStartFormat, kPlanSteps));

  if (sendIdentityRequest(sender_) != 0) {
    window_.showMessage(loadString(IDS_CANT_OPEN_MIDI_OUT), loadString(IDS_ERROR_CAPTION),
                        MessageIcon::Stop);
  }

  if (!waitReply(kIdentityWaitMs)) {
    failWith(IDS_TIMEOUT_IDENTITY);
    return 0;
  }

  if (const int32_t status = signals.replyStatus.load(); status != kStatusOk) {
    if (status != kStatusStop) failWith(IDS_ILLEGAL_DEVICE);
    return 0;
  }

  modelId.store(signals.reportedModel.load());

  if (!isAcceptedModel(modelId.load())) {
    failWith(IDS_ILLEGAL_DEVICE);
    return 0;
  }

  identityReplyModel.store(modelId.load());

  sendBeginUpdate(*work_, sender_);

  window_.statusText(loadString(IDS_ERASING_FLASH));
  waitReply(kNoTimeLimit);
  window_.statusText("");

  switch (const int32_t status = signals.replyStatus.load(); status) {
    case kStatusOk: break;
    case kStatusNotInUpdateMode: failWith(IDS_SET_VERSIONUP_MODE); return 0;
    case kStatusStop: return 0;
    default: failWith(IDS_TRANSFER_ERROR); return 0;
  }

  clock_.pause(kAfterBeginUpdatePauseMs);

  if (runPlan() != 0) return 0;

  sendEndUpdate(*work_, sender_);

  // A failure status here must not be reported as a completed update.
  if (!waitReply(kEndUpdateWaitMs)) {
    failWith(IDS_TRANSFER_ERROR);
    return 0;
  }
  if (const int32_t status = signals.replyStatus.load(); status != kStatusOk) {
    if (status != kStatusStop) failWith(IDS_TRANSFER_ERROR);
    return 0;
  }

  window_.statusText(loadString(IDS_UPDATE_COMPLETED));
  window_.restoreControls();
  window_.enableExecute(false);
  return 0;
}

int UpdateProcedure::runPlan() {
  for (std::size_t i = 0; i < FlashPlan.size(); ++i) {
    const FlashStep& step = FlashPlan[i];
    window_.stepText(format(kStepCounterFormat, static_cast<int>(i + 1), kPlanSteps));
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
  UpdateSignals& signals = window_.signals();
  window_.progressRange(0, kEraseProgressHigh);
  int retries = 0;
  for (;;) {
    sendEraseFlash(*work_, sender_, modelId.load(), address, length);
    window_.progressPosition(kEraseProgressSent);
    window_.statusText(loadString(IDS_ERASING_FLASH));

    if (!waitReply(kEraseWaitMs)) {
      failWith(IDS_TIMEOUT_ERASE);
      return -1;
    }
    const int32_t status = signals.replyStatus.load();
    if (status == kStatusOk) {
      window_.progressPosition(kEraseProgressHigh);
      return 0;
    }
    if (status == kStatusStop) return -1;
    if (retries > kMaxRetries) {
      failWith(IDS_TRANSFER_ERROR);
      return -1;
    }
    ++retries;
    clock_.pause(kResendPauseMs);
  }
}

int UpdateProcedure::writeStep(uint32_t address, uint32_t length, uint32_t payloadId) {
  UpdateSignals& signals = window_.signals();
  const Payload image = payload(payloadId);
  if (length == 0) length = image.size;
  // Never read past an image, nor send a short last chunk the device does not expect.
  if (image.bytes == nullptr || length > image.size || length % kChunkLength != 0) {
    failWith(IDS_TRANSFER_ERROR);
    return -1;
  }
  window_.progressRange(0, static_cast<int32_t>(length));
  uint32_t offset = 0;
  int retries = 0;
  int unanswered = 0;  // sends of this chunk whose wait ran out: their answers may still come
  for (;;) {
    sendWriteData(*work_, sender_, modelId.load(), image.bytes + offset, address + offset,
                  kChunkLength);
    window_.statusText(format(loadString(IDS_DATA_TRANSMIT), static_cast<int>(offset),
                              static_cast<int>(length)));

    if (!waitReply(kChunkWaitMs)) {
      ++unanswered;
      if (retries > kMaxRetries) {
        failWith(IDS_TIMEOUT_CHUNK);
        return -1;
      }
      ++retries;
      clock_.pause(kResendPauseMs);
      continue;
    }
    // Answers carry no chunk number: a late answer to an earlier send must not be taken for a
    // later chunk's, or a chunk that failed would count as written. Let the answers still on
    // their way arrive; the last of them answers the latest send.
    int32_t status = signals.replyStatus.load();
    for (; unanswered > 0 && status != kStatusStop; --unanswered) {
      if (!waitReply(kChunkWaitMs)) break;
      status = signals.replyStatus.load();
    }
    unanswered = 0;

    if (status == kStatusStop) return -1;
    if (status != kStatusOk) {
      if (retries > kMaxRetries) {
        failWith(IDS_TRANSFER_ERROR);
        return -1;
      }
      ++retries;
      clock_.pause(kResendPauseMs);
      continue;
    }
    retries = 0;
    offset += kChunkLength;
    window_.progressPosition(static_cast<int32_t>(offset));
    if (offset >= length) return 0;
  }
}

int runUpdate(UpdateHost& window, UpdateClock& clock) {
  UpdateProcedure procedure(window, clock);
  return procedure.runUpdate();
}

}  // namespace rt88h
