// The timer service on a POSIX system: one thread per event, sleeping to absolute deadlines on
// the monotonic clock (steady_clock waits are CLOCK_MONOTONIC with libstdc++ on Linux), so
// that late wake-ups do not add up.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "midi/timer_api.h"

namespace rt88h::midi {

namespace {

using Clock = std::chrono::steady_clock;

class PeriodicEvent {
 public:
  PeriodicEvent(uint32_t id, uint32_t periodMs, TimerCallback callback, uintptr_t context)
      : id_(id),
        period_(std::chrono::milliseconds(periodMs)),
        callback_(callback),
        context_(context) {}
  PeriodicEvent(const PeriodicEvent&) = delete;
  PeriodicEvent& operator=(const PeriodicEvent&) = delete;

  ~PeriodicEvent() {
    requestStop();
    join();
  }

  // May throw (no thread to be had); the caller turns that into a refusal.
  void launch() {
    thread_ = std::thread([this] { run(); });
  }

  void requestStop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
  }

  bool ownsCurrentThread() const { return thread_.get_id() == std::this_thread::get_id(); }

  void join() {
    if (thread_.joinable() && !ownsCurrentThread()) thread_.join();
  }

 private:
  void run() {
    auto deadline = Clock::now() + period_;
    std::unique_lock lock(mutex_);
    for (;;) {
      if (wake_.wait_until(lock, deadline, [this] { return stopping_; })) return;
      lock.unlock();
      callback_(id_, 0, context_, 0, 0);
      lock.lock();
      // A tick that overran delays the next one instead of bunching them up.
      deadline = std::max(deadline + period_, Clock::now());
    }
  }

  const uint32_t id_;
  const Clock::duration period_;
  const TimerCallback callback_;
  const uintptr_t context_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

class SystemTimer final : public TimerApi {
 public:
  SystemTimer() = default;
  SystemTimer(const SystemTimer&) = delete;
  SystemTimer& operator=(const SystemTimer&) = delete;

  ~SystemTimer() override {
    std::map<uint32_t, std::unique_ptr<PeriodicEvent>> events;
    std::vector<std::unique_ptr<PeriodicEvent>> ended;
    {
      std::lock_guard lock(mutex_);
      events.swap(events_);
      ended.swap(ended_);
    }
    // Their destructors stop and join.
  }

  uint32_t minPeriod() override { return 1; }
  void beginPeriod(uint32_t) override {}
  void endPeriod(uint32_t) override {}

  uint32_t setEvent(uint32_t periodMs, uint32_t /*resolutionMs*/, TimerCallback callback,
                    uintptr_t context) override {
    if (callback == nullptr) return 0;
    reapEnded();
    try {
      std::lock_guard lock(mutex_);
      const uint32_t id = freeId();
      auto event =
          std::make_unique<PeriodicEvent>(id, std::max<uint32_t>(periodMs, 1), callback, context);
      event->launch();
      events_.emplace(id, std::move(event));
      return id;
    } catch (...) {
      return 0;  // no memory or no thread: the event is refused
    }
  }

  void killEvent(uint32_t id) override {
    std::unique_ptr<PeriodicEvent> event;
    {
      std::lock_guard lock(mutex_);
      auto found = events_.find(id);
      if (found == events_.end()) return;
      event = std::move(found->second);
      events_.erase(found);
    }
    event->requestStop();
    if (event->ownsCurrentThread()) {
      // Killed from its own tick: no further tick begins; the thread is joined later.
      std::lock_guard lock(mutex_);
      ended_.push_back(std::move(event));
      return;
    }
    event->join();
  }

 private:
  uint32_t freeId() {
    do {
      ++lastId_;
    } while (lastId_ == 0 || events_.count(lastId_) != 0);
    return lastId_;
  }

  void reapEnded() {
    std::vector<std::unique_ptr<PeriodicEvent>> ended;
    {
      std::lock_guard lock(mutex_);
      auto keep = std::partition(ended_.begin(), ended_.end(),
                                 [](const auto& event) { return event->ownsCurrentThread(); });
      ended.assign(std::make_move_iterator(keep), std::make_move_iterator(ended_.end()));
      ended_.erase(keep, ended_.end());
    }
  }

  std::mutex mutex_;
  std::map<uint32_t, std::unique_ptr<PeriodicEvent>> events_;
  std::vector<std::unique_ptr<PeriodicEvent>> ended_;  // killed from their own tick
  uint32_t lastId_ = 0;
};

}  // namespace

TimerApi& systemTimer() {
  static SystemTimer timer;
  return timer;
}

}  // namespace rt88h::midi
