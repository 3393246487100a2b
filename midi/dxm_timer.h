#pragma once
// One periodic event of the timer service at the finest resolution it offers.
#include <cstdint>

#include "midi/timer_api.h"

namespace rt88h::midi {

class CDxMTimer {
 public:
  explicit CDxMTimer(TimerApi& api = systemTimer());
  CDxMTimer(const CDxMTimer&) = delete;
  CDxMTimer& operator=(const CDxMTimer&) = delete;
  virtual ~CDxMTimer();

  // Ends any running event first; the new event's id, or 0 when refused.
  // Without a tick function every tick calls onTick().
  uint32_t start(uint32_t periodMs, TimerCallback tickFunction = nullptr, uintptr_t context = 0);
  int stop();  // 1, always; returns when no tick runs and none will begin
  virtual void onTick();

  uint32_t timerId() const { return timerId_; }
  uint32_t minPeriod() const { return minPeriod_; }

 private:
  static void defaultTick(uint32_t id, uint32_t message, uintptr_t context, uintptr_t, uintptr_t);
  TimerApi* api_;
  uint32_t timerId_ = 0;
  uint32_t minPeriod_ = 0;
};

}  // namespace rt88h::midi
