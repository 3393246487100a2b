#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "midi/dxm_timer.h"
#include "midi/timer_api.h"
#include "tests/support/fake_midi_api.h"

namespace rt88h::midi {
namespace {

using testing::kLongWait;
using testing::kShortWait;
using testing::Signal;
using Calls = std::vector<std::string>;

// Records the calls; ticks come only when the test fires them.
class FakeTimerApi final : public TimerApi {
 public:
  uint32_t minPeriod() override {
    calls.push_back("minPeriod");
    return 3;
  }
  void beginPeriod(uint32_t ms) override { calls.push_back("beginPeriod " + std::to_string(ms)); }
  void endPeriod(uint32_t ms) override { calls.push_back("endPeriod " + std::to_string(ms)); }
  uint32_t setEvent(uint32_t periodMs, uint32_t resolutionMs, TimerCallback callback,
                    uintptr_t context) override {
    calls.push_back("setEvent " + std::to_string(periodMs) + " " + std::to_string(resolutionMs));
    if (refuse) return 0;
    const uint32_t id = nextId++;
    events[id] = {callback, context};
    return id;
  }
  void killEvent(uint32_t id) override {
    calls.push_back("killEvent " + std::to_string(id));
    events.erase(id);
  }

  void fire(uint32_t id) {
    const auto& event = events.at(id);
    event.first(id, 0, event.second, 0, 0);
  }

  Calls calls;
  bool refuse = false;
  uint32_t nextId = 7;
  std::map<uint32_t, std::pair<TimerCallback, uintptr_t>> events;
};

class CDxMTimerTest : public ::testing::Test {
 protected:
  FakeTimerApi api;
};

struct TickLog {
  std::vector<uint32_t> ids;
  std::vector<uintptr_t> contexts;
};

void recordTick(uint32_t id, uint32_t, uintptr_t context, uintptr_t, uintptr_t) {
  auto* log = reinterpret_cast<TickLog*>(context);
  log->ids.push_back(id);
  log->contexts.push_back(context);
}

TEST_F(CDxMTimerTest, ConstructionReadsTheSmallestPeriodOnly) {
  CDxMTimer timer{api};
  EXPECT_EQ(timer.minPeriod(), 3u);
  EXPECT_EQ(timer.timerId(), 0u);
  EXPECT_EQ(api.calls, Calls{"minPeriod"});
}

TEST_F(CDxMTimerTest, StartRaisesTheResolutionAndStartsAnEventWithIt) {
  CDxMTimer timer{api};
  TickLog log;
  EXPECT_EQ(timer.start(50, &recordTick, reinterpret_cast<uintptr_t>(&log)), 7u);
  EXPECT_EQ(timer.timerId(), 7u);
  EXPECT_EQ(api.calls, (Calls{"minPeriod", "beginPeriod 3", "setEvent 50 3"}));

  api.fire(7);
  api.fire(7);
  EXPECT_EQ(log.ids, (std::vector<uint32_t>{7, 7}));
  EXPECT_EQ(log.contexts, std::vector<uintptr_t>(2, reinterpret_cast<uintptr_t>(&log)));
}

TEST_F(CDxMTimerTest, StartWhileRunningEndsTheOldEventFirst) {
  CDxMTimer timer{api};
  TickLog log;
  timer.start(50, &recordTick, reinterpret_cast<uintptr_t>(&log));
  api.calls.clear();
  EXPECT_EQ(timer.start(20, &recordTick, reinterpret_cast<uintptr_t>(&log)), 8u);
  EXPECT_EQ(api.calls, (Calls{"killEvent 7", "endPeriod 3", "beginPeriod 3", "setEvent 20 3"}));
  EXPECT_EQ(api.events.count(7), 0u);
  EXPECT_EQ(api.events.count(8), 1u);
}

TEST_F(CDxMTimerTest, StopTwiceMakesThePlatformCallsOnce) {
  CDxMTimer timer{api};
  EXPECT_EQ(timer.stop(), 1);
  timer.start(50, &recordTick, 0);
  api.calls.clear();
  EXPECT_EQ(timer.stop(), 1);
  EXPECT_EQ(timer.stop(), 1);
  EXPECT_EQ(api.calls, (Calls{"killEvent 7", "endPeriod 3"}));
  EXPECT_EQ(timer.timerId(), 0u);
}

TEST_F(CDxMTimerTest, RefusedStartLowersTheResolutionAtOnceAndLeavesItIdle) {
  CDxMTimer timer{api};
  api.refuse = true;
  api.calls.clear();
  EXPECT_EQ(timer.start(50, &recordTick, 0), 0u);
  EXPECT_EQ(timer.timerId(), 0u);
  EXPECT_EQ(api.calls, (Calls{"beginPeriod 3", "setEvent 50 3", "endPeriod 3"}));

  api.calls.clear();
  EXPECT_EQ(timer.stop(), 1);
  EXPECT_EQ(api.calls, Calls{});
}

TEST_F(CDxMTimerTest, DestructionStopsARunningTimerAndLeavesAnIdleOneAlone) {
  { CDxMTimer idle{api}; }
  {
    CDxMTimer running{api};
    running.start(50, &recordTick, 0);
    api.calls.clear();
  }
  EXPECT_EQ(api.calls, (Calls{"killEvent 7", "endPeriod 3"}));
}

class CountingTimer : public CDxMTimer {
 public:
  using CDxMTimer::CDxMTimer;
  ~CountingTimer() override { stop(); }
  void onTick() override { ++ticks; }
  int ticks = 0;
};

TEST_F(CDxMTimerTest, WithoutATickFunctionEveryTickCallsOnTick) {
  CountingTimer timer{api};
  const uint32_t id = timer.start(50);
  ASSERT_NE(id, 0u);
  api.fire(id);
  api.fire(id);
  EXPECT_EQ(timer.ticks, 2);

  // The base class alone does nothing on a tick.
  CDxMTimer plain{api};
  const uint32_t plainId = plain.start(50);
  api.fire(plainId);
  EXPECT_EQ(timer.ticks, 2);
}

// ---- the system's timer service

TEST(SystemTimer, IdsAreUniqueAndUnknownIdsAreIgnored) {
  TimerApi& timer = systemTimer();
  EXPECT_EQ(timer.minPeriod(), 1u);
  auto nothing = [](uint32_t, uint32_t, uintptr_t, uintptr_t, uintptr_t) {};
  const uint32_t a = timer.setEvent(1000, 1, nothing, 0);
  const uint32_t b = timer.setEvent(1000, 1, nothing, 0);
  EXPECT_NE(a, 0u);
  EXPECT_NE(b, 0u);
  EXPECT_NE(a, b);
  timer.killEvent(a);
  timer.killEvent(a);
  timer.killEvent(0);
  timer.killEvent(b);
  EXPECT_EQ(timer.setEvent(10, 1, nullptr, 0), 0u);
}

struct BlockingTick {
  Signal entered;
  Signal release;
  std::atomic<bool> stopReturned{false};
  std::atomic<int> ticks{0};
  std::atomic<int> ticksAfterStop{0};
};

void blockingTick(uint32_t, uint32_t, uintptr_t context, uintptr_t, uintptr_t) {
  auto* state = reinterpret_cast<BlockingTick*>(context);
  if (state->stopReturned) ++state->ticksAfterStop;
  if (state->ticks++ == 0) {
    state->entered.set();
    state->release.waitFor(kLongWait);
  }
}

TEST(SystemTimer, StopReturnsOnlyAfterTheRunningTickHasFinished) {
  BlockingTick state;
  CDxMTimer timer;
  ASSERT_NE(timer.start(2, &blockingTick, reinterpret_cast<uintptr_t>(&state)), 0u);
  ASSERT_TRUE(state.entered.waitFor(kLongWait));

  Signal stopped;
  std::thread stopper([&] {
    timer.stop();
    state.stopReturned = true;
    stopped.set();
  });
  EXPECT_FALSE(stopped.waitFor(kShortWait));
  EXPECT_FALSE(state.stopReturned);

  state.release.set();
  EXPECT_TRUE(stopped.waitFor(kLongWait));
  stopper.join();
  EXPECT_EQ(state.ticksAfterStop, 0);
}

struct SelfKill {
  Signal first;
  std::atomic<int> ticks{0};
};

void killOwnEvent(uint32_t id, uint32_t, uintptr_t context, uintptr_t, uintptr_t) {
  auto* state = reinterpret_cast<SelfKill*>(context);
  ++state->ticks;
  systemTimer().killEvent(id);
  state->first.set();
}

TEST(SystemTimer, EventKilledFromItsOwnTickEndsWithoutDeadlock) {
  SelfKill state;
  ASSERT_NE(systemTimer().setEvent(1, 1, &killOwnEvent, reinterpret_cast<uintptr_t>(&state)), 0u);
  ASSERT_TRUE(state.first.waitFor(kLongWait));
  // Its thread is joined by the next setEvent.
  auto nothing = [](uint32_t, uint32_t, uintptr_t, uintptr_t, uintptr_t) {};
  const uint32_t other = systemTimer().setEvent(1000, 1, nothing, 0);
  systemTimer().killEvent(other);
  EXPECT_EQ(state.ticks, 1);
}

// ---- real time: 100 ticks of 50 ms (about 5 s)

struct PeriodLog {
  std::mutex mutex;
  std::condition_variable enough;
  std::vector<std::chrono::steady_clock::time_point> times;
  std::atomic<int> inTick{0};
  std::atomic<int> overlaps{0};
  std::size_t slowTick = 0;  // its work takes slowMs
  uint32_t slowMs = 0;
};

void logTick(uint32_t, uint32_t, uintptr_t context, uintptr_t, uintptr_t) {
  auto* log = reinterpret_cast<PeriodLog*>(context);
  if (log->inTick.fetch_add(1) != 0) ++log->overlaps;
  {
    std::lock_guard lock(log->mutex);
    log->times.push_back(std::chrono::steady_clock::now());
  }
  log->enough.notify_all();
  log->inTick.fetch_sub(1);
}

TEST(RealTimeSystemTimer, FiftyMillisecondTicksKeepTheirPeriod) {
  constexpr std::size_t kIntervals = 100;
  PeriodLog log;
  CDxMTimer timer;
  ASSERT_NE(timer.start(50, &logTick, reinterpret_cast<uintptr_t>(&log)), 0u);
  {
    std::unique_lock lock(log.mutex);
    ASSERT_TRUE(log.enough.wait_for(lock, std::chrono::seconds(15),
                                    [&] { return log.times.size() > kIntervals; }));
  }
  timer.stop();

  std::lock_guard lock(log.mutex);
  const auto span = log.times[kIntervals] - log.times[0];
  const double meanMs =
      std::chrono::duration<double, std::milli>(span).count() / static_cast<double>(kIntervals);
  RecordProperty("mean_period_ms", std::to_string(meanMs));
  EXPECT_NEAR(meanMs, 50.0, 1.0);
  EXPECT_EQ(log.overlaps, 0);
}

// A tick that outlasts the period, then a close: the following ticks wait for it, none is
// caught up, and the period holds again from there.
struct Overrun {
  const char* name;
  uint32_t periodMs;
  std::size_t slowTick;
  uint32_t slowMs;
};
void PrintTo(const Overrun& c, std::ostream* out) {
  *out << c.name;
}

void slowTick(uint32_t, uint32_t, uintptr_t context, uintptr_t, uintptr_t) {
  auto* log = reinterpret_cast<PeriodLog*>(context);
  std::size_t index = 0;
  {
    std::lock_guard lock(log->mutex);
    index = log->times.size();
    log->times.push_back(std::chrono::steady_clock::now());
  }
  log->enough.notify_all();
  // The work of a slow tick (a send waiting for the driver).
  if (index == log->slowTick) std::this_thread::sleep_for(std::chrono::milliseconds(log->slowMs));
}

class SystemTimerOverrun : public ::testing::TestWithParam<Overrun> {};

TEST_P(SystemTimerOverrun, DelaysTheFollowingTicksWithoutCatchingUpAndThenStops) {
  const Overrun& c = GetParam();
  PeriodLog log;
  log.slowTick = c.slowTick;
  log.slowMs = c.slowMs;
  CDxMTimer timer;
  ASSERT_NE(timer.start(c.periodMs, &slowTick, reinterpret_cast<uintptr_t>(&log)), 0u);
  const std::size_t s = c.slowTick;
  {
    std::unique_lock lock(log.mutex);
    // A timer whose tick hung on its own event never gets here.
    ASSERT_TRUE(log.enough.wait_for(lock, std::chrono::seconds(5),
                                    [&] { return log.times.size() >= s + 4; }));
  }
  timer.stop();  // a hang here is the fault (the test's time limit ends it)

  std::lock_guard lock(log.mutex);
  using Ms = std::chrono::duration<double, std::milli>;
  const auto after = [&](std::size_t tick) { return Ms(log.times[tick] - log.times[s]).count(); };
  const double period = c.periodMs;
  // A wake-up is late by whatever the load makes it, never early by more than the platform's
  // millisecond: only the lower bounds are tight. A timer catching up fires s+2 at once.
  EXPECT_GE(after(s + 1), c.slowMs - 1.0);
  EXPECT_GE(after(s + 2), c.slowMs + period - 2.0);
  EXPECT_GE(after(s + 3), c.slowMs + 2 * period - 2.0);
  EXPECT_LE(after(s + 3) - after(s + 1), 3 * period) << "the period did not hold again";
}

INSTANTIATE_TEST_SUITE_P(
    RealTime, SystemTimerOverrun,
    ::testing::Values(Overrun{"FirstTickFivePeriods", 20, 0, 100},
                      // The window's period; the slow tick ends after the next one was due.
                      Overrun{"LaterTickAWholePeriodLate", 50, 2, 60}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace rt88h::midi
