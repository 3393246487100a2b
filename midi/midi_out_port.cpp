#include "midi/midi_out_port.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace rt88h::midi {

namespace {

using namespace std::chrono_literals;

// How often close() ends sends again that began after its first reset.
constexpr auto kResetRepeat = 10ms;

}  // namespace

MidiOutPort::MidiOutPort(MidiApi& api) : api_(&api) {}

MidiOutPort::~MidiOutPort() {
  close();
}

int MidiOutPort::open(int deviceIndex) {
  return open(deviceIndex, {});
}

int MidiOutPort::open(int deviceIndex, std::string_view key) {
  // Only this (the window's) thread changes handle_, so it may read it without the lock.
  if (handle_ != nullptr) {
    if (deviceIndex == deviceIndex_ && key == key_) return 1;
    close();
  }
  deviceIndex_ = deviceIndex;
  OutHandle handle = nullptr;
  const int opened = key.empty() ? api_->outOpen(&handle, deviceIndex_)
                                 : api_->outOpenByKey(&handle, deviceIndex_, key);
  if (opened != kMidiOk || handle == nullptr) return 0;
  try {
    key_ = key;
  } catch (...) {
    api_->outClose(handle);
    return 0;
  }
  std::lock_guard lock(mutex_);
  handle_ = handle;
  removed_.store(false);
  return 1;
}

int MidiOutPort::close() {
  OutHandle handle = nullptr;
  std::unique_lock lock(mutex_);
  if (handle_ == nullptr) return 0;
  handle = handle_;
  handle_ = nullptr;  // from here on new sends return 0

  // Sends in progress end when their buffers come back; a reset makes the service give them
  // back now. A send that took its buffer to the service after a reset is ended by the next.
  while (sendsInProgress_ > 0) {
    lock.unlock();
    api_->outReset(handle);
    lock.lock();
    sendEnded_.wait_for(lock, kResetRepeat, [this] { return sendsInProgress_ == 0; });
  }
  lock.unlock();

  // No buffer of a caller is held any more.
  api_->outClose(handle);
  return 1;
}

int MidiOutPort::sendLong(MidiHeader& header) {
  OutHandle handle = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (handle_ == nullptr) return 0;
    handle = handle_;
    ++sendsInProgress_;
  }

  int result = 0;
  {
    std::unique_lock<std::mutex> serial;
    if (api_->outNeedsSerialisedSends()) serial = std::unique_lock(serialSend_);

    if (api_->outPrepare(handle, &header) == kMidiOk) {
      const int taken = api_->outLongMsg(handle, &header);
      if (taken == kMidiErrorNotReady) removed_.store(true);
      if (taken == kMidiOk) {
        // The service sets the flag from its own thread; read it afresh on every pass.
        while ((header.flags.load(std::memory_order_acquire) & kHeaderDone) == 0) {
          std::this_thread::sleep_for(1ms);
        }
        api_->outUnprepare(handle, &header);
        result = 1;
      } else {
        // Refused: leave the header as the caller made it.
        api_->outUnprepare(handle, &header);
      }
    }
  }

  // Notified under the lock: close() may return, and the port go, as soon as the count is 0.
  std::lock_guard lock(mutex_);
  --sendsInProgress_;
  if (sendsInProgress_ == 0) sendEnded_.notify_all();
  return result;
}

int MidiOutPort::deviceCount() {
  return api_->outDeviceCount();
}

void MidiOutPort::deviceName(int index, char (&buffer)[kDeviceNameSize]) {
  char name[kMaxDeviceNameBytes + 1] = {};
  if (api_->outDeviceName(index, name, sizeof name) != kMidiOk) {
    buffer[0] = '\0';
    return;
  }
  const std::size_t length = ::strnlen(name, kMaxDeviceNameBytes);
  std::memcpy(buffer, name, length);
  buffer[length] = '\0';
}

std::string MidiOutPort::deviceKey(int index) {
  try {
    return api_->outDeviceKey(index);
  } catch (...) {
    return {};
  }
}

bool MidiOutPort::isOpen() {
  std::lock_guard lock(mutex_);
  return handle_ != nullptr;
}

int MidiOutPort::deviceIndex() const {
  return deviceIndex_;
}

int sendMessage(MidiOutPort& port, const uint8_t* bytes, uint32_t length) {
  MidiHeader header;
  // The service only reads an outgoing buffer.
  header.data = const_cast<uint8_t*>(bytes);
  header.bufferLength = length;
  return port.sendLong(header);
}

}  // namespace rt88h::midi
