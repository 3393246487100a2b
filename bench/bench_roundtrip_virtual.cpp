// Round trip of one WriteData-sized SysEx through MidiOutPort -> an echoing virtual device ->
// MidiInPort's queue, over the in-process virtual back-end.
#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>
#include <vector>

#include "midi/in_process.h"
#include "midi/midi_in_port.h"
#include "midi/midi_out_port.h"

namespace {

constexpr std::size_t kMessageLength = 2359;

int indexOf(rt88h::midi::MidiApi& midi, const char* name, bool input) {
  const int count = input ? midi.inDeviceCount() : midi.outDeviceCount();
  for (int i = 0; i < count; ++i) {
    char text[rt88h::midi::kDeviceNameSize] = {};
    if (input) {
      midi.inDeviceName(i, text, sizeof text);
    } else {
      midi.outDeviceName(i, text, sizeof text);
    }
    if (std::string_view(text) == name) return i;
  }
  return -1;
}

void BM_RoundTripVirtual(benchmark::State& state) {
  auto device = rt88h::midi::addInProcessDevice("bench echo");
  device->setReceiver(
      [&device](const uint8_t* bytes, std::size_t count) { device->inject(bytes, count); });
  rt88h::midi::MidiApi& midi = rt88h::midi::systemMidi();
  rt88h::midi::MidiOutPort out;
  rt88h::midi::MidiInPort in;
  if (out.open(indexOf(midi, "bench echo", false)) != 1 ||
      in.openAndStart(indexOf(midi, "bench echo", true)) != 1) {
    state.SkipWithError("the virtual device did not open");
    return;
  }
  std::vector<uint8_t> message(kMessageLength, 0x11);
  message.front() = 0xF0;
  message.back() = 0xF7;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    rt88h::midi::sendMessage(out, message.data(), static_cast<uint32_t>(message.size()));
    const uint8_t* bytes = nullptr;
    uint32_t count = 0;
    while (!in.peekSysEx(&bytes, &count)) std::this_thread::yield();
    in.popSysEx();
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  in.close();
  out.close();
  device->setReceiver(nullptr);
  device->vanish();
}
BENCHMARK(BM_RoundTripVirtual)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace
