#include "sim/devsim/rawmidi_device.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "midi/backends/common.h"
#include "midi/backends/lent_buffers.h"
#include "sim/devsim/raw_stream.h"

namespace rt88h::devsim {
namespace {

using midi::MidiHeader;

std::string describe(const std::string& device, int error) {
  return "raw MIDI device " + device + ": " + snd_strerror(error);
}

class RawMidiIn final : public midi::LentBuffersInDevice {
 public:
  RawMidiIn(midi::InCallback callback, void* instance) : LentBuffersInDevice(callback, instance) {}
  ~RawMidiIn() override { close(); }
  RawMidiIn(const RawMidiIn&) = delete;
  RawMidiIn& operator=(const RawMidiIn&) = delete;

  bool open(const std::string& device, std::string* reason) {
    const int opened = snd_rawmidi_open(&handle_, nullptr, device.c_str(), SND_RAWMIDI_NONBLOCK);
    if (opened < 0) {
      handle_ = nullptr;
      *reason = describe(device, opened);
      return false;
    }
    stop_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop_ < 0) {
      *reason = "no eventfd";
      return false;
    }
    try {
      thread_ = std::thread(&RawMidiIn::receive, this);
    } catch (...) {
      *reason = "no thread";
      return false;
    }
    return true;
  }

  int close() override {
    if (closed_) return midi::kMidiOk;
    closed_ = true;
    if (thread_.joinable()) {
      const uint64_t one = 1;
      const ssize_t written = ::write(stop_, &one, sizeof one);
      (void)written;
      thread_.join();
    }
    lent_->close();
    if (stop_ >= 0) ::close(stop_);
    if (handle_ != nullptr) snd_rawmidi_close(handle_);
    handle_ = nullptr;
    return midi::kMidiOk;
  }

 private:
  void receive() {
    const int count = snd_rawmidi_poll_descriptors_count(handle_);
    std::vector<pollfd> fds(static_cast<std::size_t>(count > 0 ? count : 0) + 1);
    fds[0] = pollfd{stop_, POLLIN, 0};
    if (count > 0) {
      snd_rawmidi_poll_descriptors(handle_, fds.data() + 1, static_cast<unsigned>(count));
    }
    // The kernel keeps input for us only from the first read on.
    uint8_t buffer[4096];
    (void)snd_rawmidi_read(handle_, buffer, 0);
    for (;;) {
      for (pollfd& fd : fds) fd.revents = 0;
      const int ready = ::poll(fds.data(), fds.size(), -1);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0 || fds[0].revents != 0) return;
      for (;;) {
        const ssize_t got = snd_rawmidi_read(handle_, buffer, sizeof buffer);
        if (got == -EAGAIN) break;
        if (got <= 0) {  // the device is gone: its card was removed (unplugged)
          lent_->deviceRemoved();
          return;
        }
        splitRawStream(buffer, static_cast<std::size_t>(got),
                       [this](const uint8_t* bytes, std::size_t size) {
                         midi::deliverPiece(bytes, size, reader_, *lent_);
                       });
      }
    }
  }

  snd_rawmidi_t* handle_ = nullptr;
  midi::EventReader reader_;  // receiving thread
  int stop_ = -1;
  std::thread thread_;
  bool closed_ = false;
};

class RawMidiOut final : public midi::OutDevice {
 public:
  ~RawMidiOut() override { close(); }

  bool open(const std::string& device, std::string* reason) {
    const int opened = snd_rawmidi_open(nullptr, &handle_, device.c_str(), 0);
    if (opened < 0) {
      handle_ = nullptr;
      *reason = describe(device, opened);
      return false;
    }
    return true;
  }

  int prepare(MidiHeader* header) override {
    if (header == nullptr) return midi::kMidiErrorInvalidHandle;
    header->flags.fetch_or(midi::kHeaderPrepared);
    return midi::kMidiOk;
  }

  // Blocking: returns when the kernel holds every byte, with the done flag already set.
  int longMsg(MidiHeader* header) override {
    if (header == nullptr || header->data == nullptr) return midi::kMidiErrorInvalidHandle;
    if ((header->flags.load() & midi::kHeaderPrepared) == 0) return midi::kMidiErrorUnprepared;
    std::lock_guard lock(mutex_);
    if (handle_ == nullptr) return midi::kMidiErrorNotReady;
    std::size_t offset = 0;
    while (offset < header->bufferLength) {
      const ssize_t written =
          snd_rawmidi_write(handle_, header->data + offset, header->bufferLength - offset);
      if (written == -EINTR) continue;
      if (written <= 0) return midi::kMidiErrorNotReady;
      offset += static_cast<std::size_t>(written);
    }
    header->flags.fetch_or(midi::kHeaderDone);
    return midi::kMidiOk;
  }

  int unprepare(MidiHeader* header) override {
    if (header == nullptr) return midi::kMidiErrorInvalidHandle;
    header->flags.fetch_and(~midi::kHeaderPrepared);
    return midi::kMidiOk;
  }

  int reset() override { return midi::kMidiOk; }  // nothing is ever left under way

  int close() override {
    std::lock_guard lock(mutex_);
    if (handle_ != nullptr) snd_rawmidi_close(handle_);
    handle_ = nullptr;
    return midi::kMidiOk;
  }

 private:
  std::mutex mutex_;
  snd_rawmidi_t* handle_ = nullptr;
};

}  // namespace

bool openRawMidi(const std::string& device, midi::InCallback callback, void* instance,
                 std::unique_ptr<midi::InDevice>& in, std::unique_ptr<midi::OutDevice>& out,
                 std::string* reason) {
  std::unique_ptr<RawMidiIn> input(new (std::nothrow) RawMidiIn(callback, instance));
  std::unique_ptr<RawMidiOut> output(new (std::nothrow) RawMidiOut);
  if (!input || !output) {
    *reason = "out of memory";
    return false;
  }
  if (!output->open(device, reason) || !input->open(device, reason)) return false;
  in = std::move(input);
  out = std::move(output);
  return true;
}

}  // namespace rt88h::devsim
