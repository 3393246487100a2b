#pragma once
// The only consumer of what the device sends: runs on every timer tick.
#include <cstdint>

#include "messages.h"
#include "update_host.h"

namespace rt88h {

// The one way any message leaves: 0 sent; -1 after "Midi Out Error" has been shown, or without
// a box when the device has vanished (the update procedure tells that once).
int sendUpdateMessage(UpdateHost& window, const uint8_t* bytes, uint32_t length);

// sendUpdateMessage in the shape the message operations take.
class HostSender final : public MessageSender {
 public:
  explicit HostSender(UpdateHost& window) : window_(window) {}
  int sendUpdateMessage(const uint8_t* bytes, uint32_t length) override {
    return rt88h::sendUpdateMessage(window_, bytes, length);
  }

 private:
  UpdateHost& window_;
};

class ReplyDispatcher {
 public:
  explicit ReplyDispatcher(UpdateHost& window) : window_(window), sender_(window) {}
  // Drains the receive queue: answers device requests, records replies, wakes the procedure.
  void dispatchReplies();

 private:
  UpdateHost& window_;
  HostSender sender_;
  WorkBuffer work_;  // the timer thread's own
};

}  // namespace rt88h
