#pragma once
// The window's update machinery without a window: real ports, the real 50 ms timer running the
// dispatcher, and a worker thread. View operations are logged as RecordingView does; message
// boxes close at once.
#include <atomic>
#include <chrono>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "midi/dxm_timer.h"
#include "midi/midi_in_port.h"
#include "midi/midi_out_port.h"
#include "protocol/dispatcher.h"
#include "protocol/update_host.h"
#include "tests/support/recording_view.h"

namespace rt88h::testing {

class PortHost final : public UpdateLink {
 public:
  PortHost();
  ~PortHost();
  PortHost(const PortHost&) = delete;
  PortHost& operator=(const PortHost&) = delete;

  // Position of the device with that name in the input or output list, or -1.
  int inputIndex(std::string_view name);
  int outputIndex(std::string_view name);

  // What Execute does: output, then input; then the worker. false when a port did not open.
  bool execute(int inIndex, int outIndex);
  // Waits until the worker has given the controls back (true) or the limit passed.
  bool waitForEnd(std::chrono::milliseconds limit) { return view_.waitForRestore(limit); }
  // Waits until the worker has returned.
  void join();
  // Waits until a logged line begins with `prefix`.
  bool waitForLine(std::string_view prefix, std::chrono::milliseconds limit) {
    return view_.waitForLine(prefix, limit);
  }
  // What closing the window does: ports closed, stop value, signal; then the worker joined.
  void close();

  std::vector<std::string> log(std::string_view prefix = {}) { return view_.log(prefix); }
  bool busy() { return signals_.busy.load() != 0; }

  int sendLong(const uint8_t* bytes, uint32_t length) override;
  bool peekSysEx(const uint8_t** bytes, uint32_t* count, Arrival* arrival) override;
  void popSysEx() override;
  uint64_t transportTroubles() override;

 private:
  static void tick(uint32_t id, uint32_t message, uintptr_t context, uintptr_t, uintptr_t);

  midi::MidiInPort midiIn_;
  midi::MidiOutPort midiOut_;
  midi::CDxMTimer timer_;
  UpdateSignals signals_;
  RecordingView view_{signals_};
  ReplyDispatcher dispatcher_{*this, view_, signals_};
  std::thread worker_;
};

}  // namespace rt88h::testing
