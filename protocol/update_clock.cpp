#include "protocol/update_clock.h"

#include <chrono>
#include <thread>

namespace rt88h {
namespace {

class SteadyClock final : public UpdateClock {
 public:
  bool waitFor(AutoResetEvent& event, int64_t timeoutMs) override { return event.wait(timeoutMs); }
  void pause(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  int64_t nowUs() override { return steadyNowUs(); }
};

}  // namespace

int64_t steadyNowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

UpdateClock& realClock() {
  static SteadyClock clock;
  return clock;
}

}  // namespace rt88h
