#include "midi/backends/lent_buffers.h"

#include <chrono>
#include <cstring>
#include <new>

#include "midi/backends/header_flags.h"

namespace rt88h::midi {

namespace {

bool isRealTime(uint8_t byte) {
  return byte >= 0xF8;
}

}  // namespace

int64_t steadyNowUs() noexcept {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

LentBuffers::LentBuffers(InCallback callback, void* instance)
    : callback_(callback), instance_(instance) {}

int LentBuffers::prepare(MidiHeader* header) {
  return prepareHeader(header);
}

int LentBuffers::addBuffer(MidiHeader* header) {
  if (header == nullptr || header->data == nullptr || header->bufferLength == 0) {
    return kMidiErrorInvalidHandle;
  }
  std::lock_guard lock(mutex_);
  if (const int refused = headerTakeable(header->flags.load()); refused != kMidiOk) return refused;
  if (closed_) return kMidiErrorNotReady;
  try {
    lent_.push_back(header);
  } catch (const std::bad_alloc&) {
    return kMidiErrorNoMemory;
  }
  header->bytesRecorded = 0;
  header->arrival = {};
  markQueued(header);
  return kMidiOk;
}

int LentBuffers::unprepare(MidiHeader* header) {
  if (header == nullptr) return kMidiErrorInvalidHandle;
  std::lock_guard lock(mutex_);
  return unprepareHeader(header);
}

void LentBuffers::start() {
  std::lock_guard lock(mutex_);
  if (!closed_) started_ = true;
}

void LentBuffers::stop() {
  std::unique_lock lock(mutex_);
  started_ = false;
  endInProgress(lock, InMessage::LongData);
}

void LentBuffers::reset() {
  std::unique_lock lock(mutex_);
  started_ = false;
  inMessage_ = false;
  // Only the buffers lent now: one the callback lends again meanwhile stays lent.
  for (std::size_t n = lent_.size(); n > 0 && !lent_.empty(); --n) {
    MidiHeader* header = lent_.front();
    header->bytesRecorded = 0;
    handBack(header, lock);
  }
}

void LentBuffers::close() {
  std::unique_lock lock(mutex_);
  closed_ = true;
  started_ = false;
  inMessage_ = false;
  callbacksEnded_.wait(lock, [this] { return callbacksRunning_ == 0; });
  // Nobody hears of these any more; they must not stay marked as ours.
  while (!lent_.empty()) {
    MidiHeader* header = lent_.front();
    lent_.pop_front();
    header->bytesRecorded = 0;
    markDone(header);
  }
}

void LentBuffers::feedSysEx(const uint8_t* bytes, std::size_t count, Arrival arrival) {
  if (bytes == nullptr) return;
  if (arrival.atUs < 0) arrival.atUs = steadyNowUs();
  std::unique_lock lock(mutex_);
  std::size_t i = 0;
  // State is looked at afresh after every callback: the lock was let go meanwhile.
  while (i < count) {
    if (closed_ || !started_) return;
    const uint8_t byte = bytes[i];
    if (isRealTime(byte)) {
      ++i;
      call(InMessage::ShortData, nullptr, byte, lock);
      continue;
    }
    if (!inMessage_) {
      if (byte != 0xF0 || lent_.empty()) {  // outside a message, or nowhere to put it
        ++i;
        continue;
      }
      inMessage_ = true;
    } else if (byte == 0xF0 || (byte >= 0x80 && byte != 0xF7)) {
      // Any status byte ends a SysEx: the message so far goes back on its own, as cut.
      endInProgress(lock, InMessage::LongError);
      if (byte != 0xF0) ++i;
      continue;
    }
    if (lent_.empty()) {
      // A full buffer came back and none was lent again in time: the rest is lost.
      inMessage_ = false;
      ++i;
      continue;
    }
    MidiHeader* header = lent_.front();
    const std::size_t room = header->bufferLength - header->bytesRecorded;
    std::size_t run = 1;
    if (byte != 0xF7) {
      while (run < room && i + run < count && bytes[i + run] < 0x80) ++run;
    }
    std::memcpy(header->data + header->bytesRecorded, bytes + i, run);
    header->bytesRecorded += static_cast<uint32_t>(run);
    header->arrival = arrival;
    i += run;
    const bool ended = byte == 0xF7;
    if (ended) inMessage_ = false;
    if (ended || header->bytesRecorded == header->bufferLength) handBack(header, lock);
  }
}

void LentBuffers::endMessage() {
  std::unique_lock lock(mutex_);
  if (closed_) return;
  endInProgress(lock, InMessage::LongError);
}

void LentBuffers::feedShort(uint32_t message) {
  std::unique_lock lock(mutex_);
  if (closed_ || !started_) return;
  call(InMessage::ShortData, nullptr, message, lock);
}

// Hands back the front buffer if the message in progress left bytes in it.
void LentBuffers::endInProgress(std::unique_lock<std::mutex>& lock, InMessage how) {
  if (!inMessage_) return;
  inMessage_ = false;
  if (!lent_.empty() && lent_.front()->bytesRecorded > 0) handBack(lent_.front(), lock, how);
}

// header is the front of lent_.
void LentBuffers::handBack(MidiHeader* header, std::unique_lock<std::mutex>& lock, InMessage how) {
  lent_.pop_front();
  markDone(header);
  call(how, header, 0, lock);
}

void LentBuffers::call(InMessage message, MidiHeader* header, uint32_t shortMessage,
                       std::unique_lock<std::mutex>& lock) {
  if (closed_ || callback_ == nullptr) return;
  ++callbacksRunning_;
  lock.unlock();  // the callback lends the buffer again through this object
  try {
    callback_(message, instance_, header, shortMessage);
  } catch (...) {
  }
  lock.lock();
  if (--callbacksRunning_ == 0 && closed_) callbacksEnded_.notify_all();
}

}  // namespace rt88h::midi
