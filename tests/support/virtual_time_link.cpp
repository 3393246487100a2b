#include "virtual_time_link.h"

#include <algorithm>
#include <limits>

namespace rt88h::testing {

VirtualTimeLink::VirtualTimeLink(DeviceFunction device)
    : device_(std::move(device)), dispatcher_(*this) {}

void VirtualTimeLink::note(std::string line) {
  log_.emplace_back(now_, std::move(line));
}

void VirtualTimeLink::statusText(std::string_view text) {
  note("status:" + std::string(text));
}
void VirtualTimeLink::stepText(std::string_view text) {
  note("step:" + std::string(text));
}
void VirtualTimeLink::progressRange(int32_t low, int32_t high) {
  note("range:" + std::to_string(low) + "-" + std::to_string(high));
}
void VirtualTimeLink::progressPosition(int32_t value) {
  note("pos:" + std::to_string(value));
}
void VirtualTimeLink::restoreControls() {
  controlsEnabled_ = true;
  executeEnabled_ = true;
  signals_.busy.store(0);
  note("restore");
}
void VirtualTimeLink::enableExecute(bool on) {
  executeEnabled_ = on;
  note(on ? "execute:on" : "execute:off");
}
void VirtualTimeLink::showMessage(std::string_view text, std::string_view caption,
                                  MessageIcon icon) {
  note("box:" + std::string(text) + "|" + std::string(caption) +
       (icon == MessageIcon::Stop ? "|stop" : "|none"));
}

int VirtualTimeLink::sendLong(const uint8_t* bytes, uint32_t length) {
  Bytes message(bytes, bytes + length);
  if (!portsOpen_ || unplugged_ || (sendFails_ && sendFails_(message))) {
    note("send-failed");
    return 0;
  }
  sent_.push_back(message);
  sendTimes_.push_back(now_);
  std::vector<TimedReply> replies;
  device_(message, replies);
  for (TimedReply& reply : replies) inFlight_.emplace(now_ + reply.delayMs, std::move(reply.bytes));
  if (afterSend_) afterSend_(message, sent_.size() - 1);
  return 1;
}

bool VirtualTimeLink::peekSysEx(const uint8_t** bytes, uint32_t* count) {
  if (queue_.empty()) return false;
  *bytes = queue_.front().bytes.data();
  *count = static_cast<uint32_t>(queue_.front().bytes.size());
  return true;
}

Arrival VirtualTimeLink::peekArrival() {
  if (queue_.empty()) return {};
  const int64_t atMs = queue_.front().atMs;
  return {atMs * 1000, cycleMs_ > 0 ? atMs / cycleMs_ : -1};
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
      if (portsOpen_ && !unplugged_) queue_.push_back({std::move(inFlight_.begin()->second), now_});
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
  const int64_t deadline = timeoutMs < 0 ? now_ + kHangLimitMs : now_ + timeoutMs;
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
  controlsEnabled_ = false;
  executeEnabled_ = false;
  signals_.busy.store(1);
  signals_.replyEvent.reset();
}

void VirtualTimeLink::requestStop() {
  portsOpen_ = false;
  signals_.replyStatus.store(kStatusStop);
  signals_.replyEvent.set();
  note("stop");
}

void VirtualTimeLink::injectAt(int64_t timeMs, Bytes bytes) {
  inFlight_.emplace(timeMs, std::move(bytes));
}

void VirtualTimeLink::at(int64_t timeMs, std::function<void()> action) {
  actions_.emplace(timeMs, std::move(action));
}

std::vector<std::string> VirtualTimeLink::log(std::string_view prefix) const {
  std::vector<std::string> lines;
  for (const auto& [time, line] : log_) {
    if (prefix.empty() || std::string_view(line).substr(0, prefix.size()) == prefix) {
      lines.push_back(line);
    }
  }
  return lines;
}

}  // namespace rt88h::testing
