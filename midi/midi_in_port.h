#pragma once
// The receiving end: one input device, one 8192-byte buffer lent to it, and the SysExQueue.
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "midi/midi_api.h"

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
  bool append(const uint8_t* bytes, uint32_t count, Arrival arrival = {});
  bool peek(const uint8_t** bytes, uint32_t* count, Arrival* arrival = nullptr);
  void pop();
  bool empty();

 private:
  struct Entry {
    uint8_t* bytes;
    uint32_t count;
    Arrival arrival;
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
  // Opens the device whose key is `key` at this moment, wherever the list has it now
  // (deviceIndex: where it was listed, a hint only); 0, nothing opened, when no device has that
  // key. An empty key (the service cannot tell devices apart) opens by index. While open: 1,
  // and the open device stays, as with openAndStart(int).
  int openAndStart(int deviceIndex, std::string_view key);
  void close();
  bool peekSysEx(const uint8_t** bytes, uint32_t* count);
  // The same, with when the entry's last byte arrived; any pointer may be null.
  bool peekSysEx(const uint8_t** bytes, uint32_t* count, Arrival* arrival);
  void popSysEx();
  int deviceCount();
  void deviceName(int index, char (&buffer)[kDeviceNameSize]);
  // The identity of the device at that index now; "" when the service cannot tell.
  std::string deviceKey(int index);

  bool isOpen() const;
  int deviceIndex() const;
  // How often the transport has disturbed input on the device open now (late cycles, lost
  // events); 0 while closed or where the service cannot tell.
  uint64_t transportTroubles();

 private:
  int open(int deviceIndex, std::string_view key);
  static void receiveCallback(InMessage message, void* instance, MidiHeader* header,
                              uint32_t shortMessage);
  MidiApi* api_;
  InHandle handle_ = nullptr;
  std::mutex handleMutex_;  // close against transportTroubles from another thread
  MidiHeader* header_ = nullptr;
  int32_t deviceIndex_ = 0;
  int32_t isOpen_ = 0;
  SysExQueue queue_;
};

}  // namespace rt88h::midi
