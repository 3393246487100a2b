// Faults of the JACK back-end that only show against a real server: a device refused for want of
// a slot, and an input thread whose wait fails.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "midi/backends/jack_backend.h"
#include "midi/midi_service.h"
#include "tests/midi/backends/jack_suite.h"
#include "tests/midi/backends/raw_jack_device.h"

namespace rt88h::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kSlotsPerClient = 64;

class JackFaults : public JackServerSuite {
 protected:
  static void SetUpTestSuite() { startSuiteServer("rt88h-faults"); }
};

TEST_F(JackFaults, AnOutputRefusedForWantOfASlotLeavesTheOtherDevicesSending) {
  std::string reason;
  auto endpoint = midi::openJackEndpoint("rt88h-slots", &reason, server_->name());
  ASSERT_TRUE(endpoint) << reason;
  RawJackDevice device(server_->name(), "rt88h-slots-device", {}, {"midi_in"});
  ASSERT_TRUE(device.ok());

  std::vector<std::unique_ptr<midi::OutDevice>> outs;
  for (std::size_t i = 0; i < kSlotsPerClient; ++i) {
    std::unique_ptr<midi::OutDevice> out;
    ASSERT_EQ(endpoint->openOutput("out_" + std::to_string(i), out), midi::kMidiOk) << i;
    outs.push_back(std::move(out));
  }
  {
    std::unique_ptr<midi::OutDevice> refused;
    EXPECT_EQ(endpoint->openOutput("out_extra", refused), midi::kMidiErrorNoMemory);
    EXPECT_FALSE(refused);
  }  // what was made for it is undone here

  // The first device took the first slot; it must still be served every cycle.
  ASSERT_TRUE(device.connect(endpoint->clientName() + ":out_0", device.portName(false)));
  std::vector<uint8_t> message{0xF0, 0x52, 0x00, 0x58, 0x11, 0xF7};
  bool arrived = false;
  for (int attempt = 1; attempt <= 2 && !arrived; ++attempt) {
    midi::MidiHeader header;
    header.data = message.data();
    header.bufferLength = static_cast<uint32_t>(message.size());
    ASSERT_EQ(outs[0]->prepare(&header), midi::kMidiOk);
    ASSERT_EQ(outs[0]->longMsg(&header), midi::kMidiOk);
    arrived = device.waitMessages(1, 2s);
    outs[0]->reset();  // a send no cycle took ends here
    outs[0]->unprepare(&header);
  }
  EXPECT_TRUE(arrived) << "the first device's send never went out: its slot was taken away";
}

// A poll that fails once, as on ENOMEM, then is the system's.
struct FailingPoll {
  static int poll(pollfd* fds, nfds_t count, int timeoutMs) {
    {
      std::lock_guard lock(mutex);
      if (++calls == 1) {
        called.notify_all();
        errno = ENOMEM;
        return -1;
      }
    }
    return ::poll(fds, count, timeoutMs);
  }
  static bool waitFirstCall() {
    std::unique_lock lock(mutex);
    return called.wait_for(lock, 5s, [] { return calls >= 1; });
  }
  static inline std::mutex mutex;
  static inline std::condition_variable called;
  static inline int calls = 0;
};

void ignoreInput(midi::InMessage, void*, midi::MidiHeader*, uint32_t) {}

TEST_F(JackFaults, AnInputWhoseWaitFailsStopsAndSaysSoInsteadOfSpinning) {
  std::string reason;
  auto endpoint = midi::openJackEndpoint("rt88h-pollfail", &reason, server_->name());
  ASSERT_TRUE(endpoint) << reason;
  midi::setJackInputPollForTesting(&FailingPoll::poll);
  std::unique_ptr<midi::InDevice> in;
  const int opened = endpoint->openInput("midi_in", &ignoreInput, nullptr, in);
  ASSERT_EQ(opened, midi::kMidiOk);
  const bool called = FailingPoll::waitFirstCall();
  EXPECT_EQ(in->close(), midi::kMidiOk);  // joins the input thread
  midi::setJackInputPollForTesting(nullptr);
  ASSERT_TRUE(called);
  std::lock_guard lock(FailingPoll::mutex);
  // One failed wait, then no other: a loop that tried again would have waited a second time.
  EXPECT_EQ(FailingPoll::calls, 1);
  EXPECT_EQ(in->transportTroubles(), 1u);
}

}  // namespace
}  // namespace rt88h::testing
