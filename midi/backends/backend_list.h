#pragma once
// The machine's MIDI services, added to the service before the virtual back-end.
namespace rt88h::midi {
class MidiService;
void registerPlatformBackends(MidiService& service);
}  // namespace rt88h::midi
