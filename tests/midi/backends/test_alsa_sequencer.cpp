// The ALSA back-end against the kernel's sequencer, with a second client playing the device.
// Without /dev/snd/seq every case skips and says why.
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "midi/backends/alsa_backend.h"
#include "midi/midi_in_port.h"
#include "midi/midi_out_port.h"
#include "midi/midi_service.h"
#include "tests/support/sysex_support.h"
#include "tests/support/watched_api.h"

namespace rt88h::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kHostName = "rt88h-test-host";
constexpr const char* kDeviceName = "rt88h-test-seqdev";

#define SKIP_WITHOUT_SEQUENCER()                                   \
  do {                                                             \
    if (::access("/dev/snd/seq", F_OK) != 0) {                     \
      GTEST_SKIP() << "no ALSA sequencer: /dev/snd/seq is absent"; \
    }                                                              \
  } while (false)

// A second sequencer client with one port both ways, written straight against libasound.
class RawSeqDevice {
 public:
  RawSeqDevice() {
    if (snd_seq_open(&seq_, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0) {
      seq_ = nullptr;
      return;
    }
    snd_seq_set_client_name(seq_, kDeviceName);
    snd_seq_set_output_buffer_size(seq_, 1u << 16);
    snd_seq_set_input_buffer_size(seq_, 1u << 16);
    snd_seq_set_client_pool_output(seq_, 2000);
    snd_seq_set_client_pool_input(seq_, 2000);
    port_ =
        snd_seq_create_simple_port(seq_, "device",
                                   SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ |
                                       SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                   SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    stop_ = ::eventfd(0, EFD_CLOEXEC);
    receiver_ = std::thread(&RawSeqDevice::receive, this);
  }
  ~RawSeqDevice() {
    if (receiver_.joinable()) {
      const uint64_t one = 1;
      const ssize_t written = ::write(stop_, &one, sizeof one);
      (void)written;
      receiver_.join();
    }
    if (stop_ >= 0) ::close(stop_);
    if (seq_ != nullptr) snd_seq_close(seq_);
  }
  bool ok() const { return seq_ != nullptr && port_ >= 0; }

  void send(std::vector<uint8_t>& message) {
    snd_seq_event_t event;
    snd_seq_ev_clear(&event);
    snd_seq_ev_set_source(&event, static_cast<unsigned char>(port_));
    snd_seq_ev_set_subs(&event);
    snd_seq_ev_set_direct(&event);
    snd_seq_ev_set_sysex(&event, static_cast<unsigned>(message.size()), message.data());
    ASSERT_GE(snd_seq_event_output(seq_, &event), 0);
    ASSERT_GE(snd_seq_drain_output(seq_), 0);
  }

  Inbox inbox;

 private:
  void receive() {
    const int count = snd_seq_poll_descriptors_count(seq_, POLLIN);
    std::vector<pollfd> fds(static_cast<std::size_t>(count) + 1);
    fds[0] = pollfd{stop_, POLLIN, 0};
    snd_seq_poll_descriptors(seq_, fds.data() + 1, static_cast<unsigned>(count), POLLIN);
    for (;;) {
      if (::poll(fds.data(), fds.size(), -1) < 0) continue;
      if (fds[0].revents != 0) return;
      do {
        snd_seq_event_t* event = nullptr;
        if (snd_seq_event_input(seq_, &event) < 0 || event == nullptr) break;
        if (event->type != SND_SEQ_EVENT_SYSEX) continue;
        inbox.addPiece(static_cast<const uint8_t*>(event->data.ext.ptr), event->data.ext.len);
      } while (snd_seq_event_input_pending(seq_, 0) > 0);
    }
  }

  snd_seq_t* seq_ = nullptr;
  int port_ = -1;
  int stop_ = -1;
  std::thread receiver_;
};

class AlsaSequencer : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_SEQUENCER();
    service_.addBackend(midi::makeAlsaBackend(kHostName));
    device_ = std::make_unique<RawSeqDevice>();
    ASSERT_TRUE(device_->ok());
  }
  midi::MidiService service_;
  std::unique_ptr<RawSeqDevice> device_;
};

TEST_F(AlsaSequencer, ListsOtherClientsButNotTheSystemOrOurOwn) {
  const auto in = deviceNames(service_, true);
  EXPECT_TRUE(contains(in, kDeviceName));
  EXPECT_TRUE(contains(deviceNames(service_, false), kDeviceName));
  EXPECT_FALSE(contains(in, "System"));
  EXPECT_FALSE(contains(in, "Announce"));
  EXPECT_FALSE(contains(in, kHostName));
}

TEST_F(AlsaSequencer, SysExReachesTheDeviceWhole) {
  midi::MidiOutPort out(service_);
  ASSERT_EQ(out.open(indexOf(out, kDeviceName)), 1);
  for (std::size_t length : {6u, 2359u, 16384u, 20000u}) {
    SCOPED_TRACE(length);
    const std::vector<uint8_t> message = sysex(length, static_cast<uint8_t>(length));
    ASSERT_EQ(midi::sendMessage(out, message.data(), static_cast<uint32_t>(length)), 1);
    ASSERT_TRUE(device_->inbox.waitFor(1, 2s));
    const auto got = device_->inbox.take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0] == message);
  }
}

TEST_F(AlsaSequencer, MessageThatCanNeverFitIsRefusedWhole) {
  midi::MidiOutPort out(service_);
  ASSERT_EQ(out.open(indexOf(out, kDeviceName)), 1);
  const std::vector<uint8_t> huge = sysex(200000, 1);
  EXPECT_EQ(midi::sendMessage(out, huge.data(), static_cast<uint32_t>(huge.size())), 0);
  EXPECT_FALSE(device_->inbox.waitFor(1, 200ms));  // nothing of it went out
}

TEST_F(AlsaSequencer, SysExFromTheDeviceBecomesEntriesOfAtMost8192) {
  WatchedApi api(service_);
  midi::MidiInPort in(api);
  ASSERT_EQ(in.openAndStart(indexOf(in, kDeviceName)), 1);
  for (const EntriesCase& c : kEntriesCases) {
    SCOPED_TRACE(c.length);
    std::vector<uint8_t> message = sysex(c.length, 5);
    device_->send(message);
    std::vector<Bytes> got;
    ASSERT_TRUE(api.waitBytes(in, got, c.length, 2s));
    expectEntries(got, message, c);
  }
}

TEST_F(AlsaSequencer, ADeviceOpensByItsKeyWhateverIndexIsGiven) {
  WatchedApi api(service_);
  midi::MidiInPort in(api);
  midi::MidiOutPort out(api);
  const int inIndex = indexOf(in, kDeviceName);
  const int outIndex = indexOf(out, kDeviceName);
  ASSERT_GE(inIndex, 0);
  ASSERT_GE(outIndex, 0);
  const std::string inKey = in.deviceKey(inIndex);
  const std::string outKey = out.deviceKey(outIndex);
  EXPECT_EQ(inKey.rfind("alsa:", 0), 0u) << inKey;
  EXPECT_NE(inKey.find(std::string(":") + kDeviceName + ":device"), std::string::npos) << inKey;
  EXPECT_EQ(inKey, outKey);  // one port both ways
  // A hint that points elsewhere (as after a shift of the list) changes nothing.
  ASSERT_EQ(out.open(outIndex + 1, outKey), 1);
  ASSERT_EQ(in.openAndStart(inIndex + 1, inKey), 1);
  std::vector<uint8_t> message = sysex(6, 3);
  ASSERT_EQ(midi::sendMessage(out, message.data(), 6), 1);
  ASSERT_TRUE(device_->inbox.waitFor(1, 2s));
  device_->send(message);
  std::vector<std::vector<uint8_t>> got;
  EXPECT_TRUE(api.waitBytes(in, got, 1, 2s));
  in.close();
  out.close();
  EXPECT_EQ(in.openAndStart(inIndex, "alsa:999:0:gone:device"), 0);
  EXPECT_EQ(out.open(outIndex, "alsa:999:0:gone:device"), 0);
}

// The device leaves, as a USB-MIDI device unplugged does (here its client ends): the input hears
// it, a send then fails at once; back under another client number it opens by its new key only.
TEST_F(AlsaSequencer, AVanishedDeviceIsToldAndComesBackUnderItsNewKeyOnly) {
  WatchedApi api(service_);
  midi::MidiInPort in(api);
  midi::MidiOutPort out(api);
  std::vector<uint8_t> message = sysex(6, 3);
  const std::string oldKey = in.deviceKey(indexOf(in, kDeviceName));
  ASSERT_TRUE(out.open(0, oldKey) == 1 && in.openAndStart(0, oldKey) == 1);
  device_.reset();
  EXPECT_TRUE(api.waitFor([&] { return in.deviceRemoved(); }, 2s));
  EXPECT_EQ(midi::sendMessage(out, message.data(), 6), 0);
  EXPECT_TRUE(out.deviceRemoved());

  snd_seq_t* holder = nullptr;  // takes the number the device had
  ASSERT_GE(snd_seq_open(&holder, "default", SND_SEQ_OPEN_DUPLEX, 0), 0);
  device_ = std::make_unique<RawSeqDevice>();
  const std::string newKey = in.deviceKey(indexOf(in, kDeviceName));
  EXPECT_NE(newKey, oldKey);
  in.close();
  out.close();
  EXPECT_TRUE(out.open(0, oldKey) == 0 && in.openAndStart(0, oldKey) == 0);
  ASSERT_TRUE(out.open(0, newKey) == 1 && in.openAndStart(0, newKey) == 1);
  EXPECT_EQ(midi::sendMessage(out, message.data(), 6), 1);
  EXPECT_TRUE(device_->inbox.waitFor(1, 2s) && !in.deviceRemoved());
  snd_seq_close(holder);
}

// --- kernel clients: the raw MIDI port of a USB-MIDI device, here snd-virmidi's ---

constexpr const char* kRawMidiDevice = "hw:0,0";
constexpr const char* kRawMidiClient = "Virtual Raw MIDI 0-0";  // its sequencer client

// Our end of the raw MIDI device: what the sequencer sends to its client arrives here, and what
// is written here leaves its client as events of at most 256 bytes, as from a USB device.
class RawMidi {
 public:
  RawMidi() {
    if (snd_rawmidi_open(&in_, nullptr, kRawMidiDevice, SND_RAWMIDI_NONBLOCK) < 0) in_ = nullptr;
    if (snd_rawmidi_open(nullptr, &out_, kRawMidiDevice, 0) < 0) out_ = nullptr;
    // Input starts with the first read; until then the kernel keeps nothing for us.
    uint8_t none[1];
    if (in_ != nullptr) (void)snd_rawmidi_read(in_, none, 0);
  }
  ~RawMidi() {
    if (in_ != nullptr) snd_rawmidi_close(in_);
    if (out_ != nullptr) snd_rawmidi_close(out_);
  }
  RawMidi(const RawMidi&) = delete;
  RawMidi& operator=(const RawMidi&) = delete;
  bool ok() const { return in_ != nullptr && out_ != nullptr; }

  bool write(const std::vector<uint8_t>& bytes) {
    return snd_rawmidi_write(out_, bytes.data(), bytes.size()) ==
               static_cast<ssize_t>(bytes.size()) &&
           snd_rawmidi_drain(out_) == 0;
  }

  // Reads until `count` bytes came or nothing more came for `quiet`.
  std::vector<uint8_t> read(std::size_t count, std::chrono::milliseconds quiet) {
    std::vector<uint8_t> got;
    pollfd fds[4];
    const int n = snd_rawmidi_poll_descriptors(in_, fds, 4);
    while (got.size() < count) {
      uint8_t buffer[4096];
      const ssize_t size = snd_rawmidi_read(in_, buffer, sizeof buffer);
      if (size > 0) {
        got.insert(got.end(), buffer, buffer + size);
        continue;
      }
      if (size != -EAGAIN) break;
      if (::poll(fds, static_cast<nfds_t>(n), static_cast<int>(quiet.count())) <= 0) break;
    }
    return got;
  }

 private:
  snd_rawmidi_t* in_ = nullptr;
  snd_rawmidi_t* out_ = nullptr;
};

class AlsaKernelClient : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_SEQUENCER();
    if (::access("/dev/snd/midiC0D0", F_OK) != 0) {
      GTEST_SKIP() << "no raw MIDI device: /dev/snd/midiC0D0 is absent (modprobe snd-virmidi)";
    }
    service_.addBackend(midi::makeAlsaBackend(kHostName));
    raw_ = std::make_unique<RawMidi>();
    ASSERT_TRUE(raw_->ok()) << "cannot open " << kRawMidiDevice;
    midi::MidiOutPort probe(service_);
    if (indexOf(probe, kRawMidiClient) < 0) {
      GTEST_SKIP() << kRawMidiDevice << " is no snd-virmidi device (no client " << kRawMidiClient
                   << ")";
    }
  }
  midi::MidiService service_;
  std::unique_ptr<RawMidi> raw_;
};

// The kernel writes one event into a 4,096-byte buffer and drops the rest without a word: a
// larger message must be refused, never cut.
TEST_F(AlsaKernelClient, SysExUpTo4096ArrivesWholeLargerIsRefused) {
  midi::MidiOutPort out(service_);
  ASSERT_EQ(out.open(indexOf(out, kRawMidiClient)), 1);
  for (std::size_t length : {2359u, 4096u}) {
    SCOPED_TRACE(length);
    const std::vector<uint8_t> message = sysex(length, static_cast<uint8_t>(length));
    ASSERT_EQ(midi::sendMessage(out, message.data(), static_cast<uint32_t>(length)), 1);
    const std::vector<uint8_t> got = raw_->read(length + 1, 500ms);
    EXPECT_EQ(got.size(), length);
    EXPECT_TRUE(got == message);
  }
  for (std::size_t length : {4097u, 6000u, 20000u}) {
    SCOPED_TRACE(length);
    const std::vector<uint8_t> message = sysex(length, 3);
    EXPECT_EQ(midi::sendMessage(out, message.data(), static_cast<uint32_t>(length)), 0);
    EXPECT_TRUE(raw_->read(1, 300ms).empty());  // nothing of it went out
  }
  // The port goes on working after a refusal.
  const std::vector<uint8_t> after = sysex(7, 9);
  ASSERT_EQ(midi::sendMessage(out, after.data(), 7), 1);
  EXPECT_TRUE(raw_->read(8, 500ms) == after);
}

// The updater's input path from a USB-MIDI device: the kernel cuts SysEx into events of 256
// bytes, the port joins them into entries of at most 8192.
TEST_F(AlsaKernelClient, SysExFromARawMidiPortBecomesEntriesOfAtMost8192) {
  WatchedApi api(service_);
  midi::MidiInPort in(api);
  ASSERT_EQ(in.openAndStart(indexOf(in, kRawMidiClient)), 1);
  for (const EntriesCase& c : kEntriesCases) {
    SCOPED_TRACE(c.length);
    const std::vector<uint8_t> message = sysex(c.length, 7);
    ASSERT_TRUE(raw_->write(message));
    std::vector<Bytes> got;
    ASSERT_TRUE(api.waitBytes(in, got, c.length, 5s));
    expectEntries(got, message, c);
  }
}

TEST(AlsaWithoutSequencer, ListsNothingAndTheProgramGoesOn) {
  if (::access("/dev/snd/seq", F_OK) == 0) GTEST_SKIP() << "a sequencer is present here";
  midi::MidiService service;
  service.addBackend(midi::makeAlsaBackend(kHostName));
  EXPECT_EQ(service.inDeviceCount(), 0);
  EXPECT_EQ(service.outDeviceCount(), 0);
  midi::OutHandle out = nullptr;
  EXPECT_NE(service.outOpen(&out, 0), midi::kMidiOk);
  service.rescan();
  EXPECT_EQ(service.inDeviceCount(), 0);
}

}  // namespace
}  // namespace rt88h::testing
