#pragma once
// Hands view operations to the dialog's thread. The message only wakes the dialog; the requests
// wait here, so one posted to a window that is already gone leaves nothing to leak or run.
#include <windows.h>

#include <deque>
#include <memory>
#include <mutex>

#include "app/core/window_forwarder.h"

namespace rt88h::win32 {

class MessageForwarder final : public app::WindowForwarder {
 public:
  static constexpr UINT kRunMessage = WM_APP + 1;

  MessageForwarder();  // on the window's thread
  void attach(HWND dialog);
  void detach();
  // On kRunMessage: runs what is waiting.
  void runPending();

 protected:
  bool onWindowThread() const override;
  void post(std::shared_ptr<Request> request) override;

 private:
  const DWORD windowThread;
  std::mutex mutex;
  HWND target = nullptr;
  std::deque<std::shared_ptr<Request>> pending;
};

}  // namespace rt88h::win32
