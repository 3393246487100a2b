#pragma once
// The window's view operations and the update's record as log lines, from any thread:
// "status:TEXT", "step:TEXT", "range:LOW-HIGH", "pos:N", "restore", "execute:on|off",
// "box:TEXT|CAPTION|stop|none" (boxes close at once), "report:EVENT:STEP:VALUE" and
// "report:finished:TEXT".
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/update_host.h"

namespace rt88h::testing {

class RecordingView final : public UpdateView, public UpdateReport {
 public:
  // restoreControls clears `busy`, as the window's does; `now` stamps the lines (none: 0).
  explicit RecordingView(UpdateSignals& signals, std::function<int64_t()> now = {});

  void statusText(std::string_view text) override;
  void stepText(std::string_view text) override;
  void progressRange(int32_t low, int32_t high) override;
  void progressPosition(int32_t value) override;
  void restoreControls() override;
  void enableExecute(bool on) override;
  void showMessage(std::string_view text, std::string_view caption, MessageIcon icon) override;
  void record(const UpdateRecord& record) override;

  // What Execute does to the controls before the worker starts.
  void disableControls();
  // The window is gone: boxes from now on are logged as "unshown-box:".
  void close();

  // The log without times, and the lines that begin with `prefix`.
  std::vector<std::string> log(std::string_view prefix = {}) const;
  std::vector<std::pair<int64_t, std::string>> timedLog() const;
  bool controlsEnabled() const;
  bool executeEnabled() const;
  // Waits until a line begins with `prefix`, or the limit passed.
  bool waitForLine(std::string_view prefix, std::chrono::milliseconds limit);
  // Waits until the controls were given back, or the limit passed.
  bool waitForRestore(std::chrono::milliseconds limit);

 private:
  void note(std::string line);

  UpdateSignals& signals_;
  std::function<int64_t()> now_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::pair<int64_t, std::string>> log_;
  bool controlsEnabled_ = true;
  bool executeEnabled_ = true;
  bool closed_ = false;
};

}  // namespace rt88h::testing
