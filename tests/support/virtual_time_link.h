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

#include "dispatcher.h"
#include "update_clock.h"
#include "update_host.h"

namespace rt88h::testing {

using Bytes = std::vector<uint8_t>;

struct TimedReply {
  Bytes bytes;
  uint32_t delayMs = 0;
};

// The device: sees every message sent, appends its answers.
using DeviceFunction = std::function<void(const Bytes& message, std::vector<TimedReply>& replies)>;

class VirtualTimeLink final : public UpdateHost, public UpdateClock {
 public:
  static constexpr int64_t kTickMs = 50;
  static constexpr int64_t kHangLimitMs = 6LL * 3600 * 1000;

  explicit VirtualTimeLink(DeviceFunction device);

  // UpdateHost: view operations are logged as "what:value" lines with their time.
  void statusText(std::string_view text) override;
  void stepText(std::string_view text) override;
  void progressRange(int32_t low, int32_t high) override;
  void progressPosition(int32_t value) override;
  void restoreControls() override;
  void enableExecute(bool on) override;
  void showMessage(std::string_view text, std::string_view caption, MessageIcon icon) override;
  UpdateSignals& signals() override { return signals_; }
  int sendLong(const uint8_t* bytes, uint32_t length) override;
  bool peekSysEx(const uint8_t** bytes, uint32_t* count) override;
  void popSysEx() override;
  Arrival peekArrival() override;
  uint64_t transportTroubles() override { return troubles_; }
  bool deviceRemoved() override { return unplugged_; }

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
  // A transport that works in cycles of this length and may repeat a message one cycle later:
  // received messages carry the number of the cycle they arrived in.
  void setCycleMs(int64_t cycleMs) { cycleMs_ = cycleMs; }
  // The transport reports a late cycle (as JACK's xrun notification does).
  void reportTrouble() { ++troubles_; }
  // The device is unplugged now: what it still had to say is lost, and every send fails.
  void unplug() { unplugged_ = true; }

  int64_t now() const { return now_; }
  bool hung() const { return hung_; }
  const std::vector<Bytes>& sent() const { return sent_; }
  const std::vector<int64_t>& sendTimes() const { return sendTimes_; }
  // The log without times, and the lines that begin with `prefix`.
  std::vector<std::string> log(std::string_view prefix = {}) const;
  std::vector<std::pair<int64_t, std::string>> timedLog() const { return log_; }
  bool controlsEnabled() const { return controlsEnabled_; }
  bool executeEnabled() const { return executeEnabled_; }

 private:
  void note(std::string line);
  // Moves time to `t`, delivering answers due by then and running the ticks on the way.
  void advanceTo(int64_t t);
  int64_t nextMoment() const;

  DeviceFunction device_;
  ReplyDispatcher dispatcher_;
  UpdateSignals signals_;
  int64_t now_ = 0;
  int64_t nextTick_ = kTickMs;
  bool portsOpen_ = true;
  bool unplugged_ = false;
  bool hung_ = false;
  bool controlsEnabled_ = true;
  bool executeEnabled_ = true;
  std::multimap<int64_t, Bytes> inFlight_;
  std::multimap<int64_t, std::function<void()>> actions_;
  struct Queued {
    Bytes bytes;
    int64_t atMs;
  };
  std::deque<Queued> queue_;
  int64_t cycleMs_ = 0;
  uint64_t troubles_ = 0;
  std::vector<Bytes> sent_;
  std::vector<int64_t> sendTimes_;
  std::vector<std::pair<int64_t, std::string>> log_;
  std::function<bool(const Bytes&)> sendFails_;
  std::function<void(const Bytes&, std::size_t)> afterSend_;
};

}  // namespace rt88h::testing
