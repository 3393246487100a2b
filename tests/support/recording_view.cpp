#include "tests/support/recording_view.h"

#include "resources/string_table.h"

namespace rt88h::testing {

RecordingView::RecordingView(UpdateSignals& signals, std::function<int64_t()> now)
    : signals_(signals), now_(std::move(now)) {}

void RecordingView::note(std::string line) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.emplace_back(now_ ? now_() : 0, std::move(line));
  }
  changed_.notify_all();
}

void RecordingView::statusText(std::string_view text) {
  note("status:" + std::string(text));
}
void RecordingView::stepText(std::string_view text) {
  note("step:" + std::string(text));
}
void RecordingView::progressRange(int32_t low, int32_t high) {
  note("range:" + std::to_string(low) + "-" + std::to_string(high));
}
void RecordingView::progressPosition(int32_t value) {
  note("pos:" + std::to_string(value));
}
void RecordingView::restoreControls() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    controlsEnabled_ = true;
    executeEnabled_ = true;
    signals_.busy.store(0);
  }
  note("restore");
}
void RecordingView::enableExecute(bool on) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    executeEnabled_ = on;
  }
  note(on ? "execute:on" : "execute:off");
}
void RecordingView::showMessage(std::string_view text, std::string_view caption, MessageIcon icon) {
  bool closed = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed = closed_;
  }
  note(std::string(closed ? "unshown-" : "") + "box:" + std::string(text) + "|" +
       std::string(caption) + (icon == MessageIcon::Stop ? "|stop" : "|none"));
}
void RecordingView::record(const UpdateRecord& record) {
  std::string line = "report:" + std::string(eventName(record.event)) + ":";
  if (record.event == UpdateEvent::Finished) {
    line +=
        record.messageId == 0 ? std::string("stopped") : std::string(loadString(record.messageId));
  } else {
    line += std::to_string(record.step) + ":" + std::to_string(record.value);
  }
  note(std::move(line));
}

void RecordingView::disableControls() {
  std::lock_guard<std::mutex> lock(mutex_);
  controlsEnabled_ = false;
  executeEnabled_ = false;
}

void RecordingView::close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
}

std::vector<std::string> RecordingView::log(std::string_view prefix) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> lines;
  for (const auto& [time, line] : log_) {
    if (std::string_view(line).substr(0, prefix.size()) == prefix) lines.push_back(line);
  }
  return lines;
}

std::vector<std::pair<int64_t, std::string>> RecordingView::timedLog() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}

bool RecordingView::controlsEnabled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return controlsEnabled_;
}

bool RecordingView::executeEnabled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return executeEnabled_;
}

bool RecordingView::waitForLine(std::string_view prefix, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, limit, [&] {
    for (const auto& [time, line] : log_) {
      if (line.rfind(prefix, 0) == 0) return true;
    }
    return false;
  });
}

bool RecordingView::waitForRestore(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, limit, [this] { return signals_.busy.load() == 0; });
}

}  // namespace rt88h::testing
