#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "midi/midi_in_port.h"
#include "midi/midi_out_port.h"
#include "tests/support/fake_midi_api.h"
#include "tests/support/sysex_support.h"

namespace rt88h::midi {
namespace {

using rt88h::testing::Bytes;
using rt88h::testing::drain;
using rt88h::testing::joined;
using testing::FakeMidiApi;
using Calls = std::vector<std::string>;

const Calls kOpenCalls{"inOpen 1", "inReset", "inPrepare", "inAddBuffer", "inStart"};
const Calls kCloseCalls{"inStop", "inReset", "inUnprepare", "inClose"};
const Calls kLentAgain{"inPrepare", "inAddBuffer"};

class MidiInPortTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(api.violations(), Calls{}); }

  void openPort() {
    ASSERT_EQ(port.openAndStart(1), 1);
    api.clearCalls();
  }

  FakeMidiApi api;
  MidiInPort port{api};
};

// ---- openAndStart

using MidiInPortOpen = MidiInPortTest;

TEST_F(MidiInPortOpen, LendsAZeroFilledBufferOf8192BytesAndStarts) {
  ASSERT_EQ(port.openAndStart(1), 1);
  EXPECT_EQ(api.calls(), kOpenCalls);
  EXPECT_TRUE(port.isOpen());
  EXPECT_EQ(port.deviceIndex(), 1);

  MidiHeader* header = api.lentHeader();
  ASSERT_NE(header, nullptr);
  ASSERT_NE(header->data, nullptr);
  EXPECT_EQ(header->bufferLength, kReceiveBufferSize);
  EXPECT_EQ(header->bytesRecorded, 0u);
  EXPECT_EQ(Bytes(header->data, header->data + kReceiveBufferSize), Bytes(kReceiveBufferSize, 0));
}

TEST_F(MidiInPortOpen, WhileOpenKeepsTheDeviceAndRecordsTheIndex) {
  openPort();
  EXPECT_EQ(port.openAndStart(4), 1);
  EXPECT_EQ(api.calls(), Calls{});
  EXPECT_EQ(port.deviceIndex(), 4);
  EXPECT_TRUE(api.bufferLent());
}

struct FailingStep {
  const char* call;
  Calls expected;
};

void PrintTo(const FailingStep& step, std::ostream* os) {
  *os << step.call;
}

std::string stepName(const ::testing::TestParamInfo<FailingStep>& step) {
  return step.param.call;
}

class MidiInPortOpenFails : public MidiInPortTest,
                            public ::testing::WithParamInterface<FailingStep> {};

TEST_P(MidiInPortOpenFails, SkipsLaterStepsAndGivesTheDeviceBack) {
  api.fail(GetParam().call);
  EXPECT_EQ(port.openAndStart(1), 0);
  EXPECT_EQ(api.calls(), GetParam().expected);
  EXPECT_FALSE(port.isOpen());
  EXPECT_FALSE(api.bufferLent());

  // Nothing is kept: close has nothing to do, and the device opens again.
  api.clearCalls();
  port.close();
  EXPECT_EQ(api.calls(), Calls{});
  EXPECT_EQ(port.openAndStart(1), 1);
  EXPECT_EQ(api.calls(), kOpenCalls);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, MidiInPortOpenFails,
    ::testing::Values(FailingStep{"inOpen", {"inOpen 1"}},
                      FailingStep{"inReset", {"inOpen 1", "inReset", "inReset", "inClose"}},
                      FailingStep{"inPrepare",
                                  {"inOpen 1", "inReset", "inPrepare", "inReset", "inClose"}},
                      FailingStep{"inAddBuffer",
                                  {"inOpen 1", "inReset", "inPrepare", "inAddBuffer", "inReset",
                                   "inUnprepare", "inClose"}},
                      FailingStep{"inStart",
                                  {"inOpen 1", "inReset", "inPrepare", "inAddBuffer", "inStart",
                                   "inReset", "inUnprepare", "inClose"}}),
    stepName);

TEST_F(MidiInPortOpen, BufferTheDeviceStillHoldsAfterAFailedStartIsKeptUntilClose) {
  api.fail("inStart");
  api.fail("inReset", 1, /*after=*/1);  // the reset that should take the buffer back
  EXPECT_EQ(port.openAndStart(1), 0);
  EXPECT_FALSE(port.isOpen());
  ASSERT_TRUE(api.bufferLent());

  // The service may still write into it; under the address sanitizer a freed buffer shows.
  const Bytes message{0xF0, 0x52, 0x00, 0x58, 0xF7};
  api.deliver(message);
  EXPECT_EQ(drain(port), std::vector<Bytes>{message});

  api.clearCalls();
  port.close();
  EXPECT_EQ(api.calls(), kCloseCalls);
  EXPECT_FALSE(api.bufferLent());
}

Calls concat(Calls a, const Calls& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(MidiInPortOpen, AfterAFailedCloseFirstGetsTheOldDeviceBack) {
  openPort();
  api.fail("inClose");
  port.close();
  EXPECT_EQ(api.calls(), kCloseCalls);

  api.clearCalls();
  EXPECT_EQ(port.openAndStart(2), 1);
  EXPECT_EQ(api.calls(),
            concat(kCloseCalls, {"inOpen 2", "inReset", "inPrepare", "inAddBuffer", "inStart"}));
}

TEST_F(MidiInPortOpen, RefusedWhileTheOldDeviceWillNotLetGo) {
  openPort();
  api.fail("inClose", 2);
  port.close();

  api.clearCalls();
  EXPECT_EQ(port.openAndStart(2), 0);
  EXPECT_EQ(api.calls(), kCloseCalls);
  EXPECT_EQ(port.deviceIndex(), 2);
  EXPECT_FALSE(port.isOpen());
}

// ---- close

using MidiInPortClose = MidiInPortTest;

TEST_F(MidiInPortClose, StopsResetsTakesTheBufferBackAndCloses) {
  openPort();
  port.close();
  EXPECT_EQ(api.calls(), kCloseCalls);
  EXPECT_FALSE(port.isOpen());
  EXPECT_FALSE(api.bufferLent());
}

TEST_F(MidiInPortClose, OnANeverOpenedPortOrTwiceDoesNothing) {
  port.close();
  EXPECT_EQ(api.calls(), Calls{});
  openPort();
  port.close();
  api.clearCalls();
  port.close();
  EXPECT_EQ(api.calls(), Calls{});
}

TEST_F(MidiInPortClose, MessageCutByCloseIsQueuedAsReceivedSoFar) {
  openPort();
  api.deliver({0xF0, 0x52, 0x00, 0x58});
  EXPECT_EQ(drain(port), std::vector<Bytes>{});

  port.close();
  EXPECT_EQ(drain(port), (std::vector<Bytes>{{0xF0, 0x52, 0x00, 0x58}}));
  // The stop hands it back, the callback lends it again, the reset takes it back empty.
  EXPECT_EQ(api.calls(),
            (Calls{"inStop", "inPrepare", "inAddBuffer", "inReset", "inUnprepare", "inClose"}));
  EXPECT_FALSE(api.bufferLent());
}

std::string closeStepName(const ::testing::TestParamInfo<const char*>& step) {
  return step.param;
}

class MidiInPortCloseFails : public MidiInPortTest,
                             public ::testing::WithParamInterface<const char*> {};

TEST_P(MidiInPortCloseFails, KeepsTheBufferAndTriesAgainAtTheNextClose) {
  openPort();
  const std::string failing = GetParam();
  api.fail(failing);
  port.close();
  EXPECT_FALSE(port.isOpen());
  Calls expected;
  for (const auto& call : kCloseCalls) {
    expected.push_back(call);
    if (call == failing) break;
  }
  EXPECT_EQ(api.calls(), expected);

  if (api.bufferLent()) {
    // The service still writes into it: under the address sanitizer a freed buffer shows.
    const Bytes message{0xF0, 0x7E, 0x00, 0x06, 0x02, 0xF7};
    api.deliver(message);
    EXPECT_EQ(drain(port), std::vector<Bytes>{message});
  }

  api.clearCalls();
  port.close();
  EXPECT_EQ(api.calls(), kCloseCalls);
  EXPECT_FALSE(api.bufferLent());

  api.clearCalls();
  port.close();
  EXPECT_EQ(api.calls(), Calls{});
}

INSTANTIATE_TEST_SUITE_P(EachStep, MidiInPortCloseFails,
                         ::testing::Values("inStop", "inReset", "inUnprepare", "inClose"),
                         closeStepName);

TEST_F(MidiInPortClose, DestructionTriesAFailedCloseAgain) {
  {
    MidiInPort other{api};
    ASSERT_EQ(other.openAndStart(0), 1);
    api.fail("inReset");
    other.close();
    ASSERT_TRUE(api.bufferLent());
    api.clearCalls();
  }
  EXPECT_EQ(api.calls(), kCloseCalls);
  EXPECT_FALSE(api.bufferLent());
}

// ---- the receive callback

using MidiInPortReceive = MidiInPortTest;

TEST_F(MidiInPortReceive, WholeMessageBecomesOneEntryAndTheBufferIsLentAgain) {
  openPort();
  const Bytes message{0xF0, 0x52, 0x00, 0x58, 0x00, 0x00, 0xF7};
  api.deliver(message);
  EXPECT_EQ(api.calls(), kLentAgain);
  EXPECT_TRUE(api.bufferLent());

  const uint8_t* bytes = nullptr;
  uint32_t count = 0;
  ASSERT_TRUE(port.peekSysEx(&bytes, &count));
  EXPECT_EQ(Bytes(bytes, bytes + count), message);
  // Peeking leaves it; the bytes are a copy, not the lent buffer.
  EXPECT_NE(bytes, api.lentHeader()->data);
  EXPECT_EQ(drain(port), std::vector<Bytes>{message});
}

TEST_F(MidiInPortReceive, MessageLongerThanTheBufferBecomesEntriesOf8192Bytes) {
  openPort();
  Bytes message{0xF0, 0x52, 0x00, 0x58, 0x02};
  while (message.size() < 19999) message.push_back(static_cast<uint8_t>(message.size() % 0x70));
  message.push_back(0xF7);
  api.deliver(message);

  const auto entries = drain(port);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].size(), 8192u);
  EXPECT_EQ(entries[1].size(), 8192u);
  EXPECT_EQ(entries[2].size(), 20000u - 2 * 8192u);
  EXPECT_NE(entries[1][0], 0xF0);
  EXPECT_NE(entries[2][0], 0xF0);
  EXPECT_EQ(joined(entries), message);
  EXPECT_EQ(api.dropped(), 0);
}

TEST_F(MidiInPortReceive, ABufferNotDoneOrEmptyIsNeitherQueuedNorLentAgain) {
  for (const bool done : {false, true}) {
    SCOPED_TRACE(done ? "empty" : "not done");
    openPort();
    api.deliver({0xF0, 0x01});
    api.handBack(done ? 0 : 2, done);
    EXPECT_EQ(api.calls(), Calls{});
    EXPECT_FALSE(api.bufferLent());
    EXPECT_EQ(drain(port), std::vector<Bytes>{});
    port.close();
  }
}

TEST_F(MidiInPortReceive, ShortMessagesMakeNoEntry) {
  openPort();
  api.sendShort(0x00403C90);  // Note On
  api.sendShort(0xFE);        // Active Sensing
  api.sendShort(0xF8);        // clock
  EXPECT_EQ(api.calls(), Calls{});
  EXPECT_TRUE(api.bufferLent());
  EXPECT_EQ(drain(port), std::vector<Bytes>{});
}

TEST_F(MidiInPortReceive, BrokenSysExIsDroppedButInputGoesOn) {
  openPort();
  api.deliver({0xF0, 0x52, 0x00});
  api.handBack(3, /*done=*/true, InMessage::LongError);
  EXPECT_EQ(api.calls(), kLentAgain);
  EXPECT_TRUE(api.bufferLent());
  EXPECT_EQ(drain(port), std::vector<Bytes>{});

  const Bytes message{0xF0, 0x52, 0xF7};
  api.deliver(message);
  EXPECT_EQ(drain(port), std::vector<Bytes>{message});
}

TEST_F(MidiInPortReceive, EachEntryKeepsTheStampItsBackendGaveIt) {
  openPort();
  const Bytes first{0xF0, 0x01, 0xF7};
  const Bytes second{0xF0, 0x02, 0xF7};
  api.stamp(1'000'123, 41);
  api.deliver(first);
  api.stamp(1'000'456, 42);
  api.deliver(second);

  const uint8_t* bytes = nullptr;
  uint32_t count = 0;
  Arrival arrival;
  ASSERT_TRUE(port.peekSysEx(&bytes, &count, &arrival));
  EXPECT_EQ(Bytes(bytes, bytes + count), first);
  EXPECT_EQ(arrival.atUs, 1'000'123);
  EXPECT_EQ(arrival.cycle, 41);
  port.popSysEx();
  ASSERT_TRUE(port.peekSysEx(nullptr, nullptr, &arrival));
  EXPECT_EQ(arrival.atUs, 1'000'456);
  EXPECT_EQ(arrival.cycle, 42);
  // The two-argument form sees the same entry.
  ASSERT_TRUE(port.peekSysEx(&bytes, &count));
  EXPECT_EQ(Bytes(bytes, bytes + count), second);
}

TEST_F(MidiInPortReceive, AnEntryWithoutAStampIsStampedWhenItArrives) {
  openPort();
  const int64_t before = steadyNowUs();
  api.deliver({0xF0, 0x03, 0xF7});
  const int64_t after = steadyNowUs();
  Arrival arrival;
  ASSERT_TRUE(port.peekSysEx(nullptr, nullptr, &arrival));
  EXPECT_GE(arrival.atUs, before);
  EXPECT_LE(arrival.atUs, after);
  EXPECT_EQ(arrival.cycle, -1);
}

TEST_F(MidiInPortReceive, TransportTroublesAreThoseOfTheOpenDevice) {
  api.setTroubles(3);
  EXPECT_EQ(port.transportTroubles(), 0u);  // nothing open
  openPort();
  EXPECT_EQ(port.transportTroubles(), 3u);
  port.close();
  EXPECT_EQ(port.transportTroubles(), 0u);
}

TEST_F(MidiInPortReceive, EntriesOutliveCloseAndReopen) {
  openPort();
  const Bytes before{0xF0, 0x10, 0xF7};
  const Bytes after{0xF0, 0x20, 0xF7};
  api.deliver(before);
  port.close();

  const uint8_t* bytes = nullptr;
  uint32_t count = 0;
  ASSERT_TRUE(port.peekSysEx(&bytes, &count));
  EXPECT_EQ(Bytes(bytes, bytes + count), before);

  ASSERT_EQ(port.openAndStart(1), 1);
  api.deliver(after);
  EXPECT_EQ(drain(port), (std::vector<Bytes>{before, after}));
}

TEST_F(MidiInPortReceive, DestructionReleasesEveryEntry) {
  // Leaks show up under the address sanitizer.
  auto other = std::make_unique<MidiInPort>(api);
  ASSERT_EQ(other->openAndStart(0), 1);
  for (int i = 0; i < 5; ++i) api.deliver({0xF0, static_cast<uint8_t>(i), 0xF7});
  api.deliver(Bytes(kReceiveBufferSize, 0x01));
  other.reset();
  EXPECT_FALSE(api.bufferLent());
}

// ---- device list: both ports alike

template <class Port>
class PortDevices : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(api.violations(), Calls{}); }
  void listNames(std::vector<std::string> names) {
    if constexpr (std::is_same_v<Port, MidiInPort>) {
      api.setInputNames(std::move(names));
    } else {
      api.setOutputNames(std::move(names));
    }
  }

  FakeMidiApi api;
  Port port{api};
};

using BothPorts = ::testing::Types<MidiInPort, MidiOutPort>;
TYPED_TEST_SUITE(PortDevices, BothPorts);

TYPED_TEST(PortDevices, NamesAreCopiedWholeWithTheirTerminatorAndAnUnknownOneIsEmpty) {
  EXPECT_EQ(this->port.deviceCount(), 0);
  EXPECT_EQ(this->api.calls().size(), 1u);  // the count only
  const std::string wide =
      "\u30dd\u30fc\u30c8\u30dd\u30fc\u30c8\u30dd\u30fc\u30c8 RT-88H";  // 34 bytes: not cut
  this->listNames({"RT-88H", std::string(31, 'x'), wide});
  ASSERT_EQ(this->port.deviceCount(), 3);
  char name[kDeviceNameSize];
  std::memset(name, '#', sizeof name);
  this->port.deviceName(0, name);
  EXPECT_STREQ(name, "RT-88H");
  this->port.deviceName(1, name);
  EXPECT_EQ(std::string(name), std::string(31, 'x'));
  this->port.deviceName(2, name);
  EXPECT_EQ(std::string(name), wide);
  std::memset(name, '#', sizeof name);
  this->port.deviceName(7, name);
  EXPECT_STREQ(name, "");
}

}  // namespace
}  // namespace rt88h::midi
