#pragma once
// Runs work on the window's thread for callers on other threads and waits for it, until the
// forwarder is closed: then waiting callers return at once and queued work is dropped, so that
// nobody waits for a window that is going away.
#include <QObject>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace rt88h::app {

class GuiForwarder final : public QObject {
  Q_OBJECT

 public:
  explicit GuiForwarder(QObject* parent = nullptr);
  ~GuiForwarder() override;

  // Runs `work` on this object's thread and returns when it has run there (true), or, once
  // closed, without running it (false). Work already started is waited for: it ends promptly
  // because whoever closes also closes the boxes that work may have open. On the object's own
  // thread `work` runs directly.
  bool call(const std::function<void()>& work);

  // Called on the object's thread; wakes every waiting caller.
  void close();
  bool isClosed() const;

  // Waits up to `timeout` for at least `count` callers on other threads to be waiting.
  bool waitForWaiting(int count, std::chrono::milliseconds timeout) const;

 private:
  enum class State { Queued, Running, Done, Dropped };
  struct Request {
    std::function<void()> work;
    State state = State::Queued;
  };
  void run(Request& request);

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool closed_ = false;
  int waiting_ = 0;
};

}  // namespace rt88h::app
