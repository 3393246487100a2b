// The timer service on Windows: one WinMM periodic event per event of ours, never restarted and
// never killed with a wait from its own call. Each is known to WinMM by our own id, never reused,
// so a call WinMM makes after the kill finds nothing to run; our table, not WinMM, makes a kill
// wait for a call that runs.
// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>

#include "midi/timer_api.h"

namespace rt88h::midi {

namespace {

// Without TIME_KILL_SYNCHRONOUS: whether such a kill returns when made from the event's own call
// is not documented, and the table below already keeps killed events from running.
constexpr UINT kEventFlags = TIME_PERIODIC | TIME_CALLBACK_FUNCTION;

struct Event {
  TimerCallback callback = nullptr;
  uintptr_t context = 0;
  UINT winmmId = 0;
  bool killed = false;
  bool running = false;
  bool orphan = false;  // killed from its own call, which removes it when it ends
  DWORD runner = 0;     // the thread of the running call
  uint32_t periodMs = 1;
  // The periods are counted in the clock WinMM schedules by, never drifting from it; extended
  // past its wrap after 49 days.
  DWORD clockMs = 0;
  uint64_t elapsedMs = 0;
  uint64_t lastPeriod = 0;  // the period in which the last call ended
};

// The period WinMM's clock is in now. A call is never early, yet may read a millisecond early
// (WinMM counts whole ones); a late one, up to a whole period, still counts for its own.
uint64_t periodNow(Event& event) {
  const DWORD now = timeGetTime();
  event.elapsedMs += static_cast<DWORD>(now - event.clockMs);
  event.clockMs = now;
  const uint32_t early = std::min<uint32_t>(2, event.periodMs / 4);
  return (event.elapsedMs + early) / event.periodMs;
}

class WinmmTimer final : public TimerApi {
 public:
  uint32_t minPeriod() override {
    TIMECAPS caps{};
    if (timeGetDevCaps(&caps, sizeof caps) != TIMERR_NOERROR || caps.wPeriodMin == 0) return 1;
    return caps.wPeriodMin;
  }
  void beginPeriod(uint32_t ms) override { timeBeginPeriod(ms); }
  void endPeriod(uint32_t ms) override { timeEndPeriod(ms); }

  uint32_t setEvent(uint32_t periodMs, uint32_t resolutionMs, TimerCallback callback,
                    uintptr_t context) override {
    if (callback == nullptr) return 0;
    periodMs = std::max<uint32_t>(periodMs, 1);
    uint32_t id = 0;
    {
      std::lock_guard lock(mutex_);
      id = freeId();
      try {
        Event& event = events_[id];
        event.callback = callback;
        event.context = context;
        event.periodMs = periodMs;
        event.clockMs = timeGetTime();
      } catch (...) {
        return 0;
      }
    }
    const UINT winmmId =
        timeSetEvent(periodMs, resolutionMs, &tick, static_cast<DWORD_PTR>(id), kEventFlags);
    std::lock_guard lock(mutex_);
    if (winmmId == 0) {
      events_.erase(id);
      return 0;
    }
    if (auto found = events_.find(id); found != events_.end()) found->second.winmmId = winmmId;
    return id;
  }

  void killEvent(uint32_t id) override {
    UINT winmmId = 0;
    bool first = false;
    {
      std::lock_guard lock(mutex_);
      auto found = events_.find(id);
      if (found == events_.end()) return;
      first = !found->second.killed;
      found->second.killed = true;  // no further call of ours begins
      winmmId = found->second.winmmId;
    }
    // Returns at once, also from the event's own call: only the wait below waits.
    if (first) timeKillEvent(winmmId);
    std::unique_lock lock(mutex_);
    auto found = events_.find(id);
    if (found == events_.end()) return;
    if (found->second.running && found->second.runner == GetCurrentThreadId()) {
      found->second.orphan = true;
      return;
    }
    idle_.wait(lock, [this, id] {
      auto event = events_.find(id);
      return event == events_.end() || !event->second.running;
    });
    events_.erase(id);
  }

 private:
  static void CALLBACK tick(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR);

  void run(uint32_t id) {
    TimerCallback callback = nullptr;
    uintptr_t context = 0;
    {
      std::lock_guard lock(mutex_);
      auto found = events_.find(id);
      if (found == events_.end()) return;
      Event& event = found->second;
      if (event.killed || event.running) return;
      // WinMM fires the periods a long call missed all at once after it: they are skipped, so
      // that an overrun delays the following calls and never bunches them.
      if (periodNow(event) <= event.lastPeriod) return;
      event.running = true;
      event.runner = GetCurrentThreadId();
      callback = event.callback;
      context = event.context;
    }
    callback(id, 0, context, 0, 0);
    {
      std::lock_guard lock(mutex_);
      auto found = events_.find(id);
      if (found != events_.end() && found->second.orphan) {
        events_.erase(found);
      } else if (found != events_.end()) {
        found->second.running = false;
        found->second.lastPeriod = periodNow(found->second);
      }
    }
    idle_.notify_all();
  }

  uint32_t freeId() {
    do {
      ++lastId_;
    } while (lastId_ == 0 || events_.count(lastId_) != 0);
    return lastId_;
  }

  std::mutex mutex_;
  std::condition_variable idle_;
  std::map<uint32_t, Event> events_;
  uint32_t lastId_ = 0;
};

WinmmTimer& instance() {
  // Never destroyed: a WinMM call arriving during the process's exit still finds its table.
  static WinmmTimer* const timer = new WinmmTimer;
  return *timer;
}

void CALLBACK WinmmTimer::tick(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
  instance().run(static_cast<uint32_t>(user));
}

}  // namespace

TimerApi& systemTimer() {
  return instance();
}

}  // namespace rt88h::midi
