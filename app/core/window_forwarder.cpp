#include "app/core/window_forwarder.h"

namespace rt88h::app {

bool WindowForwarder::call(const std::function<void()>& work) {
  if (onWindowThread()) {
    if (isClosed()) return false;
    work();
    return true;
  }
  auto request = std::make_shared<Request>();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return false;
    // The caller waits, so the work may refer to the caller's locals; it never runs once the
    // caller has gone (Dropped below).
    request->work = work;
    ++waiting_;
  }
  changed_.notify_all();
  post(request);

  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] {
    return request->state == Request::State::Done ||
           (closed_ && request->state == Request::State::Queued);
  });
  const bool ran = request->state == Request::State::Done;
  if (!ran) request->state = Request::State::Dropped;
  --waiting_;
  return ran;
}

void WindowForwarder::run(Request& request) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || request.state != Request::State::Queued) {
      request.state = Request::State::Dropped;
      return;
    }
    request.state = Request::State::Running;
  }
  request.work();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    request.state = Request::State::Done;
  }
  changed_.notify_all();
}

void WindowForwarder::close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
}

bool WindowForwarder::isClosed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

bool WindowForwarder::waitForWaiting(int count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return waiting_ >= count; });
}

}  // namespace rt88h::app
