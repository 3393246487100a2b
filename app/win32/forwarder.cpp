#include "app/win32/forwarder.h"

#include <utility>

namespace rt88h::win32 {

MessageForwarder::MessageForwarder() : windowThread(GetCurrentThreadId()) {}

void MessageForwarder::attach(HWND dialog) {
  std::lock_guard<std::mutex> lock(mutex);
  target = dialog;
}

void MessageForwarder::detach() {
  std::deque<std::shared_ptr<Request>> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex);
    target = nullptr;
    dropped.swap(pending);
  }
  // Closed before this: their callers have returned or will, without them.
  for (const std::shared_ptr<Request>& request : dropped) run(*request);
}

bool MessageForwarder::onWindowThread() const {
  return GetCurrentThreadId() == windowThread;
}

void MessageForwarder::post(std::shared_ptr<Request> request) {
  std::lock_guard<std::mutex> lock(mutex);
  // Without a window the caller returns once the forwarder is closed, which comes first.
  if (target == nullptr) return;
  pending.push_back(std::move(request));
  // A full queue leaves it waiting for the next wake-up, which also runs it.
  PostMessageW(target, kRunMessage, 0, 0);
}

void MessageForwarder::runPending() {
  std::deque<std::shared_ptr<Request>> ready;
  {
    std::lock_guard<std::mutex> lock(mutex);
    ready.swap(pending);
  }
  for (const std::shared_ptr<Request>& request : ready) run(*request);
}

}  // namespace rt88h::win32
