#pragma once
// The terminal's main thread: it runs what the update's threads hand to it (view operations,
// records) and sees the signals that stop the update. Handlers only write to a self-pipe.
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "app/core/window_forwarder.h"

namespace rt88h::cli {

class TerminalLoop final : public app::WindowForwarder {
 public:
  // From here on SIGINT and SIGTERM come to this loop; SIGPIPE and SIGHUP are ignored, so that
  // a closed terminal or pipe never cuts an update short.
  TerminalLoop();
  TerminalLoop(const TerminalLoop&) = delete;
  TerminalLoop& operator=(const TerminalLoop&) = delete;
  ~TerminalLoop() override;

  enum class Woken { Done, Signal, Input };
  // Runs handed-over work until done() holds, a stop signal has come, or `input` (a descriptor;
  // -1: none) can be read.
  Woken runUntil(const std::function<bool()>& done, int input = -1);
  // Runs the work handed over so far, without waiting for more.
  void drain();
  // From any thread: `work` runs on the main thread later; the caller does not wait.
  void queue(std::function<void()> work);
  // The first stop signal that came (SIGINT, SIGTERM), or 0.
  int stopSignal() const { return stopSignal_; }

 protected:
  bool onWindowThread() const override;
  void post(std::shared_ptr<Request> request) override;

 private:
  // True when there was work.
  bool runQueued();
  void waitForWake(int input, bool* inputReady);

  const std::thread::id mainThread_ = std::this_thread::get_id();
  std::mutex queueMutex_;
  std::deque<std::function<void()>> queued_;
  int wake_[2] = {-1, -1};
  int stopSignal_ = 0;
};

}  // namespace rt88h::cli
