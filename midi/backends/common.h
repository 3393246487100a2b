#pragma once
// What the back-ends share on the input side and in their device lists; no service's headers.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/arrival.h"

namespace rt88h::midi {

// What one received event is to the input side.
struct EventMeaning {
  enum class Kind : uint8_t { Ignore, SysEx, Short };
  Kind kind = Kind::Ignore;
  bool cutsMessage = false;   // a SysEx in progress ends here, as received so far
  uint32_t shortMessage = 0;  // status | data1 << 8 | data2 << 16
};

// Follows SysEx across events: pieces after the first carry no F0.
class EventReader {
 public:
  EventMeaning read(const uint8_t* bytes, std::size_t count);
  // Events were lost: whatever comes next does not continue the message in progress.
  EventMeaning lost();
  bool inSysEx() const { return inSysEx_; }

 private:
  bool inSysEx_ = false;
};

class LentBuffers;

// One received event into an input device's buffers: SysEx pieces fill them, short messages go
// straight to the callback, and a message cut short is handed back as LongError.
// arrival: when the event came; unstamped, it is stamped on delivery.
void deliverPiece(const uint8_t* bytes, std::size_t count, EventReader& reader,
                  LentBuffers& buffers, Arrival arrival = {});
// Events were lost between two deliveries (a full JACK ring, an ALSA input overrun): the message
// in progress ends as cut and is never glued to what follows.
void deliverLoss(EventReader& reader, LentBuffers& buffers);

// Packs up to three bytes of a short message the way the input callback receives it.
uint32_t packShortMessage(const uint8_t* bytes, std::size_t count);

// One port of another client as a service lists it.
struct ListedPort {
  std::string client;  // what tells clients apart (JACK: its name; ALSA: its number)
  std::string clientName;
  std::string portName;
};

// A device is called by its client's name when that client has one port in the list, else by
// the port's own name.
std::vector<std::string> deviceNames(const std::vector<ListedPort>& ports);

// The program's name as the system knows it, for the client we show to other programs.
std::string applicationName();

}  // namespace rt88h::midi
