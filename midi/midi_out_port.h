#pragma once
// The sending end: one output device and a blocking send of one long message.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "midi/midi_api.h"

namespace rt88h::midi {

class MidiOutPort {
 public:
  explicit MidiOutPort(MidiApi& api = systemMidi());
  MidiOutPort(const MidiOutPort&) = delete;
  MidiOutPort& operator=(const MidiOutPort&) = delete;
  ~MidiOutPort();

  int open(int deviceIndex);  // 1 or 0
  // Opens the device whose key is `key` at this moment, wherever the list has it now
  // (deviceIndex: a hint only); 0, nothing opened, when no device has that key. An empty key
  // (the service cannot tell devices apart) opens by index.
  int open(int deviceIndex, std::string_view key);
  int close();  // 1 if it was open, 0 if already closed
  // Returns after the service is done with the caller's buffer (1), or 0 when not sent.
  int sendLong(MidiHeader& header);
  int deviceCount();
  void deviceName(int index, char (&buffer)[kDeviceNameSize]);
  // The identity of the device at that index now; "" when the service cannot tell.
  std::string deviceKey(int index);

  bool isOpen();
  // A send found the device open now vanished (unplugged); any thread.
  bool deviceRemoved() const { return removed_.load(); }
  int deviceIndex() const;

 private:
  MidiApi* api_;
  std::mutex mutex_;  // guards handle_ and sendsInProgress_
  std::condition_variable sendEnded_;
  OutHandle handle_ = nullptr;
  int32_t deviceIndex_ = 0;
  std::string key_;  // of the open device; window thread
  int sendsInProgress_ = 0;
  std::atomic<bool> removed_{false};
  std::mutex serialSend_;  // held for a whole send where the service needs it
};

// Sends one whole message from bytes with a fresh, zeroed header: the port's result.
int sendMessage(MidiOutPort& port, const uint8_t* bytes, uint32_t length);

}  // namespace rt88h::midi
