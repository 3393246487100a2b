// A complete update against the device model with the real dispatcher, timer, ports and
// worker: time against the floor (one chunk per 50 ms tick), CPU seconds, peak RSS.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>

#include "protocol/messages.h"
#include "sim/attach/simulated_device.h"
#include "tests/support/port_host.h"

namespace {

using namespace std::chrono_literals;

// 1,908 messages each answered at the next 50 ms tick, plus the pause after BeginUpdate.
constexpr double kFloorSeconds = 1908 * 0.050 + 0.5;

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long peakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void BM_CompleteUpdate(benchmark::State& state) {
  int run = 0;
  for (auto _ : state) {
    rt88h::modelId.store(0x58);
    const std::string name = "bench device " + std::to_string(++run);
    rt88h::sim::SimulatedDevice device(name, rt88h::sim::DeviceModel::Config{});
    rt88h::testing::PortHost host;
    const double cpuBefore = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    if (!host.execute(host.inputIndex(name), host.outputIndex(name)) || !host.waitForEnd(300s)) {
      state.SkipWithError("the update did not complete");
      return;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    bool matches = false;
    device.withModel(
        [&](rt88h::sim::DeviceModel& model) { matches = model.flashMatchesPayloads(); });
    if (!matches || !host.log("box:").empty()) {
      state.SkipWithError("the flash does not equal the payloads");
      return;
    }
    state.SetIterationTime(seconds);
    state.counters["seconds"] = seconds;
    state.counters["floor_ratio"] = seconds / kFloorSeconds;
    state.counters["cpu_seconds"] = cpuSeconds() - cpuBefore;
  }
  state.counters["peak_rss_MiB"] = static_cast<double>(peakRssKiB()) / 1024.0;
}
BENCHMARK(BM_CompleteUpdate)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
