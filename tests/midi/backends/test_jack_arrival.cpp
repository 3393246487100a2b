// When JACK input arrived: the steady-clock stamp and the cycle number of each entry, against a
// private server with the dummy driver and a device that says which cycle it sent in (its frame
// time over the period).
#include <gtest/gtest.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "midi/backends/jack_backend.h"
#include "midi/midi_in_port.h"
#include "midi/midi_service.h"
#include "tests/midi/backends/jack_suite.h"
#include "tests/midi/backends/raw_jack_device.h"
#include "tests/support/watched_api.h"

namespace rt88h::testing {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

constexpr const char* kHostName = "rt88h-arrival-host";
constexpr const char* kDeviceName = "rt88h-arrival-device";

Bytes answer(uint8_t tag) {
  return {0xF0, 0x52, 0x00, 0x58, tag, 0xF7};
}

struct Entry {
  Bytes bytes;
  Arrival arrival;
};

void takeStamped(midi::MidiInPort& port, std::vector<Entry>& into) {
  const uint8_t* bytes = nullptr;
  uint32_t count = 0;
  Arrival arrival;
  while (port.peekSysEx(&bytes, &count, &arrival)) {
    into.push_back({Bytes(bytes, bytes + count), arrival});
    port.popSysEx();
  }
}

class JackArrival : public JackServerSuite {
 protected:
  static void SetUpTestSuite() { startSuiteServer("rt88h-arrival"); }
  void SetUp() override {
    JackServerSuite::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    service_.addBackend(midi::makeJackBackend(kHostName, server_->name()));
  }

  midi::MidiService service_;
};

// Five batches in consecutive cycles; the third holds the same answer twice in one cycle.
TEST_F(JackArrival, EntriesCarryTheCycleTheyWereSentInAndTheTimeTheyCame) {
  RawJackDevice device(server_->name(), kDeviceName, {"midi_out"}, {});
  ASSERT_TRUE(device.ok());
  WatchedApi api(service_);
  midi::MidiInPort in(api);
  ASSERT_EQ(in.openAndStart(indexOf(in, kDeviceName)), 1);

  const std::vector<std::vector<Bytes>> batches{
      {answer(1)}, {answer(2)}, {answer(3), answer(3)}, {answer(4)}, {answer(5)}};
  const std::size_t total = 6;
  for (int attempt = 1; attempt <= 3; ++attempt) {
    SCOPED_TRACE(attempt);
    const std::size_t sentBefore = device.sentCycles().size();
    std::vector<Entry> got;
    const int64_t before = midi::steadyNowUs();
    device.sendInCycles(batches);
    const bool arrived = api.waitFor(
        [&] {
          takeStamped(in, got);
          return got.size() >= total;
        },
        2s);
    const int64_t after = midi::steadyNowUs();
    std::vector<int64_t> sent = device.sentCycles();
    sent.erase(sent.begin(), sent.begin() + static_cast<std::ptrdiff_t>(sentBefore));
    bool consecutive = sent.size() == total;
    for (std::size_t i = 1; consecutive && i < total; ++i) {
      consecutive = sent[i] - sent[i - 1] == (i == 3 ? 0 : 1);
    }
    if (!arrived || !consecutive) {
      // The dummy driver's occasional xrun loses or delays a cycle: not what is tested here.
      std::cout << "[ note ] a cycle was lost or skipped (xrun); sent again\n";
      api.waitFor(
          [&] {
            takeStamped(in, got);
            return false;
          },
          200ms);
      continue;
    }
    ASSERT_EQ(got.size(), total);
    int64_t previous = before;
    for (std::size_t i = 0; i < total; ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(got[i].bytes, answer(static_cast<uint8_t>(i < 3 ? i + 1 : i)));
      // Read in the cycle the device wrote it in (the device runs first in the graph): cycles
      // apart by the server's count are as far apart by the receiver's.
      EXPECT_EQ(got[i].arrival.cycle - got[0].arrival.cycle, sent[i] - sent[0]);
      EXPECT_GE(got[i].arrival.atUs, previous);
      EXPECT_LE(got[i].arrival.atUs, after);
      EXPECT_EQ(got[i].arrival.cycleUs, 256 * 1'000'000 / 48'000);
      previous = got[i].arrival.atUs;
    }
    // Two copies in one cycle share its number and its time; the next cycle is one more.
    EXPECT_EQ(got[2].arrival.cycle, got[3].arrival.cycle);
    EXPECT_EQ(got[2].arrival.atUs, got[3].arrival.atUs);
    EXPECT_EQ(got[4].arrival.cycle, got[3].arrival.cycle + 1);
    // A cycle of 256 frames at 48 kHz lasts 5333 us; consecutive cycles are stamped about that
    // far apart (generously bounded: the dummy driver's timer is not exact).
    EXPECT_GT(got[1].arrival.atUs - got[0].arrival.atUs, 1000);
    return;
  }
  FAIL() << "three attempts in a row lost a cycle";
}

}  // namespace
}  // namespace rt88h::testing
