#include "midi/backends/virtual_midi.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "midi/backends/header_flags.h"
#include "midi/backends/lent_buffers.h"

namespace rt88h::midi {

namespace {

class VirtualDeviceImpl;

struct Registry {
  std::mutex mutex;
  std::vector<std::shared_ptr<VirtualDeviceImpl>> devices;
};

// The sends of one open output end; guarded by its device's mutex.
struct OutEnd {
  std::deque<MidiHeader*> pending;  // taken, not yet delivered
  std::vector<MidiHeader*> held;    // delivered, done held back
  MidiHeader* delivering = nullptr;
  bool endDelivering = false;  // the one being delivered ends as soon as its receiver returns
  bool stopping = false;
  std::condition_variable wake;
};

std::atomic<uint64_t> nextDeviceNumber{0};

// The device whose receiver this thread is running, if any.
thread_local const VirtualDeviceImpl* receiverRunningFor = nullptr;

class VirtualDeviceImpl final : public VirtualDevice {
 public:
  VirtualDeviceImpl(std::string name, std::weak_ptr<Registry> registry)
      : name_(std::move(name)), registry_(std::move(registry)) {}

  const std::string& name() const override { return name_; }
  const std::string& key() const { return key_; }

  void inject(const uint8_t* bytes, std::size_t count) override {
    injectInPieces(bytes, count, count);
  }

  void injectInPieces(const uint8_t* bytes, std::size_t count, std::size_t pieceSize) override {
    if (pieceSize == 0) pieceSize = count;
    // One inject stays whole against another, e.g. the receiver answering from the delivery
    // thread while a test injects.
    std::lock_guard feed(feedMutex_);
    for (const auto& input : inputs()) {
      for (std::size_t at = 0; at < count; at += pieceSize) {
        input->feedSysEx(bytes + at, std::min(pieceSize, count - at));
      }
    }
  }

  void injectShort(uint32_t message) override {
    std::lock_guard feed(feedMutex_);
    for (const auto& input : inputs()) input->feedShort(message);
  }

  void setReceiver(std::function<void(const uint8_t*, std::size_t)> receiver) override {
    std::function<void(const uint8_t*, std::size_t)> previous;
    {
      std::unique_lock lock(mutex_);
      previous = std::move(receiver_);
      receiver_ = std::move(receiver);
      waitForReceivers(lock);
    }
  }

  std::vector<std::vector<uint8_t>> takeSent() override {
    std::lock_guard lock(mutex_);
    return std::exchange(sent_, {});
  }

  void holdDone(bool hold) override {
    std::lock_guard lock(mutex_);
    hold_ = hold;
    if (hold) return;
    for (OutEnd* end : outputs_) {
      for (MidiHeader* header : end->held) markDone(header);
      end->held.clear();
    }
  }

  void vanish() override {
    std::shared_ptr<VirtualDeviceImpl> listed;  // released after the lock
    if (auto registry = registry_.lock()) {
      std::lock_guard lock(registry->mutex);
      auto& devices = registry->devices;
      auto it = std::find_if(devices.begin(), devices.end(),
                             [this](const auto& device) { return device.get() == this; });
      if (it != devices.end()) {
        listed = std::move(*it);
        devices.erase(it);
      }
    }
    std::vector<std::shared_ptr<LentBuffers>> told;
    {
      std::unique_lock lock(mutex_);
      vanished_ = true;
      for (OutEnd* end : outputs_) endSends(*end);
      waitForReceivers(lock);
      told = inputs_;
    }
    // Outside the lock: the callback may call back into the device.
    for (const auto& input : told) input->deviceRemoved();
  }

  // The ends of open devices.
  int attachInput(std::shared_ptr<LentBuffers> input) {
    std::lock_guard lock(mutex_);
    if (vanished_) return kMidiErrorNotReady;
    inputs_.push_back(std::move(input));
    return kMidiOk;
  }

  void detachInput(const LentBuffers* input) {
    std::shared_ptr<LentBuffers> last;  // may be the last owner: released after the lock
    std::lock_guard lock(mutex_);
    for (auto it = inputs_.begin(); it != inputs_.end(); ++it) {
      if (it->get() == input) {
        last = std::move(*it);
        inputs_.erase(it);
        break;
      }
    }
  }

  int attachOutput(OutEnd* end) {
    std::lock_guard lock(mutex_);
    if (vanished_) return kMidiErrorNotReady;
    outputs_.push_back(end);
    return kMidiOk;
  }

  void detachOutput(const OutEnd* end) {
    std::lock_guard lock(mutex_);
    std::erase(outputs_, end);
  }

  int longMsg(OutEnd& end, MidiHeader* header) {
    std::lock_guard lock(mutex_);
    if (vanished_ || end.stopping) return kMidiErrorNotReady;
    if (const int refused = headerTakeable(header->flags.load()); refused != kMidiOk) {
      return refused;
    }
    try {
      end.pending.push_back(header);
    } catch (const std::bad_alloc&) {
      return kMidiErrorNoMemory;
    }
    markQueued(header);
    end.wake.notify_one();
    return kMidiOk;
  }

  int unprepare(MidiHeader* header) {
    std::lock_guard lock(mutex_);
    return unprepareHeader(header);
  }

  // Returns when every send taken before is done (the one being delivered once its receiver
  // returned), unless called from within a receiver of this device.
  void reset(OutEnd& end) {
    std::unique_lock lock(mutex_);
    endSends(end);
    if (receiverRunningFor == this) return;
    settled_.wait(lock, [&end] { return end.delivering == nullptr; });
  }

  void stop(OutEnd& end) {
    std::lock_guard lock(mutex_);
    end.stopping = true;
    endSends(end);
    end.wake.notify_all();
  }

  // The delivery thread of one output end.
  void deliverAll(OutEnd& end) {
    std::unique_lock lock(mutex_);
    for (;;) {
      end.wake.wait(lock, [&end] { return end.stopping || !end.pending.empty(); });
      if (end.pending.empty()) return;
      MidiHeader* header = end.pending.front();
      end.pending.pop_front();
      end.delivering = header;
      end.endDelivering = false;
      deliver(header, lock);
      end.delivering = nullptr;
      if (hold_ && !end.endDelivering && !vanished_ && !end.stopping) {
        end.held.push_back(header);
      } else {
        markDone(header);
      }
      settled_.notify_all();
    }
  }

 private:
  std::vector<std::shared_ptr<LentBuffers>> inputs() {
    std::lock_guard lock(mutex_);
    if (vanished_) return {};
    return inputs_;
  }

  void deliver(const MidiHeader* header, std::unique_lock<std::mutex>& lock) {
    const uint8_t* bytes = header->data;
    const std::size_t count = header->bufferLength;
    if (!receiver_) {
      try {
        sent_.emplace_back(bytes, bytes + count);
      } catch (const std::bad_alloc&) {
      }
      return;
    }
    std::function<void(const uint8_t*, std::size_t)> receiver;
    try {
      receiver = receiver_;
    } catch (const std::bad_alloc&) {
      return;
    }
    ++receiverCalls_;
    lock.unlock();  // the receiver may inject, set a receiver or vanish
    const VirtualDeviceImpl* outer = receiverRunningFor;
    receiverRunningFor = this;
    try {
      receiver(bytes, count);
    } catch (...) {
    }
    receiverRunningFor = outer;
    receiver = nullptr;
    lock.lock();
    --receiverCalls_;
  }

  // Sends taken and not yet done end now; the one being delivered ends when its receiver returns.
  static void endSends(OutEnd& end) {
    for (MidiHeader* header : end.pending) markDone(header);
    end.pending.clear();
    for (MidiHeader* header : end.held) markDone(header);
    end.held.clear();
    if (end.delivering != nullptr) end.endDelivering = true;
  }

  // Until no receiver runs, except the caller's own when it is called from inside one.
  void waitForReceivers(std::unique_lock<std::mutex>& lock) {
    const int own = receiverRunningFor == this ? 1 : 0;
    settled_.wait(lock, [this, own] { return receiverCalls_ <= own; });
  }

  const std::string name_;
  // Numbered across every virtual back-end of the process, so two never share a key.
  const std::string key_ = "virtual:" + std::to_string(nextDeviceNumber.fetch_add(1) + 1);
  const std::weak_ptr<Registry> registry_;
  std::mutex feedMutex_;
  std::mutex mutex_;  // guards what follows and every OutEnd of this device
  std::vector<std::shared_ptr<LentBuffers>> inputs_;
  std::vector<OutEnd*> outputs_;
  std::function<void(const uint8_t*, std::size_t)> receiver_;
  std::vector<std::vector<uint8_t>> sent_;
  bool hold_ = false;
  bool vanished_ = false;
  int receiverCalls_ = 0;
  std::condition_variable settled_;  // a delivery has ended
};

class VirtualInDevice final : public LentBuffersInDevice {
 public:
  VirtualInDevice(std::shared_ptr<VirtualDeviceImpl> device, InCallback callback, void* instance)
      : LentBuffersInDevice(callback, instance), device_(std::move(device)) {}
  ~VirtualInDevice() override { close(); }

  int open() { return device_->attachInput(lent_); }

  int close() override {
    if (closed_) return kMidiOk;
    closed_ = true;
    lent_->close();
    device_->detachInput(lent_.get());
    return kMidiOk;
  }

 private:
  std::shared_ptr<VirtualDeviceImpl> device_;
  bool closed_ = false;
};

class VirtualOutDevice final : public OutDevice {
 public:
  explicit VirtualOutDevice(std::shared_ptr<VirtualDeviceImpl> device)
      : device_(std::move(device)) {}
  ~VirtualOutDevice() override { close(); }

  int open() {
    const int result = device_->attachOutput(&end_);
    if (result != kMidiOk) return result;
    try {
      thread_ = std::thread([this] { device_->deliverAll(end_); });
    } catch (const std::system_error&) {
      device_->detachOutput(&end_);
      return kMidiErrorNoMemory;
    }
    return kMidiOk;
  }

  int prepare(MidiHeader* header) override { return prepareHeader(header); }
  int longMsg(MidiHeader* header) override {
    if (header == nullptr || (header->data == nullptr && header->bufferLength != 0)) {
      return kMidiErrorInvalidHandle;
    }
    return device_->longMsg(end_, header);
  }
  int unprepare(MidiHeader* header) override {
    return header == nullptr ? kMidiErrorInvalidHandle : device_->unprepare(header);
  }
  int reset() override {
    device_->reset(end_);
    return kMidiOk;
  }
  // Not from inside this device's receiver: it joins the thread that runs it.
  int close() override {
    if (closed_) return kMidiOk;
    closed_ = true;
    device_->stop(end_);
    if (thread_.joinable()) thread_.join();
    device_->detachOutput(&end_);
    return kMidiOk;
  }

 private:
  std::shared_ptr<VirtualDeviceImpl> device_;
  OutEnd end_;
  std::thread thread_;
  bool closed_ = false;
};

class VirtualBackendImpl final : public VirtualMidiBackend {
 public:
  std::vector<std::string> inputNames() override { return names(); }
  std::vector<std::string> outputNames() override { return names(); }

  int openInput(std::size_t localIndex, InCallback callback, void* instance,
                std::unique_ptr<InDevice>& device) override {
    return openFound<VirtualInDevice>(deviceAt(localIndex), device, callback, instance);
  }

  int openOutput(std::size_t localIndex, std::unique_ptr<OutDevice>& device) override {
    return openFound<VirtualOutDevice>(deviceAt(localIndex), device);
  }

  std::vector<std::string> inputKeys() override { return keys(); }
  std::vector<std::string> outputKeys() override { return keys(); }

  int openInputByKey(std::string_view key, InCallback callback, void* instance,
                     std::unique_ptr<InDevice>& device) override {
    return openFound<VirtualInDevice>(deviceWithKey(key), device, callback, instance);
  }

  int openOutputByKey(std::string_view key, std::unique_ptr<OutDevice>& device) override {
    return openFound<VirtualOutDevice>(deviceWithKey(key), device);
  }

  std::shared_ptr<VirtualDevice> addDevice(std::string name) override {
    auto device = std::make_shared<VirtualDeviceImpl>(std::move(name), registry_);
    std::lock_guard lock(registry_->mutex);
    registry_->devices.push_back(device);
    return device;
  }

  std::string nameOfKey(std::string_view key) override {
    const std::shared_ptr<VirtualDeviceImpl> device = deviceWithKey(key);
    return device ? device->name() : std::string();
  }

 private:
  // Opens the found device as Device; the caller's device is set only on success.
  template <class Device, class Found, class Base, class... Args>
  static int openFound(Found found, std::unique_ptr<Base>& device, Args... args) {
    if (!found) return kMidiErrorBadDevice;
    try {
      auto opened = std::make_unique<Device>(std::move(found), args...);
      const int result = opened->open();
      if (result != kMidiOk) return result;
      device = std::move(opened);
      return kMidiOk;
    } catch (const std::bad_alloc&) {
      return kMidiErrorNoMemory;
    }
  }

  std::vector<std::string> names() {
    std::lock_guard lock(registry_->mutex);
    std::vector<std::string> result;
    result.reserve(registry_->devices.size());
    for (const auto& device : registry_->devices) result.push_back(device->name());
    return result;
  }

  std::vector<std::string> keys() {
    std::lock_guard lock(registry_->mutex);
    std::vector<std::string> result;
    result.reserve(registry_->devices.size());
    for (const auto& device : registry_->devices) result.push_back(device->key());
    return result;
  }

  std::shared_ptr<VirtualDeviceImpl> deviceWithKey(std::string_view key) {
    std::lock_guard lock(registry_->mutex);
    for (const auto& device : registry_->devices) {
      if (device->key() == key) return device;
    }
    return nullptr;
  }

  std::shared_ptr<VirtualDeviceImpl> deviceAt(std::size_t localIndex) {
    std::lock_guard lock(registry_->mutex);
    if (localIndex >= registry_->devices.size()) return nullptr;
    return registry_->devices[localIndex];
  }

  std::shared_ptr<Registry> registry_ = std::make_shared<Registry>();
};

}  // namespace

std::shared_ptr<VirtualMidiBackend> makeVirtualMidiBackend() {
  return std::make_shared<VirtualBackendImpl>();
}

VirtualMidiBackend& virtualMidi() {
  static const std::shared_ptr<VirtualMidiBackend> backend = makeVirtualMidiBackend();
  return *backend;
}

std::shared_ptr<VirtualDevice> addInProcessDevice(std::string name) {
  return virtualMidi().addDevice(std::move(name));
}

std::string inProcessDeviceName(std::string_view key) {
  return virtualMidi().nameOfKey(key);
}

}  // namespace rt88h::midi
