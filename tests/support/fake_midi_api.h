#pragma once
// A MIDI service that records every call and lets a test play the device and the driver.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "midi/midi_api.h"
#include "midi/midi_out_port.h"

namespace rt88h::midi::testing {

inline constexpr auto kLongWait = std::chrono::seconds(10);  // only a fault makes us wait this
inline constexpr auto kShortWait = std::chrono::milliseconds(100);

// Counts events and lets a thread wait for a count.
class Counter {
 public:
  void add() {
    std::lock_guard lock(mutex_);
    ++count_;
    changed_.notify_all();
  }
  long value() {
    std::lock_guard lock(mutex_);
    return count_;
  }
  // False when the time ran out first.
  bool waitFor(long count, std::chrono::milliseconds timeout = kLongWait) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return count_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  long count_ = 0;
};

// A one-shot event between threads.
struct Signal : private Counter {
  void set() { add(); }
  bool waitFor(std::chrono::milliseconds timeout) { return Counter::waitFor(1, timeout); }
};

// One sendLong on its own thread; tells when it has returned and whether its flag was done then.
class Sender {
 public:
  Sender(MidiOutPort& port, std::vector<uint8_t> message) : message_(std::move(message)) {
    header_.data = message_.data();
    header_.bufferLength = static_cast<uint32_t>(message_.size());
    thread_ = std::thread([this, &port] {
      result_ = port.sendLong(header_);
      doneAtReturn_ = (header_.flags.load() & kHeaderDone) != 0;
      returned_.set();
    });
  }
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;
  ~Sender() {
    if (thread_.joinable()) thread_.join();
  }

  MidiHeader* header() { return &header_; }
  const std::vector<uint8_t>& message() const { return message_; }
  bool returnsWithin(std::chrono::milliseconds timeout) { return returned_.waitFor(timeout); }
  int result() {
    thread_.join();
    return result_;
  }
  bool doneAtReturn() const { return doneAtReturn_; }

 private:
  std::vector<uint8_t> message_;
  MidiHeader header_;
  int result_ = -1;
  bool doneAtReturn_ = false;
  Signal returned_;
  std::thread thread_;
};

class FakeMidiApi final : public MidiApi {
 public:
  FakeMidiApi() = default;
  FakeMidiApi(const FakeMidiApi&) = delete;
  FakeMidiApi& operator=(const FakeMidiApi&) = delete;
  ~FakeMidiApi() override {
    {
      std::lock_guard lock(mutex_);
      driverStop_ = true;
    }
    changed_.notify_all();
    if (driver_.joinable()) driver_.join();
  }

  // ---- Calls and failures

  std::vector<std::string> calls() { return get(calls_); }
  void clearCalls() { put(calls_, {}); }
  int count(const std::string& call) {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count(calls_.begin(), calls_.end(), call));
  }
  // After `after` more calls of that name succeed, the next `times` fail with code (and change
  // nothing).
  void fail(const std::string& call, int times = 1, int after = 0, int code = kMidiErrorNotReady) {
    std::lock_guard lock(mutex_);
    failures_[call] = {after, times, code};
  }
  // Broken promises of the service contract, seen from the service's side.
  std::vector<std::string> violations() { return get(violations_); }

  // ---- Input: the device side

  void setInputNames(std::vector<std::string> names) { put(inputNames_, std::move(names)); }
  bool bufferLent() { return get(lent_) != nullptr; }
  MidiHeader* lentHeader() { return get(lent_); }
  int dropped() { return get(dropped_); }
  // Bytes from the device: a buffer comes back done at F7 or when full; without a lent buffer
  // the bytes are lost.
  void deliver(const std::vector<uint8_t>& bytes) {
    std::unique_lock lock(mutex_);
    for (uint8_t byte : bytes) {
      if (lent_ == nullptr) {
        ++dropped_;
        continue;
      }
      lent_->data[fill_++] = byte;
      if (byte == 0xF7 || fill_ == lent_->bufferLength) {
        handBackLocked(lock, InMessage::LongData, fill_);
      }
    }
  }
  // The next buffers handed back carry this stamp, as a back-end that stamps its messages does.
  void stamp(int64_t atUs, int64_t cycle) { put(stamp_, {.atUs = atUs, .cycle = cycle}); }
  // Hands the lent buffer back as the test says.
  void handBack(uint32_t recorded, bool done, InMessage message = InMessage::LongData) {
    std::unique_lock lock(mutex_);
    if (lent_ != nullptr) handBackLocked(lock, message, recorded, done);
  }
  void sendShort(uint32_t message) {
    std::unique_lock lock(mutex_);
    callBack(lock, InMessage::ShortData, nullptr, message);
  }

  // ---- Output: the driver side

  void setOutputNames(std::vector<std::string> names) { put(outputNames_, std::move(names)); }
  void setSerialisedSends(bool value) { put(serialised_, value); }
  // Sends are finished by a driver thread of the fake instead of by the test.
  void completeAutomatically() {
    std::lock_guard lock(mutex_);
    if (!driver_.joinable()) driver_ = std::thread([this] { drive(); });
  }
  // outPrepare waits until openGate() (and tells waitPrepareEntered()).
  void closeGate() { put(gateClosed_, true); }
  void openGate() {
    {
      std::lock_guard lock(mutex_);
      gateClosed_ = false;
    }
    changed_.notify_all();
  }
  bool waitPrepareEntered() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kLongWait, [this] { return prepareWaiting_ > 0; });
  }
  // Waits until `n` long messages have been taken in all.
  bool waitTaken(int n, std::chrono::milliseconds timeout = kLongWait) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return taken_ >= n; });
  }
  bool waitResets(int n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kLongWait, [&] { return resets_ >= n; });
  }
  std::vector<MidiHeader*> inFlight() {
    std::lock_guard lock(mutex_);
    return {inFlight_.begin(), inFlight_.end()};
  }
  int maxInFlight() { return get(maxInFlight_); }
  // The driver is done with the buffer: from this (the caller's) thread.
  void complete(MidiHeader* header) {
    std::lock_guard lock(mutex_);
    completeLocked(header);
  }
  std::vector<std::vector<uint8_t>> sentMessages() { return get(sent_); }

  // ---- MidiApi: input

  int inDeviceCount() override {
    std::lock_guard lock(mutex_);
    calls_.push_back("inDeviceCount");
    return static_cast<int>(inputNames_.size());
  }
  int inDeviceName(int index, char* name, std::size_t size) override {
    return copyName("inDeviceName ", inputNames_, index, name, size);
  }
  int inOpen(InHandle* handle, int index, InCallback callback, void* instance) override {
    std::lock_guard lock(mutex_);
    calls_.push_back("inOpen " + std::to_string(index));
    if (int e = failure("inOpen")) return e;
    if (inOpened_) violations_.push_back("inOpen while open");
    inOpened_ = true;
    callback_ = callback;
    instance_ = instance;
    *handle = inHandle();
    return kMidiOk;
  }
  int inReset(InHandle handle) override {
    std::unique_lock lock(mutex_);
    record("inReset", handle);
    if (int e = failure("inReset")) return e;
    if (lent_ != nullptr) handBackLocked(lock, InMessage::LongData, 0);
    return kMidiOk;
  }
  int inPrepare(InHandle handle, MidiHeader* header) override {
    std::lock_guard lock(mutex_);
    record("inPrepare", handle);
    if (int e = failure("inPrepare")) return e;
    header->flags.fetch_or(kHeaderPrepared);
    return kMidiOk;
  }
  int inAddBuffer(InHandle handle, MidiHeader* header) override {
    std::lock_guard lock(mutex_);
    record("inAddBuffer", handle);
    if (int e = failure("inAddBuffer")) return e;
    if ((header->flags.load() & kHeaderPrepared) == 0) return kMidiErrorUnprepared;
    if (header->bufferLength == 0 || header->data == nullptr) violations_.push_back("no buffer");
    lent_ = header;
    fill_ = 0;
    header->bytesRecorded = 0;
    header->flags.fetch_and(~kHeaderDone);
    header->flags.fetch_or(kHeaderInQueue);
    return kMidiOk;
  }
  int inStart(InHandle handle) override {
    std::lock_guard lock(mutex_);
    record("inStart", handle);
    return failure("inStart");
  }
  int inStop(InHandle handle) override {
    std::unique_lock lock(mutex_);
    record("inStop", handle);
    if (int e = failure("inStop")) return e;
    if (lent_ != nullptr && fill_ > 0) handBackLocked(lock, InMessage::LongData, fill_);
    return kMidiOk;
  }
  int inUnprepare(InHandle handle, MidiHeader* header) override {
    std::lock_guard lock(mutex_);
    record("inUnprepare", handle);
    if (int e = failure("inUnprepare")) return e;
    if (lent_ == header) return kMidiErrorStillPlaying;
    header->flags.fetch_and(~kHeaderPrepared);
    return kMidiOk;
  }
  int inClose(InHandle handle) override {
    std::lock_guard lock(mutex_);
    record("inClose", handle);
    if (int e = failure("inClose")) return e;
    if (lent_ != nullptr) return kMidiErrorStillPlaying;
    inOpened_ = false;
    callback_ = nullptr;
    instance_ = nullptr;
    return kMidiOk;
  }
  uint64_t inTransportTroubles(InHandle /*handle*/) override { return get(troubles_); }
  void setTroubles(uint64_t troubles) { put(troubles_, troubles); }

  // ---- MidiApi: output

  int outDeviceCount() override {
    std::lock_guard lock(mutex_);
    calls_.push_back("outDeviceCount");
    return static_cast<int>(outputNames_.size());
  }
  int outDeviceName(int index, char* name, std::size_t size) override {
    return copyName("outDeviceName ", outputNames_, index, name, size);
  }
  int outOpen(OutHandle* handle, int index) override {
    std::lock_guard lock(mutex_);
    calls_.push_back("outOpen " + std::to_string(index));
    if (int e = failure("outOpen")) return e;
    if (outOpened_) violations_.push_back("outOpen while open");
    outOpened_ = true;
    *handle = outHandle();
    return kMidiOk;
  }
  int outClose(OutHandle handle) override {
    std::lock_guard lock(mutex_);
    record("outClose", handle);
    if (!inFlight_.empty()) {
      violations_.push_back("outClose while a buffer is held");
      while (!inFlight_.empty()) completeLocked(inFlight_.front());  // let the test end
    }
    if (prepareWaiting_ > 0) violations_.push_back("outClose while a send prepares");
    outOpened_ = false;
    return kMidiOk;
  }
  int outPrepare(OutHandle handle, MidiHeader* header) override {
    std::unique_lock lock(mutex_);
    record("outPrepare", handle);
    ++prepareWaiting_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !gateClosed_; });
    --prepareWaiting_;
    if (int e = failure("outPrepare")) return e;
    header->flags.fetch_or(kHeaderPrepared);
    return kMidiOk;
  }
  int outLongMsg(OutHandle handle, MidiHeader* header) override {
    std::lock_guard lock(mutex_);
    record("outLongMsg", handle);
    if (int e = failure("outLongMsg")) return e;
    if ((header->flags.load() & kHeaderPrepared) == 0) violations_.push_back("longMsg unprepared");
    inFlight_.push_back(header);
    maxInFlight_ = std::max(maxInFlight_, static_cast<int>(inFlight_.size()));
    ++taken_;
    changed_.notify_all();
    return kMidiOk;
  }
  int outUnprepare(OutHandle handle, MidiHeader* header) override {
    std::lock_guard lock(mutex_);
    record("outUnprepare", handle);
    if (std::find(inFlight_.begin(), inFlight_.end(), header) != inFlight_.end()) {
      violations_.push_back("unprepare while held");
      return kMidiErrorStillPlaying;
    }
    header->flags.fetch_and(~kHeaderPrepared);
    return kMidiOk;
  }
  int outReset(OutHandle handle) override {
    std::lock_guard lock(mutex_);
    record("outReset", handle);
    while (!inFlight_.empty()) completeLocked(inFlight_.front());
    ++resets_;
    changed_.notify_all();
    return kMidiOk;
  }
  bool outNeedsSerialisedSends() override { return get(serialised_); }

  InHandle inHandle() { return reinterpret_cast<InHandle>(&inTag_); }
  OutHandle outHandle() { return reinterpret_cast<OutHandle>(&outTag_); }

 private:
  // A copy of a field, or a new value for it, under the lock.
  template <class T>
  T get(const T& field) {
    std::lock_guard lock(mutex_);
    return field;
  }
  template <class T>
  void put(T& field, T value) {
    std::lock_guard lock(mutex_);
    field = std::move(value);
  }

  struct Failure {
    int after;
    int times;
    int code;
  };

  int failure(const std::string& call) {
    auto found = failures_.find(call);
    if (found == failures_.end() || found->second.times == 0) return kMidiOk;
    if (found->second.after > 0) {
      --found->second.after;
      return kMidiOk;
    }
    --found->second.times;
    return found->second.code;
  }
  void record(const char* call, const void* handle) {
    calls_.emplace_back(call);
    if (handle != &inTag_ && handle != &outTag_)
      violations_.push_back(std::string(call) + " bad handle");
  }
  int copyName(const char* call, const std::vector<std::string>& names, int index, char* name,
               std::size_t size) {
    std::lock_guard lock(mutex_);
    calls_.push_back(call + std::to_string(index));
    if (index < 0 || static_cast<std::size_t>(index) >= names.size()) return kMidiErrorBadDevice;
    const std::string& n = names[static_cast<std::size_t>(index)];
    const std::size_t length = std::min({n.size(), size - 1, kMaxDeviceNameBytes});
    std::memcpy(name, n.data(), length);
    name[length] = '\0';
    return kMidiOk;
  }

  void handBackLocked(std::unique_lock<std::mutex>& lock, InMessage message, uint32_t recorded,
                      bool done = true) {
    MidiHeader* header = lent_;
    lent_ = nullptr;
    fill_ = 0;
    header->bytesRecorded = recorded;
    header->arrival = stamp_;
    if (done) header->flags.fetch_or(kHeaderDone);
    header->flags.fetch_and(~kHeaderInQueue);
    callBack(lock, message, header, 0);
  }
  // The callback may call back into the service, so the lock is let go meanwhile.
  void callBack(std::unique_lock<std::mutex>& lock, InMessage message, MidiHeader* header,
                uint32_t shortMessage) {
    if (callback_ == nullptr) {
      violations_.push_back("input event without an open device");
      return;
    }
    InCallback callback = callback_;
    void* instance = instance_;
    lock.unlock();
    callback(message, instance, header, shortMessage);
    lock.lock();
  }

  void completeLocked(MidiHeader* header) {
    auto found = std::find(inFlight_.begin(), inFlight_.end(), header);
    if (found == inFlight_.end()) return;
    inFlight_.erase(found);
    sent_.emplace_back(header->data, header->data + header->bufferLength);
    header->flags.fetch_or(kHeaderDone, std::memory_order_release);
  }
  void drive() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return driverStop_ || !inFlight_.empty(); });
      if (driverStop_) return;
      completeLocked(inFlight_.front());
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> calls_;
  std::vector<std::string> violations_;
  std::map<std::string, Failure> failures_;

  alignas(16) char inTag_ = 0;
  alignas(16) char outTag_ = 0;

  std::vector<std::string> inputNames_;
  bool inOpened_ = false;
  InCallback callback_ = nullptr;
  void* instance_ = nullptr;
  MidiHeader* lent_ = nullptr;
  uint32_t fill_ = 0;
  Arrival stamp_;
  uint64_t troubles_ = 0;
  int dropped_ = 0;

  std::vector<std::string> outputNames_;
  bool outOpened_ = false;
  bool serialised_ = false;
  bool gateClosed_ = false;
  int prepareWaiting_ = 0;
  int taken_ = 0;
  int resets_ = 0;
  std::deque<MidiHeader*> inFlight_;
  int maxInFlight_ = 0;
  std::vector<std::vector<uint8_t>> sent_;
  bool driverStop_ = false;
  std::thread driver_;
};

}  // namespace rt88h::midi::testing
