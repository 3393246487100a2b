#pragma once
// A MidiApi that passes everything on and tells the test when an input callback has run, so
// that a test waits for entries on a condition instead of sleeping; what the back-end cases
// share about lists and entries.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "midi/midi_api.h"
#include "midi/midi_in_port.h"
#include "tests/support/sysex_support.h"

namespace rt88h::testing {

// Messages a device side received, joined from pieces into F0..F7, with a wait for a count.
class Inbox {
 public:
  // From one thread only: an F0 begins a message anew, an F7 ends one that began with F0.
  void addPiece(const uint8_t* bytes, std::size_t size) {
    if (size == 0) return;
    if (bytes[0] == 0xF0) joining_.clear();
    joining_.insert(joining_.end(), bytes, bytes + size);
    if (bytes[size - 1] != 0xF7 || joining_.front() != 0xF0) return;
    std::lock_guard lock(mutex_);
    messages_.push_back(std::exchange(joining_, {}));
    changed_.notify_all();
  }
  bool waitFor(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return messages_.size() >= count; });
  }
  std::vector<Bytes> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(messages_, {});
  }

 private:
  Bytes joining_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Bytes> messages_;
};

// Adds every entry of the port's queue to `into`.
inline void takeEntries(midi::MidiInPort& port, std::vector<Bytes>& into) {
  for (Bytes& entry : drain(port)) into.push_back(std::move(entry));
}

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
  // Waits up to `timeout` until the entries taken from the port into `got` hold `bytes` bytes.
  bool waitBytes(midi::MidiInPort& in, std::vector<Bytes>& got, std::size_t bytes,
                 std::chrono::milliseconds timeout) {
    return waitFor(
        [&] {
          takeEntries(in, got);
          return joined(got).size() >= bytes;
        },
        timeout);
  }

  int inOpen(midi::InHandle* handle, int index, midi::InCallback callback,
             void* instance) override {
    relayTo(callback, instance);
    return inner_.inOpen(handle, index, &WatchedApi::relay, this);
  }
  std::string inDeviceKey(int index) override { return inner_.inDeviceKey(index); }
  int inOpenByKey(midi::InHandle* handle, int indexHint, std::string_view key,
                  midi::InCallback callback, void* instance) override {
    relayTo(callback, instance);
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
  void relayTo(midi::InCallback callback, void* instance) {
    std::lock_guard lock(mutex_);
    callback_ = callback;
    instance_ = instance;
  }
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

// The service's names of one direction, in list order.
inline std::vector<std::string> deviceNames(midi::MidiApi& api, bool inputs) {
  std::vector<std::string> listed;
  for (int i = 0; i < (inputs ? api.inDeviceCount() : api.outDeviceCount()); ++i) {
    char name[midi::kDeviceNameSize] = {};
    EXPECT_EQ(
        inputs ? api.inDeviceName(i, name, sizeof name) : api.outDeviceName(i, name, sizeof name),
        midi::kMidiOk);
    listed.emplace_back(name);
  }
  return listed;
}

inline bool contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// A message from the device of `length` bytes and the entries it becomes: 8192 bytes at most.
struct EntriesCase {
  std::size_t length;
  std::vector<std::size_t> entries;
};
inline const std::vector<EntriesCase> kEntriesCases{
    {6, {6}}, {2359, {2359}}, {20000, {8192, 8192, 3616}}};

// Entries of the case's sizes, only the first beginning with F0, that make up `message`.
inline void expectEntries(const std::vector<Bytes>& got, const Bytes& message,
                          const EntriesCase& c) {
  ASSERT_EQ(got.size(), c.entries.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].size(), c.entries[i]) << "entry " << i;
    EXPECT_EQ(got[i].front() == 0xF0, i == 0) << "entry " << i;
  }
  EXPECT_TRUE(joined(got) == message) << "bytes differ";
}

}  // namespace rt88h::testing
