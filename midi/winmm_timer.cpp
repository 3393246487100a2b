// The timer service on Windows: WinMM periodic events. Each event is known to WinMM by our own
// id, never reused, so a call WinMM starts after the event was killed finds nothing to run.
// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>

#include "midi/midi_api.h"
#include "midi/timer_api.h"

namespace rt88h::midi {

namespace {

#ifdef TIME_KILL_SYNCHRONOUS
constexpr UINT kEventFlags = TIME_PERIODIC | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS;
#else
constexpr UINT kEventFlags = TIME_PERIODIC | TIME_CALLBACK_FUNCTION;
#endif

struct Event {
  TimerCallback callback = nullptr;
  uintptr_t context = 0;
  UINT winmmId = 0;
  bool killed = false;
  bool running = false;
  bool orphan = false;  // killed from its own call
  uint32_t periodMs = 1;
  uint32_t resolutionMs = 0;
  int64_t nextDueUs = 0;  // when WinMM will begin the next call
  DWORD runner = 0;       // the thread of the running call
};

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
    uint32_t id = 0;
    {
      std::lock_guard lock(mutex_);
      reapEnded();
      id = freeId();
      try {
        Event& event = events_[id];
        event.callback = callback;
        event.context = context;
        event.periodMs = std::max<uint32_t>(periodMs, 1);
        event.resolutionMs = resolutionMs;
        event.nextDueUs = steadyNowUs() + int64_t{event.periodMs} * 1000;
      } catch (...) {
        return 0;
      }
    }
    const UINT winmmId = timeSetEvent(std::max<uint32_t>(periodMs, 1), resolutionMs, &tick,
                                      static_cast<DWORD_PTR>(id), kEventFlags);
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
    if (first) timeKillEvent(winmmId);
    std::unique_lock lock(mutex_);
    auto found = events_.find(id);
    if (found == events_.end()) return;
    if (found->second.running && found->second.runner == GetCurrentThreadId()) {
      // Killed from its own call, which ends after this returns: the entry goes later.
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
    int64_t nextDueUs = 0;
    {
      std::lock_guard lock(mutex_);
      auto found = events_.find(id);
      if (found == events_.end()) return;
      Event& event = found->second;
      if (event.killed || event.running) return;
      event.running = true;
      event.runner = GetCurrentThreadId();
      callback = event.callback;
      context = event.context;
      event.nextDueUs += int64_t{event.periodMs} * 1000;
      nextDueUs = event.nextDueUs;
    }
    callback(id, 0, context, 0, 0);
    // WinMM would fire the periods that a long call or a late start missed all at once: the
    // event starts afresh instead, so that they delay the following calls, never bunch them.
    if (steadyNowUs() >= nextDueUs) restart(id);
    {
      std::lock_guard lock(mutex_);
      auto found = events_.find(id);
      if (found != events_.end()) found->second.running = false;
    }
    idle_.notify_all();
  }

  // From within the event's own call, which keeps a killEvent waiting until it ends.
  void restart(uint32_t id) {
    uint32_t periodMs = 0;
    uint32_t resolutionMs = 0;
    {
      std::lock_guard lock(mutex_);
      auto found = events_.find(id);
      if (found == events_.end() || found->second.killed) return;
      periodMs = found->second.periodMs;
      resolutionMs = found->second.resolutionMs;
    }
    const UINT fresh =
        timeSetEvent(periodMs, resolutionMs, &tick, static_cast<DWORD_PTR>(id), kEventFlags);
    if (fresh == 0) return;  // the old event goes on
    UINT stale = fresh;      // killed meanwhile: the old one is the killer's
    {
      std::lock_guard lock(mutex_);
      auto found = events_.find(id);
      if (found != events_.end() && !found->second.killed) {
        stale = found->second.winmmId;
        found->second.winmmId = fresh;
        found->second.nextDueUs = steadyNowUs() + int64_t{periodMs} * 1000;
      }
    }
    timeKillEvent(stale);
  }

  uint32_t freeId() {
    do {
      ++lastId_;
    } while (lastId_ == 0 || events_.count(lastId_) != 0);
    return lastId_;
  }

  // Events killed from their own call, whose call has ended since.
  void reapEnded() {
    std::erase_if(events_,
                  [](const auto& entry) { return entry.second.orphan && !entry.second.running; });
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
