#include "tests/support/virtual_time_link.h"

#include <algorithm>

namespace rt88h::testing {

VirtualTimeLink::VirtualTimeLink(DeviceFunction device)
    : device_(std::move(device)),
      view_(signals_, [this] { return now_; }),
      dispatcher_(*this, view_, signals_, *this) {}

int VirtualTimeLink::sendLong(const uint8_t* bytes, uint32_t length) {
  Bytes message(bytes, bytes + length);
  if (!portsOpen_ || (sendFails_ && sendFails_(message))) {
    ++failedSends_;
    return 0;
  }
  sent_.push_back(message);
  sendTimes_.push_back(now_);
  std::vector<TimedReply> replies;
  device_(message, replies);
  for (TimedReply& reply : replies) {
    inFlight_.emplace(readAt(now_ + reply.delayMs), std::move(reply.bytes));
  }
  if (afterSend_) afterSend_(message, sent_.size() - 1);
  return 1;
}

int64_t VirtualTimeLink::readAt(int64_t t) const {
  return cycleMs_ > 0 ? (t + cycleMs_ - 1) / cycleMs_ * cycleMs_ : t;
}

bool VirtualTimeLink::peekSysEx(const uint8_t** bytes, uint32_t* count, Arrival* arrival) {
  if (queue_.empty()) return false;
  *bytes = queue_.front().bytes.data();
  *count = static_cast<uint32_t>(queue_.front().bytes.size());
  const int64_t atMs = queue_.front().atMs;
  *arrival = {.atUs = atMs * 1000,
              .cycle = cycleMs_ > 0 ? atMs / cycleMs_ : -1,
              .cycleUs = cycleMs_ * 1000};
  return true;
}

void VirtualTimeLink::popSysEx() {
  if (!queue_.empty()) queue_.pop_front();
}

int64_t VirtualTimeLink::nextMoment() const {
  int64_t next = nextTick_;
  if (!inFlight_.empty()) next = std::min(next, inFlight_.begin()->first);
  if (!actions_.empty()) next = std::min(next, actions_.begin()->first);
  return next;
}

void VirtualTimeLink::advanceTo(int64_t t) {
  for (;;) {
    const int64_t moment = nextMoment();
    if (moment > t) break;
    now_ = moment;
    while (!inFlight_.empty() && inFlight_.begin()->first <= now_) {
      // Nothing arrives once the input port is closed.
      if (portsOpen_) queue_.push_back({std::move(inFlight_.begin()->second), now_});
      inFlight_.erase(inFlight_.begin());
    }
    while (!actions_.empty() && actions_.begin()->first <= now_) {
      auto action = std::move(actions_.begin()->second);
      actions_.erase(actions_.begin());
      action();
    }
    if (now_ == nextTick_) {
      dispatcher_.dispatchReplies();
      nextTick_ += kTickMs;
    }
  }
  now_ = std::max(now_, t);
}

bool VirtualTimeLink::waitFor(AutoResetEvent& event, int64_t timeoutMs) {
  const int64_t deadline = timeoutMs < 0 ? now_ + hangLimitMs_ : now_ + timeoutMs;
  for (;;) {
    if (event.tryWait()) return true;
    const int64_t moment = nextMoment();
    if (moment > deadline) {
      advanceTo(deadline);
      if (event.tryWait()) return true;
      if (timeoutMs < 0) {
        // An unlimited wait that nothing ends: report it and let the run end.
        hung_ = true;
        signals_.replyStatus.store(kStatusStop);
        return true;
      }
      return false;
    }
    advanceTo(moment);
  }
}

void VirtualTimeLink::pause(uint32_t ms) {
  advanceTo(now_ + ms);
}

void VirtualTimeLink::prepareRun() {
  view_.disableControls();
  signals_.busy.store(1);
  signals_.replyEvent.reset();
}

void VirtualTimeLink::requestStop() {
  portsOpen_ = false;
  signals_.replyStatus.store(kStatusStop);
  signals_.replyEvent.set();
  view_.close();
}

void VirtualTimeLink::injectAt(int64_t timeMs, Bytes bytes) {
  inFlight_.emplace(readAt(timeMs), std::move(bytes));
}

void VirtualTimeLink::at(int64_t timeMs, std::function<void()> action) {
  actions_.emplace(timeMs, std::move(action));
}

}  // namespace rt88h::testing
