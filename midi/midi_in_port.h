#pragma once
// The receiving end: one input device, one 8192-byte buffer lent to it, and the SysExQueue.
#include <cstdint>
#include <mutex>

#include "midi_api.h"

namespace rt88h::midi {

inline constexpr uint32_t kReceiveBufferSize = 8192;

// First in, first out; one producer (the service's thread), one consumer (the timer thread).
class SysExQueue {
 public:
  SysExQueue() = default;
  SysExQueue(const SysExQueue&) = delete;
  SysExQueue& operator=(const SysExQueue&) = delete;
  ~SysExQueue();

  // Copies count bytes into a new entry at the tail; false when memory could not be had.
  bool append(const uint8_t* bytes, uint32_t count);
  bool peek(const uint8_t** bytes, uint32_t* count);
  void pop();
  bool empty();

 private:
  struct Entry {
    uint8_t* bytes;
    uint32_t count;
    Entry* next;
  };
  std::mutex mutex_;
  Entry* head_ = nullptr;
  Entry* tail_ = nullptr;
};

class MidiInPort {
 public:
  explicit MidiInPort(MidiApi& api = systemMidi());
  MidiInPort(const MidiInPort&) = delete;
  MidiInPort& operator=(const MidiInPort&) = delete;
  ~MidiInPort();

  int openAndStart(int deviceIndex);  // 1 or 0
  void close();
  bool peekSysEx(const uint8_t** bytes, uint32_t* count);
  void popSysEx();
  int deviceCount();
  void deviceName(int index, char (&buffer)[kDeviceNameSize]);

  bool isOpen() const;
  int deviceIndex() const;

 private:
  static void receiveCallback(InMessage message, void* instance, MidiHeader* header,
                              uint32_t shortMessage);
  MidiApi* api_;
  InHandle handle_ = nullptr;
  MidiHeader* header_ = nullptr;
  int32_t deviceIndex_ = 0;
  int32_t isOpen_ = 0;
  SysExQueue queue_;
};

}  // namespace rt88h::midi
