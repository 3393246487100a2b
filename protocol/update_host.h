#pragma once
// What the window lends the protocol: its view operations, its signals and its two ports.
#include <cstdint>
#include <string_view>

#include "update_signals.h"

namespace rt88h {

enum class MessageIcon { None, Stop };

// When a received message arrived (steady clock, µs) and, where the transport may deliver a
// message twice one cycle apart, the cycle it was read in; -1: not known / never repeated.
struct Arrival {
  int64_t atUs = -1;
  int64_t cycle = -1;
};

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

class UpdateHost : public UpdateView {
 public:
  virtual UpdateSignals& signals() = 0;
  // The output port's blocking send of one whole message: 1 sent, 0 not.
  virtual int sendLong(const uint8_t* bytes, uint32_t length) = 0;
  // The input port's queue: the oldest entry without removing it; false when empty.
  virtual bool peekSysEx(const uint8_t** bytes, uint32_t* count) = 0;
  virtual void popSysEx() = 0;
  // The arrival of the entry peekSysEx returned last.
  virtual Arrival peekArrival() { return {}; }
  // Counts events in which the transport may have lost or repeated messages (late cycles).
  virtual uint64_t transportTroubles() { return 0; }
  // The device behind either port has vanished (unplugged) since the ports were opened; any
  // thread. Its sends then fail and no answer comes.
  virtual bool deviceRemoved() { return false; }

 protected:
  ~UpdateHost() = default;
};

}  // namespace rt88h
