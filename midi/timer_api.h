#pragma once
// The platform's periodic-timer service, in our own names.
#include <cstdint>

namespace rt88h::midi {

// id, message, context, two values ignored.
using TimerCallback = void (*)(uint32_t id, uint32_t message, uintptr_t context, uintptr_t,
                               uintptr_t);

class TimerApi {
 public:
  virtual ~TimerApi() = default;
  virtual uint32_t minPeriod() = 0;  // ms
  virtual void beginPeriod(uint32_t ms) = 0;
  virtual void endPeriod(uint32_t ms) = 0;
  // A periodic event; its id, or 0 when refused. Calls of one event never overlap.
  virtual uint32_t setEvent(uint32_t periodMs, uint32_t resolutionMs, TimerCallback callback,
                            uintptr_t context) = 0;
  // Returns only when no call of the event's function runs and none will begin.
  virtual void killEvent(uint32_t id) = 0;
};

// POSIX: one thread per event on absolute CLOCK_MONOTONIC deadlines; Windows: WinMM events.
TimerApi& systemTimer();

}  // namespace rt88h::midi
