// Opening a JACK device by its key while another client's port takes its place in the list.
#include <gtest/gtest.h>
#include <unistd.h>

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "midi/backends/jack_backend.h"
#include "midi/midi_in_port.h"
#include "midi/midi_out_port.h"
#include "midi/midi_service.h"
#include "tests/midi/backends/jack_suite.h"
#include "tests/midi/backends/raw_jack_device.h"
#include "tests/support/watched_api.h"

namespace rt88h::testing {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

class JackKeys : public JackServerSuite {
 protected:
  static void SetUpTestSuite() { startSuiteServer("rt88h-keys"); }
  void SetUp() override {
    JackServerSuite::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    service_.addBackend(midi::makeJackBackend("rt88h-keys-host", server_->name()));
  }

  midi::MidiService service_;
};

TEST_F(JackKeys, APortListedInBetweenDoesNotChangeWhichDeviceOpens) {
  // A client that leaves frees the first places of the list; the next ports take them.
  auto leaving = std::make_unique<RawJackDevice>(server_->name(), "rt88h-keys-leaving",
                                                 std::vector<std::string>{"midi_out"},
                                                 std::vector<std::string>{"midi_in"});
  RawJackDevice chosen(server_->name(), "rt88h-keys-chosen", {"midi_out"}, {"midi_in"}, true);
  ASSERT_TRUE(leaving->ok() && chosen.ok());
  leaving.reset();

  WatchedApi api(service_);
  midi::MidiInPort in(api);
  midi::MidiOutPort out(api);
  const int inIndex = indexOf(in, "rt88h-keys-chosen");
  const int outIndex = indexOf(out, "rt88h-keys-chosen");
  ASSERT_GE(inIndex, 0);
  ASSERT_GE(outIndex, 0);
  const std::string inKey = in.deviceKey(inIndex);
  const std::string outKey = out.deviceKey(outIndex);
  EXPECT_EQ(inKey, "jack:rt88h-keys-chosen:midi_out");
  EXPECT_EQ(outKey, "jack:rt88h-keys-chosen:midi_in");

  RawJackDevice newcomer(server_->name(), "rt88h-keys-newcomer", {"midi_out"}, {"midi_in"});
  ASSERT_TRUE(newcomer.ok());
  if (indexOf(in, "rt88h-keys-chosen") == inIndex) {
    std::cout << "[ note ] the server listed the new port after the chosen one\n";
  }

  ASSERT_EQ(out.open(outIndex, outKey), 1);
  ASSERT_EQ(in.openAndStart(inIndex, inKey), 1);
  // The chosen device echoes what it gets: the answer proves both ports reach it.
  for (int attempt = 1; attempt <= 2; ++attempt) {
    const Bytes message{0xF0, 0x52, 0x00, 0x58, static_cast<uint8_t>(attempt), 0xF7};
    ASSERT_EQ(midi::sendMessage(out, message.data(), static_cast<uint32_t>(message.size())), 1);
    std::vector<Bytes> got;
    if (api.waitFor(
            [&] {
              takeEntries(in, got);
              return !got.empty();
            },
            2s)) {
      EXPECT_EQ(got, std::vector<Bytes>{message});
      EXPECT_FALSE(newcomer.waitMessages(1, 0ms)) << "the newcomer was sent to";
      return;
    }
    std::cout << "[ note ] no echo within 2 s (xrun?); sent again\n";
  }
  FAIL() << "the chosen device was not reached through the ports opened by key";
}

TEST_F(JackKeys, AKeyWhosePortHasGoneOpensNothing) {
  auto gone = std::make_unique<RawJackDevice>(server_->name(), "rt88h-keys-gone",
                                              std::vector<std::string>{"midi_out"},
                                              std::vector<std::string>{"midi_in"});
  RawJackDevice staying(server_->name(), "rt88h-keys-staying", {"midi_out"}, {"midi_in"});
  ASSERT_TRUE(gone->ok() && staying.ok());
  midi::MidiInPort in(service_);
  midi::MidiOutPort out(service_);
  const int inIndex = indexOf(in, "rt88h-keys-gone");
  const int outIndex = indexOf(out, "rt88h-keys-gone");
  const std::string inKey = in.deviceKey(inIndex);
  const std::string outKey = out.deviceKey(outIndex);
  gone.reset();
  EXPECT_EQ(in.openAndStart(inIndex, inKey), 0);
  EXPECT_FALSE(in.isOpen());
  EXPECT_EQ(out.open(outIndex, outKey), 0);
  EXPECT_FALSE(out.isOpen());
}

}  // namespace
}  // namespace rt88h::testing
