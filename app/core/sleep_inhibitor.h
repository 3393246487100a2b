#pragma once
// What keeps the computer from sleeping or shutting down while the device is written: logind on
// Linux, the power and shutdown requests on Windows. The window's behaviour takes it at Execute
// and releases it at each end of the update; both on the window's thread.
namespace rt88h::app {

class SleepInhibitor {
 public:
  virtual ~SleepInhibitor() = default;
  // Never fails the update: an inhibitor that cannot be had says so and lets it go on.
  virtual void take() = 0;
  // Only after take().
  virtual void release() = 0;

  // One that does nothing, for a window that has none.
  static SleepInhibitor& none();
};

}  // namespace rt88h::app
