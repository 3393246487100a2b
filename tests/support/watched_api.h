#pragma once
// A MidiApi that passes everything on and tells the test when an input callback has run, so
// that a test waits for entries on a condition instead of sleeping.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "midi/midi_api.h"
#include "midi/midi_in_port.h"
#include "tests/support/sysex_support.h"

namespace rt88h::testing {

class WatchedApi final : public midi::MidiApi {
 public:
  explicit WatchedApi(midi::MidiApi& inner) : inner_(inner) {}

  // Waits until done() holds; it is looked at again after every input callback.
  bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, done);
  }

  int inDeviceCount() override { return inner_.inDeviceCount(); }
  int inDeviceName(int index, char* name, std::size_t size) override {
    return inner_.inDeviceName(index, name, size);
  }
  int inOpen(midi::InHandle* handle, int index, midi::InCallback callback,
             void* instance) override {
    {
      std::lock_guard lock(mutex_);
      callback_ = callback;
      instance_ = instance;
    }
    return inner_.inOpen(handle, index, &WatchedApi::relay, this);
  }
  std::string inDeviceKey(int index) override { return inner_.inDeviceKey(index); }
  int inOpenByKey(midi::InHandle* handle, int indexHint, std::string_view key,
                  midi::InCallback callback, void* instance) override {
    {
      std::lock_guard lock(mutex_);
      callback_ = callback;
      instance_ = instance;
    }
    return inner_.inOpenByKey(handle, indexHint, key, &WatchedApi::relay, this);
  }
  int inReset(midi::InHandle handle) override { return inner_.inReset(handle); }
  int inPrepare(midi::InHandle handle, midi::MidiHeader* header) override {
    return inner_.inPrepare(handle, header);
  }
  int inAddBuffer(midi::InHandle handle, midi::MidiHeader* header) override {
    return inner_.inAddBuffer(handle, header);
  }
  int inStart(midi::InHandle handle) override { return inner_.inStart(handle); }
  int inStop(midi::InHandle handle) override { return inner_.inStop(handle); }
  int inUnprepare(midi::InHandle handle, midi::MidiHeader* header) override {
    return inner_.inUnprepare(handle, header);
  }
  int inClose(midi::InHandle handle) override { return inner_.inClose(handle); }
  uint64_t inTransportTroubles(midi::InHandle handle) override {
    return inner_.inTransportTroubles(handle);
  }

  int outDeviceCount() override { return inner_.outDeviceCount(); }
  int outDeviceName(int index, char* name, std::size_t size) override {
    return inner_.outDeviceName(index, name, size);
  }
  int outOpen(midi::OutHandle* handle, int index) override { return inner_.outOpen(handle, index); }
  std::string outDeviceKey(int index) override { return inner_.outDeviceKey(index); }
  int outOpenByKey(midi::OutHandle* handle, int indexHint, std::string_view key) override {
    return inner_.outOpenByKey(handle, indexHint, key);
  }
  int outClose(midi::OutHandle handle) override { return inner_.outClose(handle); }
  int outPrepare(midi::OutHandle handle, midi::MidiHeader* header) override {
    return inner_.outPrepare(handle, header);
  }
  int outLongMsg(midi::OutHandle handle, midi::MidiHeader* header) override {
    return inner_.outLongMsg(handle, header);
  }
  int outUnprepare(midi::OutHandle handle, midi::MidiHeader* header) override {
    return inner_.outUnprepare(handle, header);
  }
  int outReset(midi::OutHandle handle) override { return inner_.outReset(handle); }
  bool outNeedsSerialisedSends() override { return inner_.outNeedsSerialisedSends(); }

 private:
  static void relay(midi::InMessage message, void* instance, midi::MidiHeader* header,
                    uint32_t shortMessage) {
    auto* self = static_cast<WatchedApi*>(instance);
    midi::InCallback callback = nullptr;
    void* target = nullptr;
    {
      std::lock_guard lock(self->mutex_);
      callback = self->callback_;
      target = self->instance_;
    }
    if (callback != nullptr) callback(message, target, header, shortMessage);
    std::lock_guard lock(self->mutex_);
    self->changed_.notify_all();
  }

  midi::MidiApi& inner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  midi::InCallback callback_ = nullptr;
  void* instance_ = nullptr;
};

// Adds every entry of the port's queue to `into`.
inline void takeEntries(midi::MidiInPort& port, std::vector<Bytes>& into) {
  for (Bytes& entry : drain(port)) into.push_back(std::move(entry));
}

// Index of the first name equal to `name` in the port's list, or -1.
template <class Port>
int indexOf(Port& port, const std::string& name) {
  for (int i = 0; i < port.deviceCount(); ++i) {
    char buffer[midi::kDeviceNameSize] = {};
    port.deviceName(i, buffer);
    if (name == buffer) return i;
  }
  return -1;
}

}  // namespace rt88h::testing
