#include "protocol/update_signals.h"

#include <chrono>

namespace rt88h {

void AutoResetEvent::set() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = true;
  }
  changed_.notify_one();
}

void AutoResetEvent::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = false;
}

bool AutoResetEvent::wait(int64_t timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (timeoutMs < 0) {
    changed_.wait(lock, [this] { return signalled_; });
  } else if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [this] { return signalled_; })) {
    return false;
  }
  signalled_ = false;
  return true;
}

bool AutoResetEvent::tryWait() {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool was = signalled_;
  signalled_ = false;
  return was;
}

}  // namespace rt88h
