#pragma once
// Every wait and pause of the update goes through here, so tests can run them in virtual time.
#include <cstdint>

#include "protocol/update_signals.h"

namespace rt88h {

inline constexpr int64_t kNoTimeLimit = -1;

class UpdateClock {
 public:
  // true when `event` was signalled within timeoutMs (kNoTimeLimit: no limit).
  virtual bool waitFor(AutoResetEvent& event, int64_t timeoutMs) = 0;
  virtual void pause(uint32_t ms) = 0;
  // Microseconds on the clock that also stamps received messages.
  virtual int64_t nowUs() = 0;

 protected:
  ~UpdateClock() = default;
};

// The steady clock of the machine.
UpdateClock& realClock();
int64_t steadyNowUs();

}  // namespace rt88h
