#pragma once
// When a received message arrived: the one stamp every layer hands up with the bytes.
#include <cstdint>

namespace rt88h {

// A transport that works in cycles (JACK) may deliver a message twice, the copy in the cycle
// after; the cycle a message was read in and how long a cycle lasts tell a copy from a message.
struct Arrival {
  int64_t atUs = -1;    // steady clock µs the message was read at (in cycles: its cycle began)
  int64_t cycle = -1;   // the cycle it was read in; -1 where nothing is ever delivered twice
  int64_t cycleUs = 0;  // how long that cycle lasted
};

}  // namespace rt88h
