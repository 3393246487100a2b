// Opening a device by its identity: a device listed before the chosen one can shift every index
// between listing and opening, and the key still opens the device that was chosen.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "midi/backends/virtual_midi.h"
#include "midi/midi_in_port.h"
#include "midi/midi_out_port.h"
#include "midi/midi_service.h"
#include "tests/support/sysex_support.h"

namespace rt88h::midi {
namespace {

using rt88h::testing::Bytes;

const Bytes kMessage{0xF0, 0x52, 0x00, 0x58, 0x31, 0xF7};

// Two virtual back-ends in one service: a device added to the first is listed before every
// device of the second, as a new JACK port can come before the one chosen.
class DeviceKeys : public ::testing::Test {
 protected:
  DeviceKeys() {
    service.addBackend(front);
    service.addBackend(back);
    chosen = back->addDevice("RT-88H");
  }

  std::vector<Bytes> received() { return rt88h::testing::drain(in); }

  std::shared_ptr<VirtualMidiBackend> front = makeVirtualMidiBackend();
  std::shared_ptr<VirtualMidiBackend> back = makeVirtualMidiBackend();
  MidiService service;
  std::shared_ptr<VirtualDevice> chosen;
  MidiInPort in{service};
  MidiOutPort out{service};
};

TEST_F(DeviceKeys, EachDeviceHasItsOwnKeyAndKeepsIt) {
  auto twin = back->addDevice("RT-88H");  // the same name: only the key tells them apart
  const std::string first = in.deviceKey(0);
  const std::string second = in.deviceKey(1);
  EXPECT_FALSE(first.empty());
  EXPECT_NE(first, second);
  EXPECT_EQ(first.rfind("virtual:", 0), 0u);
  EXPECT_EQ(out.deviceKey(0), first);  // one device, both directions
  front->addDevice("new");
  EXPECT_EQ(in.deviceKey(1), first);  // moved down one place, same key
  EXPECT_EQ(in.deviceKey(-1), "");
  EXPECT_EQ(in.deviceKey(99), "");
}

TEST_F(DeviceKeys, ADeviceListedInBetweenDoesNotChangeWhichDeviceOpens) {
  const int index = 0;
  const std::string key = in.deviceKey(index);
  ASSERT_EQ(out.deviceKey(index), key);
  auto newcomer = front->addDevice("another program");  // now at index 0

  ASSERT_EQ(in.openAndStart(index, key), 1);
  ASSERT_EQ(out.open(index, key), 1);
  newcomer->inject(kMessage.data(), kMessage.size());
  EXPECT_TRUE(received().empty()) << "the port opened the device listed at the old index";
  chosen->inject(kMessage.data(), kMessage.size());
  EXPECT_EQ(received(), std::vector<Bytes>{kMessage});
  ASSERT_EQ(sendMessage(out, kMessage.data(), static_cast<uint32_t>(kMessage.size())), 1);
  EXPECT_EQ(chosen->takeSent(), std::vector<Bytes>{kMessage});
  EXPECT_TRUE(newcomer->takeSent().empty());
}

TEST_F(DeviceKeys, AKeyNoDeviceHasNowOpensNothing) {
  const std::string key = in.deviceKey(0);
  auto other = back->addDevice("other");
  chosen->vanish();  // "other" is at index 0 now
  EXPECT_EQ(in.openAndStart(0, key), 0);
  EXPECT_FALSE(in.isOpen());
  EXPECT_EQ(out.open(0, key), 0);
  EXPECT_FALSE(out.isOpen());
  other->inject(kMessage.data(), kMessage.size());
  EXPECT_TRUE(received().empty());
  EXPECT_EQ(in.openAndStart(0, "virtual:no-such-device"), 0);
}

TEST_F(DeviceKeys, AnEmptyKeyOpensByIndex) {
  ASSERT_EQ(in.openAndStart(0, ""), 1);
  chosen->inject(kMessage.data(), kMessage.size());
  EXPECT_EQ(received(), std::vector<Bytes>{kMessage});
}

TEST_F(DeviceKeys, AnOutputOpenOnTheSameKeyKeepsTheDeviceAnotherKeyChangesIt) {
  auto second = back->addDevice("second");
  const std::string firstKey = out.deviceKey(0);
  const std::string secondKey = out.deviceKey(1);
  ASSERT_EQ(out.open(0, firstKey), 1);
  ASSERT_EQ(out.open(0, firstKey), 1);
  ASSERT_EQ(out.open(0, secondKey), 1);  // the index hint alone does not keep the old device
  ASSERT_EQ(sendMessage(out, kMessage.data(), static_cast<uint32_t>(kMessage.size())), 1);
  EXPECT_EQ(second->takeSent(), std::vector<Bytes>{kMessage});
  EXPECT_TRUE(chosen->takeSent().empty());
}

}  // namespace
}  // namespace rt88h::midi
