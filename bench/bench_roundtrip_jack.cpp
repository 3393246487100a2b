// Round trip of one 2359-byte WriteData-sized SysEx over JACK: MidiOutPort -> an echoing device
// built like rt88h-devsim (joins the message, answers from a thread of its own) -> MidiInPort.
// A private jackd with the dummy driver at 48 kHz; 256 and 1024 frames a cycle.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "midi/backends/jack_backend.h"
#include "midi/midi_in_port.h"
#include "midi/midi_out_port.h"
#include "midi/midi_service.h"
#include "tests/support/jack_server.h"
#include "tests/support/watched_api.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using rt88h::midi::MidiHeader;

constexpr std::size_t kMessageLength = 2359;  // a WriteData message with 2048 payload bytes
constexpr const char* kEchoName = "rt88h-bench-echo";

bool jackAvailable() {
  return !rt88h::testing::findJackd().empty();
}

bool serverAnswers(const std::string& server) {
  std::string reason;
  return rt88h::midi::openJackEndpoint("rt88h-bench-probe", &reason, server) != nullptr;
}

// The device side: whole messages in through lent buffers, back out from a thread of its own.
class EchoDevice {
 public:
  explicit EchoDevice(const std::string& server) {
    std::string reason;
    endpoint_ = rt88h::midi::openJackEndpoint(kEchoName, &reason, server);
    if (!endpoint_) return;
    if (endpoint_->openInput("midi_in", &EchoDevice::onInput, this, in_) != 0) return;
    if (endpoint_->openOutput("midi_out", out_) != 0) return;
    for (Buffer& buffer : buffers_) {
      buffer.bytes.resize(65536);
      buffer.header.data = buffer.bytes.data();
      buffer.header.bufferLength = 65536;
      in_->prepare(&buffer.header);
      in_->addBuffer(&buffer.header);
    }
    thread_ = std::thread(&EchoDevice::run, this);
    in_->start();
    ok_ = true;
  }
  ~EchoDevice() {
    if (in_) in_->close();
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      changed_.notify_all();
    }
    if (out_) out_->reset();
    if (thread_.joinable()) thread_.join();
    if (out_) out_->close();
  }
  bool ok() const { return ok_; }

 private:
  struct Buffer {
    std::vector<uint8_t> bytes;
    MidiHeader header;
  };

  static void onInput(rt88h::midi::InMessage message, void* instance, MidiHeader* header,
                      uint32_t /*shortMessage*/) {
    auto* self = static_cast<EchoDevice*>(instance);
    if (message == rt88h::midi::InMessage::ShortData || header->bytesRecorded == 0) return;
    if (message == rt88h::midi::InMessage::LongError) {
      self->in_->addBuffer(header);  // a message cut short: not echoed, and input goes on
      return;
    }
    {
      std::lock_guard lock(self->mutex_);
      self->inbox_.emplace_back(header->data, header->data + header->bytesRecorded);
      self->changed_.notify_all();
    }
    self->in_->addBuffer(header);
  }

  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return stopping_ || !inbox_.empty(); });
      if (stopping_) return;
      std::vector<uint8_t> message = std::move(inbox_.front());
      inbox_.pop_front();
      lock.unlock();
      MidiHeader header;
      header.data = message.data();
      header.bufferLength = static_cast<uint32_t>(message.size());
      out_->prepare(&header);
      if (out_->longMsg(&header) == 0) {
        while ((header.flags.load() & rt88h::midi::kHeaderDone) == 0) {
          std::this_thread::sleep_for(200us);  // as rt88h-devsim waits
        }
      }
      out_->unprepare(&header);
      lock.lock();
    }
  }

  std::unique_ptr<rt88h::midi::JackEndpoint> endpoint_;
  std::unique_ptr<rt88h::midi::InDevice> in_;
  std::unique_ptr<rt88h::midi::OutDevice> out_;
  std::array<Buffer, 4> buffers_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<uint8_t>> inbox_;
  bool stopping_ = false;
  bool ok_ = false;
  std::thread thread_;
};

void BM_RoundTripJack(benchmark::State& state) {
  const auto frames = static_cast<unsigned>(state.range(0));
  rt88h::testing::PrivateJackServer server;
  std::string failure;
  const std::string name =
      "rt88h-bench-" + std::to_string(::getpid()) + "-" + std::to_string(frames);
  if (!server.start(name, frames, serverAnswers, &failure)) {
    state.SkipWithError(("jackd: " + failure).c_str());
    return;
  }
  EchoDevice echo(name);
  rt88h::midi::MidiService service;
  service.addBackend(rt88h::midi::makeJackBackend("rt88h-bench-host", name));
  rt88h::testing::WatchedApi api(service);
  rt88h::midi::MidiOutPort out(api);
  rt88h::midi::MidiInPort in(api);
  if (!echo.ok() || out.open(rt88h::testing::indexOf(out, kEchoName)) != 1 ||
      in.openAndStart(rt88h::testing::indexOf(in, kEchoName)) != 1) {
    state.SkipWithError("the echo device could not be reached");
    return;
  }

  std::vector<uint8_t> message(kMessageLength);
  for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>(i & 0x7F);
  message.front() = 0xF0;
  message.back() = 0xF7;

  std::vector<double> times;
  std::size_t lost = 0;
  for (auto _ : state) {
    std::vector<std::vector<uint8_t>> got;
    bool back = false;
    Clock::time_point start;
    while (!back) {
      start = Clock::now();
      rt88h::midi::sendMessage(out, message.data(), static_cast<uint32_t>(message.size()));
      back = api.waitFor(
          [&] {
            rt88h::testing::takeEntries(in, got);
            return !got.empty();
          },
          2s);
      if (!back) ++lost;  // an xrun of the dummy driver; counted, not timed
      if (lost > 10) {
        state.SkipWithError("no answer in 10 tries");
        return;
      }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(seconds);
    times.push_back(seconds * 1e3);
    if (got.size() != 1 || got[0] != message) {
      state.SkipWithError("the answer differs from the message");
      return;
    }
  }
  std::sort(times.begin(), times.end());
  if (!times.empty()) {
    state.counters["min_ms"] = times.front();
    state.counters["p50_ms"] = times[times.size() / 2];
    state.counters["p99_ms"] = times[std::min(times.size() - 1, times.size() * 99 / 100)];
    state.counters["max_ms"] = times.back();
  }
  state.counters["cycle_ms"] = frames * 1000.0 / 48000.0;
  state.counters["lost"] = static_cast<double>(lost);
  state.SetLabel("2359-byte SysEx, dummy driver " + std::to_string(frames) + " frames");
}

// Registered only where it can run; otherwise one line says why.
const bool registered = [] {
  if (!jackAvailable()) {
    std::fprintf(stderr, "BM_RoundTripJack skipped: jackd is not installed\n");
    return false;
  }
  benchmark::RegisterBenchmark("BM_RoundTripJack", BM_RoundTripJack)
      ->Arg(256)
      ->Arg(1024)
      ->Iterations(100)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  return true;
}();

}  // namespace
