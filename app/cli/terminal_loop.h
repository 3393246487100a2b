#pragma once
// The terminal's main thread: it runs what the update's threads hand to it (view operations,
// records) and sees the signals that stop the update. Handlers only flag and wake it: through
// its self-pipe on POSIX systems, its condition on Windows (Ctrl-C, Ctrl-Break).
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/core/window_forwarder.h"

namespace rt88h::cli {

// True when the stream is a terminal (a console).
bool isTerminal(std::FILE* stream);
// Before the first output: a Windows console shows the UTF-8 texts as such.
void prepareConsole();

class TerminalLoop final : public app::WindowForwarder {
 public:
  // From here on SIGINT and SIGTERM come to this loop; SIGPIPE and SIGHUP are ignored, so that
  // a closed terminal or pipe never cuts an update short.
  TerminalLoop();
  TerminalLoop(const TerminalLoop&) = delete;
  TerminalLoop& operator=(const TerminalLoop&) = delete;
  ~TerminalLoop() override;

  enum class Woken { Done, Signal };
  // Runs handed-over work until done() holds or a stop signal has come.
  Woken runUntil(const std::function<bool()>& done);
  // Runs the work handed over so far, without waiting for more.
  void drain();
  // From any thread: `work` runs on the main thread later; the caller does not wait.
  void queue(std::function<void()> work);
  // A line from standard input, running handed-over work meanwhile where the system lets it;
  // false at its end or on a stop signal.
  bool readLine(std::string* line);
  // The first stop signal that came (SIGINT, SIGTERM), or 0; seen at once, also before the
  // loop ran.
  int stopSignal() const;

 protected:
  bool onWindowThread() const override;
  void post(std::shared_ptr<Request> request) override;

 private:
  // True when there was work.
  bool runQueued();
  // Sleeps until work or a signal comes (or, with `input`, standard input can be read: true).
  bool waitForWake(bool input);

  const std::thread::id mainThread_ = std::this_thread::get_id();
  std::mutex queueMutex_;
  std::deque<std::function<void()>> queued_;
#ifdef _WIN32
  friend int __stdcall onConsoleEvent(unsigned long event);  // wakes the loop
  std::condition_variable woken_;
  bool wake_ = false;  // queueMutex_
#else
  int wake_[2] = {-1, -1};
#endif
};

}  // namespace rt88h::cli
