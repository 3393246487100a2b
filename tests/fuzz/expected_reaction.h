#pragma once
// What the dispatcher must do with one received message, written from the table of messages the
// updater interprets (not from the classifier), so the fuzzers compare two readings of it.
#include <cstddef>
#include <cstdint>

namespace rt88h::fuzz {

enum class Reaction {
  Nothing,        // ignored, or device code 03
  Status,         // replyStatus := value, replyEvent set
  Ack,            // Ack sent
  Nak,            // Nak 01 sent
  IdentityReply,  // our Identity Reply sent
  IdentityTaken,  // replyStatus := 0, reportedModel := value, replyEvent set
};

struct Expected {
  Reaction reaction = Reaction::Nothing;
  uint8_t value = 0;
};

// A message too short for the bytes its rule reads does not come from a conforming device and
// is ignored.
inline Expected expectedReaction(const uint8_t* b, std::size_t n, uint8_t model) {
  if (n < 5 || b[0] != 0xF0) return {};
  if (b[1] == 0x52) {
    if (b[3] != model) return {};
    switch (b[4]) {
      case 0x00: return n >= 6 ? Expected{Reaction::Status, b[5]} : Expected{};
      case 0x02: return {Reaction::Status, 0};
      case 0x01:
      case 0x04:
      case 0x05: return {Reaction::Ack, 0};
      case 0x03: return {};
      default: return {Reaction::Nak, 0};
    }
  }
  if (b[1] == 0x7E) {
    if (b[3] != 0x06) return {};
    switch (b[4]) {
      case 0x01: return {Reaction::IdentityReply, 0};
      case 0x02: return n >= 7 ? Expected{Reaction::IdentityTaken, b[6]} : Expected{};
      default: return {Reaction::Nak, 0};
    }
  }
  return {};
}

}  // namespace rt88h::fuzz
