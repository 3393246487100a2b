#include "gui_forwarder.h"

#include <QMetaObject>
#include <QThread>
#include <memory>

namespace rt88h::app {

GuiForwarder::GuiForwarder(QObject* parent) : QObject(parent) {}

GuiForwarder::~GuiForwarder() = default;

bool GuiForwarder::call(const std::function<void()>& work) {
  if (QThread::currentThread() == thread()) {
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
  QMetaObject::invokeMethod(
      this, [this, request] { run(*request); }, Qt::QueuedConnection);

  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] {
    return request->state == State::Done || (closed_ && request->state == State::Queued);
  });
  const bool ran = request->state == State::Done;
  if (!ran) request->state = State::Dropped;
  --waiting_;
  return ran;
}

void GuiForwarder::run(Request& request) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || request.state != State::Queued) {
      request.state = State::Dropped;
      return;
    }
    request.state = State::Running;
  }
  request.work();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    request.state = State::Done;
  }
  changed_.notify_all();
}

void GuiForwarder::close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
}

bool GuiForwarder::isClosed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

bool GuiForwarder::waitForWaiting(int count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return waiting_ >= count; });
}

}  // namespace rt88h::app
