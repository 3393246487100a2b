#include "dispatcher.h"

#include "received.h"
#include "string_table.h"
#include "update_clock.h"

namespace rt88h {
namespace {

constexpr uint8_t kNakCode = 0x01;

// Once the window has asked for a stop, a late reply must not hide it from the worker.
void recordStatus(UpdateSignals& signals, int32_t status) {
  int32_t current = signals.replyStatus.load();
  while (current != kStatusStop && !signals.replyStatus.compare_exchange_weak(current, status)) {
  }
}

void recordAnswer(UpdateSignals& signals, Arrival arrival, AnswerKind kind, int32_t value) {
  // A host that cannot tell when a message arrived: now is the nearest later time.
  if (arrival.atUs < 0) arrival.atUs = steadyNowUs();
  signals.answers.append({kind, value, arrival.atUs, arrival.cycle});
}

}  // namespace

int sendUpdateMessage(UpdateHost& window, const uint8_t* bytes, uint32_t length) {
  if (window.sendLong(bytes, length) == 1) return 0;
  if (!window.deviceRemoved()) window.showMessage(kMidiOutError, {}, MessageIcon::None);
  return -1;
}

void ReplyDispatcher::dispatchReplies() {
  UpdateSignals& signals = window_.signals();
  // A vanished device answers nothing: its absence is the procedure's wake-up.
  if (window_.deviceRemoved()) signals.replyEvent.set();
  const uint8_t* bytes = nullptr;
  uint32_t count = 0;
  while (window_.peekSysEx(&bytes, &count)) {
    const Received received = classifyReceived(bytes, count, modelId.load());
    switch (received.kind) {
      case ReceivedKind::DeviceStatus:
        recordStatus(signals, received.value);
        recordAnswer(signals, window_.peekArrival(), AnswerKind::Status, received.value);
        signals.replyEvent.set();
        break;
      case ReceivedKind::DeviceDone:
        recordStatus(signals, kStatusOk);
        recordAnswer(signals, window_.peekArrival(), AnswerKind::Status, kStatusOk);
        signals.replyEvent.set();
        break;
      case ReceivedKind::DeviceAckRequest: sendAck(work_, sender_); break;
      case ReceivedKind::DeviceNakRequest:
      case ReceivedKind::UniversalNakRequest: sendNak(work_, sender_, kNakCode); break;
      case ReceivedKind::IdentityRequest: sendIdentityReply(sender_); break;
      case ReceivedKind::IdentityReply:
        recordStatus(signals, kStatusOk);
        signals.reportedModel.store(received.value);
        recordAnswer(signals, window_.peekArrival(), AnswerKind::Identity, received.value);
        signals.replyEvent.set();
        break;
      case ReceivedKind::DeviceSilent:
      case ReceivedKind::Ignored: break;
    }
    window_.popSysEx();
  }
}

}  // namespace rt88h
