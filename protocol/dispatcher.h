#pragma once
// The only consumer of what the device sends: runs on every timer tick.
#include <cstdint>

#include "protocol/messages.h"
#include "protocol/update_clock.h"
#include "protocol/update_host.h"

namespace rt88h {

// The one way any message leaves: 0 sent; -1 after "Midi Out Error" has been shown.
int sendUpdateMessage(UpdateLink& link, UpdateView& view, const uint8_t* bytes, uint32_t length);

// sendUpdateMessage in the shape the message operations take.
class HostSender final : public MessageSender {
 public:
  HostSender(UpdateLink& link, UpdateView& view) : link_(link), view_(view) {}
  int sendUpdateMessage(const uint8_t* bytes, uint32_t length) override {
    return rt88h::sendUpdateMessage(link_, view_, bytes, length);
  }

 private:
  UpdateLink& link_;
  UpdateView& view_;
};

class ReplyDispatcher {
 public:
  // `clock`: the update's, which stamps what the link leaves unstamped.
  ReplyDispatcher(UpdateLink& link, UpdateView& view, UpdateSignals& signals,
                  UpdateClock& clock = realClock())
      : link_(link), signals_(signals), clock_(clock), sender_(link, view) {}
  // Drains the receive queue: answers device requests, records replies, wakes the procedure.
  void dispatchReplies();

 private:
  UpdateLink& link_;
  UpdateSignals& signals_;
  UpdateClock& clock_;
  HostSender sender_;
  WorkBuffer work_;  // the timer thread's own
};

}  // namespace rt88h
