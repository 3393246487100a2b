#pragma once
// The Windows multimedia MIDI service (WinMM) as a back-end. No Windows header here: the
// callback translations take the driver's values as plain integers.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "midi/midi_service.h"

namespace rt88h::midi {

std::shared_ptr<MidiBackend> makeWinmmBackend();

// A WinMM result as one of our kMidiError* codes.
int winmmResult(unsigned result);

// A name from a wide capabilities record (at most `size` UTF-16 units, terminated or not) in
// UTF-8; "" when it cannot be converted.
std::string winmmNameToUtf8(const wchar_t* name, std::size_t size);

// "winmm:in:<index>:<name>" or "winmm:out:<index>:<name>".
std::string winmmDeviceKey(bool input, std::size_t index, std::string_view name);

// One input callback of the driver (MIM_* code, first parameter) as our InCallback sees it; a
// MIDIHDR given back carries our header in dwUser. MIM_CLOSE (the device's own, not one our
// close asked for) is DeviceRemoved.
void winmmInMessage(unsigned message, uintptr_t param1, InCallback callback, void* instance);
// One output callback (MOM_* code, first parameter): MOM_DONE marks our header done.
void winmmOutMessage(unsigned message, uintptr_t param1);

// An input device's driver callbacks on their way to the port, and the close that must not
// overtake one (the rule of the lent buffers: a callback in flight is waited for).
class WinmmInCalls {
 public:
  WinmmInCalls(InCallback callback, void* instance) : callback_(callback), instance_(instance) {}
  WinmmInCalls(const WinmmInCalls&) = delete;
  WinmmInCalls& operator=(const WinmmInCalls&) = delete;

  // The driver's callback: our header is kept up to date; the port hears of it unless a close
  // has begun.
  void deliver(unsigned message, uintptr_t param1);
  // Runs closeDevice (midiInClose) once no call reaches the port any more and none is in
  // flight, and returns its result after the calls the close itself made. A failed close lets
  // the calls reach the port again.
  int close(const std::function<int()>& closeDevice);

 private:
  const InCallback callback_;
  void* const instance_;
  std::mutex mutex_;
  std::condition_variable idle_;
  bool closing_ = false;
  int running_ = 0;
};

}  // namespace rt88h::midi
