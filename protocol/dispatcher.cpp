#include "protocol/dispatcher.h"

#include "protocol/received.h"
#include "resources/string_table.h"

namespace rt88h {
namespace {

constexpr uint8_t kNakCode = 0x01;

// Once the window has asked for a stop, a late reply must not hide it from the worker.
void recordStatus(UpdateSignals& signals, int32_t status) {
  int32_t current = signals.replyStatus.load();
  while (current != kStatusStop && !signals.replyStatus.compare_exchange_weak(current, status)) {
  }
}

}  // namespace

int sendUpdateMessage(UpdateLink& link, UpdateView& view, const uint8_t* bytes, uint32_t length) {
  if (link.sendLong(bytes, length) == 1) return 0;
  view.showMessage(kMidiOutError, {}, MessageIcon::None);
  return -1;
}

void ReplyDispatcher::dispatchReplies() {
  // Whatever reached the queue before this moment is taken in this pass.
  const int64_t startedUs = clock_.nowUs();
  const uint8_t* bytes = nullptr;
  uint32_t count = 0;
  Arrival arrival;
  while (link_.peekSysEx(&bytes, &count, &arrival)) {
    // A link that cannot tell when a message arrived: the pass's start is the nearest time.
    if (arrival.atUs < 0) arrival.atUs = startedUs;
    const Received received = classifyReceived(bytes, count, modelId.load());
    auto answered = [&](AnswerKind kind, int32_t status, int32_t value) {
      recordStatus(signals_, status);
      signals_.answers.append({kind, value, arrival});
      signals_.replyEvent.set();
    };
    switch (received.kind) {
      case ReceivedKind::DeviceStatus:
        answered(AnswerKind::Status, received.value, received.value);
        break;
      case ReceivedKind::DeviceDone: answered(AnswerKind::Status, kStatusOk, kStatusOk); break;
      case ReceivedKind::DeviceAckRequest: sendAck(work_, sender_); break;
      case ReceivedKind::DeviceNakRequest:
      case ReceivedKind::UniversalNakRequest: sendNak(work_, sender_, kNakCode); break;
      case ReceivedKind::IdentityRequest: sendIdentityReply(sender_); break;
      case ReceivedKind::IdentityReply:
        signals_.reportedModel.store(received.value);
        answered(AnswerKind::Identity, kStatusOk, received.value);
        break;
      case ReceivedKind::DeviceSilent:
      case ReceivedKind::Ignored: break;
    }
    link_.popSysEx();
    arrival = {};
  }
  if (signals_.answers.drained(startedUs)) signals_.replyEvent.set();
}

}  // namespace rt88h
