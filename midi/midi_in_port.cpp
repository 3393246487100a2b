#include "midi/midi_in_port.h"

#include <cstring>
#include <new>

namespace rt88h::midi {

namespace {

void freeReceiveBuffer(MidiHeader*& header) {
  delete[] header->data;
  delete header;
  header = nullptr;
}

// Stops input and takes the buffer back; 0 only when the service no longer holds the buffer
// and will not call back any more.
int stopAndClose(MidiApi& api, InHandle handle, MidiHeader* header) {
  int result = api.inStop(handle);
  if (result == kMidiOk) result = api.inReset(handle);
  if (result == kMidiOk) result = api.inUnprepare(handle, header);
  if (result == kMidiOk) result = api.inClose(handle);
  return result;
}

// A name field of the platform's size (31 characters and terminator), cut into the caller's
// buffer; empty when the layer cannot tell.
void copyDeviceName(int result, const char (&name)[kMaxDeviceNameBytes + 1],
                    char (&buffer)[kDeviceNameSize]) {
  if (result != kMidiOk) {
    buffer[0] = '\0';
    return;
  }
  const std::size_t length = ::strnlen(name, kMaxDeviceNameBytes);
  std::memcpy(buffer, name, length);
  buffer[length] = '\0';
}

}  // namespace

// ---- SysExQueue

SysExQueue::~SysExQueue() {
  while (head_ != nullptr) {
    Entry* entry = head_;
    head_ = entry->next;
    delete[] entry->bytes;
    delete entry;
  }
}

bool SysExQueue::append(const uint8_t* bytes, uint32_t count, Arrival arrival) {
  // Runs on the service's thread: no exception may leave here.
  auto* copy = new (std::nothrow) uint8_t[count];
  if (copy == nullptr) return false;
  auto* entry = new (std::nothrow) Entry{copy, count, arrival, nullptr};
  if (entry == nullptr) {
    delete[] copy;
    return false;
  }
  std::memcpy(copy, bytes, count);

  std::lock_guard lock(mutex_);
  if (tail_ == nullptr) {
    head_ = entry;
  } else {
    tail_->next = entry;
  }
  tail_ = entry;
  return true;
}

bool SysExQueue::peek(const uint8_t** bytes, uint32_t* count, Arrival* arrival) {
  std::lock_guard lock(mutex_);
  if (head_ == nullptr) return false;
  *bytes = head_->bytes;
  *count = head_->count;
  if (arrival != nullptr) *arrival = head_->arrival;
  return true;
}

void SysExQueue::pop() {
  Entry* entry = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (head_ == nullptr) return;
    entry = head_;
    head_ = entry->next;
    if (head_ == nullptr) tail_ = nullptr;
  }
  delete[] entry->bytes;
  delete entry;
}

bool SysExQueue::empty() {
  std::lock_guard lock(mutex_);
  return head_ == nullptr;
}

// ---- MidiInPort

MidiInPort::MidiInPort(MidiApi& api) : api_(&api) {}

MidiInPort::~MidiInPort() {
  close();
  // Still parked: the service may yet write into the buffer, so it is left to the process.
  while (peekSysEx(nullptr, nullptr)) popSysEx();
}

int MidiInPort::openAndStart(int deviceIndex) {
  return open(deviceIndex, {});
}

int MidiInPort::openAndStart(int deviceIndex, std::string_view key) {
  return open(deviceIndex, key);
}

int MidiInPort::open(int deviceIndex, std::string_view key) {
  deviceIndex_ = deviceIndex;
  if (isOpen_ == 1) return 1;

  // A buffer kept from a close that failed: the device must let it go before another opens.
  if (header_ != nullptr) {
    close();
    if (header_ != nullptr) return 0;
  }

  header_ = new (std::nothrow) MidiHeader{};
  if (header_ == nullptr) return 0;
  header_->data = new (std::nothrow) uint8_t[kReceiveBufferSize]();
  if (header_->data == nullptr) {
    delete header_;
    header_ = nullptr;
    return 0;
  }
  header_->bufferLength = kReceiveBufferSize;

  handle_ = nullptr;
  const int opened =
      key.empty()
          ? api_->inOpen(&handle_, deviceIndex_, &MidiInPort::receiveCallback, this)
          : api_->inOpenByKey(&handle_, deviceIndex_, key, &MidiInPort::receiveCallback, this);
  if (opened != kMidiOk) {
    handle_ = nullptr;
    freeReceiveBuffer(header_);
    return 0;
  }
  bool prepared = false;
  bool lent = false;
  int result = api_->inReset(handle_);
  if (result == kMidiOk) {
    result = api_->inPrepare(handle_, header_);
    prepared = result == kMidiOk;
  }
  if (result == kMidiOk) {
    result = api_->inAddBuffer(handle_, header_);
    lent = result == kMidiOk;
  }
  if (result == kMidiOk) result = api_->inStart(handle_);
  if (result == kMidiOk) {
    isOpen_ = 1;
    return 1;
  }

  // Give the device back; the buffer is freed only once the service has certainly let go of
  // it, otherwise it stays parked for the next close.
  int undone = api_->inReset(handle_);
  if (undone != kMidiOk && !lent) undone = kMidiOk;  // nothing of ours is held
  if (undone == kMidiOk && prepared) undone = api_->inUnprepare(handle_, header_);
  if (undone == kMidiOk) undone = api_->inClose(handle_);
  if (undone == kMidiOk) {
    handle_ = nullptr;
    freeReceiveBuffer(header_);
  }
  return 0;
}

void MidiInPort::close() {
  // A header without isOpen_ is one parked by a failed close: try again to get it back.
  if (isOpen_ == 0 && header_ == nullptr) return;
  // The worker may be asking for the troubles count of this very device.
  std::lock_guard lock(handleMutex_);
  if (stopAndClose(*api_, handle_, header_) == kMidiOk) {
    handle_ = nullptr;
    freeReceiveBuffer(header_);
  }
  isOpen_ = 0;
}

bool MidiInPort::peekSysEx(const uint8_t** bytes, uint32_t* count) {
  return peekSysEx(bytes, count, nullptr);
}

bool MidiInPort::peekSysEx(const uint8_t** bytes, uint32_t* count, Arrival* arrival) {
  const uint8_t* b = nullptr;
  uint32_t c = 0;
  Arrival a;
  if (!queue_.peek(&b, &c, &a)) return false;
  if (bytes != nullptr) *bytes = b;
  if (count != nullptr) *count = c;
  if (arrival != nullptr) *arrival = a;
  return true;
}

void MidiInPort::popSysEx() {
  queue_.pop();
}

int MidiInPort::deviceCount() {
  return api_->inDeviceCount();
}

void MidiInPort::deviceName(int index, char (&buffer)[kDeviceNameSize]) {
  char name[kMaxDeviceNameBytes + 1] = {};
  copyDeviceName(api_->inDeviceName(index, name, sizeof name), name, buffer);
}

std::string MidiInPort::deviceKey(int index) {
  try {
    return api_->inDeviceKey(index);
  } catch (...) {
    return {};
  }
}

bool MidiInPort::isOpen() const {
  return isOpen_ == 1;
}

int MidiInPort::deviceIndex() const {
  return deviceIndex_;
}

uint64_t MidiInPort::transportTroubles() {
  std::lock_guard lock(handleMutex_);
  return isOpen_ == 1 ? api_->inTransportTroubles(handle_) : 0;
}

void MidiInPort::receiveCallback(InMessage message, void* instance, MidiHeader* header,
                                 uint32_t /*shortMessage*/) {
  auto* port = static_cast<MidiInPort*>(instance);
  if (port == nullptr || header == nullptr) return;
  if (message != InMessage::LongData && message != InMessage::LongError) return;

  // A buffer handed back empty (as a reset does) or not done comes to rest here.
  if ((header->flags.load(std::memory_order_acquire) & kHeaderDone) == 0 ||
      header->bytesRecorded == 0) {
    return;
  }
  if (message == InMessage::LongData) {
    // A back-end that left no stamp is stamped here, on its receiving thread.
    Arrival arrival = header->arrival;
    if (arrival.atUs < 0) arrival.atUs = steadyNowUs();
    // Without memory the message is lost, but input goes on.
    (void)port->queue_.append(header->data, header->bytesRecorded, arrival);
  }
  // A broken SysEx is not queued, yet the buffer goes back so that input does not stop.
  port->api_->inPrepare(port->handle_, header);
  port->api_->inAddBuffer(port->handle_, header);
}

}  // namespace rt88h::midi
