#pragma once
// The Windows multimedia MIDI service (WinMM) as a back-end. No Windows header here: the
// callback translations take the driver's values as plain integers.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "midi_service.h"

namespace rt88h::midi {

std::shared_ptr<MidiBackend> makeWinmmBackend();

// A WinMM result as one of our kMidiError* codes.
int winmmResult(unsigned result);

// A name from a capabilities record (ANSI code page, at most `size` bytes, terminated or not)
// in UTF-8; "" when it cannot be converted.
std::string winmmNameToUtf8(const char* name, std::size_t size);

// "winmm:in:<index>:<name>" or "winmm:out:<index>:<name>".
std::string winmmDeviceKey(bool input, std::size_t index, std::string_view name);

// One input callback of the driver (MIM_* code, first parameter) as our InCallback sees it; a
// MIDIHDR given back carries our header in dwUser. MIM_CLOSE (the device's own, not one our
// close asked for) is DeviceRemoved.
void winmmInMessage(unsigned message, uintptr_t param1, InCallback callback, void* instance);
// One output callback (MOM_* code, first parameter): MOM_DONE marks our header done.
void winmmOutMessage(unsigned message, uintptr_t param1);

}  // namespace rt88h::midi
