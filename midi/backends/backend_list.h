#pragma once
// Every back-end the service offers, in the order the device lists show them.
namespace rt88h::midi {
class MidiService;
void registerBackends(MidiService& service);
}  // namespace rt88h::midi
