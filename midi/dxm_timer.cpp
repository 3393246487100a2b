#include "midi/dxm_timer.h"

namespace rt88h::midi {

CDxMTimer::CDxMTimer(TimerApi& api) : api_(&api), minPeriod_(api.minPeriod()) {}

// A derived class that overrides onTick() must stop() in its own destructor: by the time this
// one runs, its part is gone.
CDxMTimer::~CDxMTimer() {
  stop();
}

uint32_t CDxMTimer::start(uint32_t periodMs, TimerCallback tickFunction, uintptr_t context) {
  stop();
  api_->beginPeriod(minPeriod_);
  if (tickFunction != nullptr) {
    timerId_ = api_->setEvent(periodMs, minPeriod_, tickFunction, context);
  } else {
    timerId_ = api_->setEvent(periodMs, minPeriod_, &CDxMTimer::defaultTick,
                              reinterpret_cast<uintptr_t>(this));
  }
  // No event will lower the resolution again, so do it now.
  if (timerId_ == 0) api_->endPeriod(minPeriod_);
  return timerId_;
}

int CDxMTimer::stop() {
  if (timerId_ != 0) {
    api_->killEvent(timerId_);
    api_->endPeriod(minPeriod_);
  }
  timerId_ = 0;
  return 1;
}

void CDxMTimer::onTick() {}

void CDxMTimer::defaultTick(uint32_t /*id*/, uint32_t /*message*/, uintptr_t context, uintptr_t,
                            uintptr_t) {
  // The timer service hands back the context it was given, as its callbacks' form has it.
  // NOLINTNEXTLINE(performance-no-int-to-ptr)
  reinterpret_cast<CDxMTimer*>(context)->onTick();
}

}  // namespace rt88h::midi
