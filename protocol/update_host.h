#pragma once
// What the window lends the protocol, in the parts each user takes: its view, its link (the two
// ports), the signals it shares, and where the update's record goes.
#include <cstdint>
#include <string_view>

#include "base/arrival.h"
#include "protocol/update_report.h"
#include "protocol/update_signals.h"

namespace rt88h {

enum class MessageIcon { None, Stop };

// What the update shows, from the worker's thread.
class UpdateView {
 public:
  virtual void statusText(std::string_view text) = 0;
  virtual void stepText(std::string_view text) = 0;
  virtual void progressRange(int32_t low, int32_t high) = 0;
  virtual void progressPosition(int32_t value) = 0;
  virtual void restoreControls() = 0;
  virtual void enableExecute(bool on) = 0;
  // Modal, OK button; returns once closed, or at once after the window is gone.
  // An empty caption means the application name.
  virtual void showMessage(std::string_view text, std::string_view caption, MessageIcon icon) = 0;

 protected:
  ~UpdateView() = default;
};

// The window's two ports.
class UpdateLink {
 public:
  // The output port's blocking send of one whole message: 1 sent, 0 not.
  virtual int sendLong(const uint8_t* bytes, uint32_t length) = 0;
  // The input port's queue: the oldest entry and when it arrived, without removing it; false
  // when empty.
  virtual bool peekSysEx(const uint8_t** bytes, uint32_t* count, Arrival* arrival) = 0;
  virtual void popSysEx() = 0;
  // Counts events in which the transport may have lost or repeated messages (late cycles); one
  // that may have repeated a request is counted before that request's send returns.
  virtual uint64_t transportTroubles() { return 0; }

 protected:
  ~UpdateLink() = default;
};

// All of it, as the update procedure borrows it for one run.
struct UpdateHost {
  UpdateView& view;
  UpdateLink& link;
  UpdateSignals& signals;
  UpdateReport* report = nullptr;  // none: nobody keeps a record
};

}  // namespace rt88h
