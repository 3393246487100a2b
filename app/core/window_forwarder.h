#pragma once
// Runs work on the window's thread for callers on other threads and waits for it, until the
// forwarder is closed: then waiting callers return at once and queued work is dropped, so that
// nobody waits for a window that is going away. A toolkit supplies how work reaches its thread.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace rt88h::app {

class WindowForwarder {
 public:
  WindowForwarder() = default;
  WindowForwarder(const WindowForwarder&) = delete;
  WindowForwarder& operator=(const WindowForwarder&) = delete;
  virtual ~WindowForwarder() = default;

  // Runs `work` on the window's thread and returns when it has run there (true), or, once
  // closed, without running it (false). Work already started is waited for: it ends promptly
  // because whoever closes also closes the boxes that work may have open. On the window's own
  // thread `work` runs directly.
  bool call(const std::function<void()>& work);

  // Called on the window's thread; wakes every waiting caller.
  void close();
  bool isClosed() const;

  // Waits up to `timeout` for at least `count` callers on other threads to be waiting.
  bool waitForWaiting(int count, std::chrono::milliseconds timeout) const;

 protected:
  struct Request;
  // The toolkit's part: whether the caller is on the window's thread, and how a request gets
  // there; the window's thread then calls run(request), at most once.
  virtual bool onWindowThread() const = 0;
  virtual void post(std::shared_ptr<Request> request) = 0;
  void run(Request& request);

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool closed_ = false;
  int waiting_ = 0;
};

struct WindowForwarder::Request {
  enum class State { Queued, Running, Done, Dropped };
  std::function<void()> work;
  State state = State::Queued;
};

}  // namespace rt88h::app
