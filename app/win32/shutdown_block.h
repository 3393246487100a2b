#pragma once
// Keeps Windows awake and its session open while the device is written: the thread's execution
// state asks for the system, and the window gives the reason a shutdown shows. Both belong to
// the window's thread, as the execution state is the calling thread's.
#include <windows.h>

#include "app/core/sleep_inhibitor.h"

namespace rt88h::win32 {

class ShutdownBlock final : public app::SleepInhibitor {
 public:
  // The window whose reason a shutdown shows; none before this.
  void attach(HWND window) { owner = window; }
  void take() override;
  void release() override;

 private:
  HWND owner = nullptr;
};

}  // namespace rt88h::win32
