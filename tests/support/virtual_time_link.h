#pragma once
// The window, the timer and the wire in virtual time: the update procedure runs on the test's
// thread, and every wait advances a simulated clock that delivers the device's answers and
// runs the dispatcher at each 50 ms tick.
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "protocol/dispatcher.h"
#include "protocol/update_clock.h"
#include "protocol/update_host.h"
#include "tests/support/recording_view.h"

namespace rt88h::testing {

using Bytes = std::vector<uint8_t>;

struct TimedReply {
  Bytes bytes;
  uint32_t delayMs = 0;
};

// The device: sees every message sent, appends its answers.
using DeviceFunction = std::function<void(const Bytes& message, std::vector<TimedReply>& replies)>;

class VirtualTimeLink final : public UpdateLink, public UpdateClock {
 public:
  static constexpr int64_t kTickMs = 50;

  explicit VirtualTimeLink(DeviceFunction device);

  // What the procedure borrows: the link, the recording view (also its report) and the signals.
  UpdateHost host() { return {view_, *this, signals_, &view_}; }
  RecordingView& view() { return view_; }
  UpdateSignals& signals() { return signals_; }

  // UpdateLink.
  int sendLong(const uint8_t* bytes, uint32_t length) override;
  bool peekSysEx(const uint8_t** bytes, uint32_t* count, Arrival* arrival) override;
  void popSysEx() override;
  uint64_t transportTroubles() override { return troubles_; }

  // UpdateClock.
  bool waitFor(AutoResetEvent& event, int64_t timeoutMs) override;
  void pause(uint32_t ms) override;
  int64_t nowUs() override { return now_ * 1000; }

  // What the window does before it starts the worker.
  void prepareRun();
  // What the destroy handler does: ports closed, 255, signal.
  void requestStop();

  // Device-initiated message arriving at that time.
  void injectAt(int64_t timeMs, Bytes bytes);
  // Runs `action` at that time (e.g. the window closing).
  void at(int64_t timeMs, std::function<void()> action);
  // Sends for which this returns true fail (the port refuses them).
  void setSendFailure(std::function<bool(const Bytes&)> fails) { sendFails_ = std::move(fails); }
  // Called after each message sent (with its index among all sends).
  void setAfterSend(std::function<void(const Bytes&, std::size_t)> hook) {
    afterSend_ = std::move(hook);
  }
  // A transport that works in cycles of this length, as JACK does: received messages are read
  // at the start of the next cycle and carry its number.
  void setCycleMs(int64_t cycleMs) { cycleMs_ = cycleMs; }
  int64_t cycleMs() const { return cycleMs_; }
  // A wait without a limit that nothing ends for this long counts as hung and ends the run.
  void setHangLimitMs(int64_t limitMs) { hangLimitMs_ = limitMs; }
  // The transport counts a late cycle of ours (during a send: before it returns).
  void reportTrouble() { ++troubles_; }

  int64_t now() const { return now_; }
  bool hung() const { return hung_; }
  const std::vector<Bytes>& sent() const { return sent_; }
  const std::vector<int64_t>& sendTimes() const { return sendTimes_; }
  std::size_t failedSends() const { return failedSends_; }
  // The view's log, as RecordingView has it.
  std::vector<std::string> log(std::string_view prefix = {}) const { return view_.log(prefix); }
  std::vector<std::pair<int64_t, std::string>> timedLog() const { return view_.timedLog(); }
  bool controlsEnabled() const { return view_.controlsEnabled(); }
  bool executeEnabled() const { return view_.executeEnabled(); }

 private:
  // Moves time to `t`, delivering answers due by then and running the ticks on the way.
  void advanceTo(int64_t t);
  int64_t nextMoment() const;
  // When a message due at t is read: at once, or at the start of the next cycle.
  int64_t readAt(int64_t t) const;

  DeviceFunction device_;
  UpdateSignals signals_;
  RecordingView view_;
  ReplyDispatcher dispatcher_;
  int64_t now_ = 0;
  int64_t nextTick_ = kTickMs;
  bool portsOpen_ = true;
  bool hung_ = false;
  std::multimap<int64_t, Bytes> inFlight_;
  std::multimap<int64_t, std::function<void()>> actions_;
  struct Queued {
    Bytes bytes;
    int64_t atMs;
  };
  std::deque<Queued> queue_;
  int64_t cycleMs_ = 0;
  int64_t hangLimitMs_ = 6LL * 3600 * 1000;
  uint64_t troubles_ = 0;
  std::vector<Bytes> sent_;
  std::vector<int64_t> sendTimes_;
  std::size_t failedSends_ = 0;
  std::function<bool(const Bytes&)> sendFails_;
  std::function<void(const Bytes&, std::size_t)> afterSend_;
};

}  // namespace rt88h::testing
