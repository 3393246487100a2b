#pragma once
// What the dispatcher must do with one received message, written from the table of messages the
// updater interprets (not from the classifier), so the fuzzers and the dispatcher's own table
// compare two readings of it.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/update_signals.h"
#include "tests/support/sysex_support.h"

namespace rt88h::testing {

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
  bool operator==(const Expected&) const = default;
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

// Whether it wakes the procedure (replyEvent), and the replyStatus it leaves after `before`: a
// stop the window asked for stays.
inline bool wakes(Reaction reaction) {
  return reaction == Reaction::Status || reaction == Reaction::IdentityTaken;
}
inline int32_t statusAfter(const Expected& want, int32_t before) {
  if (before == kStatusStop || !wakes(want.reaction)) return before;
  return want.reaction == Reaction::Status ? want.value : kStatusOk;
}

// What it sends, under modelId `model` and identityReplyModel `replyModel`: one message or none.
inline std::vector<Bytes> answersOf(Reaction reaction, uint8_t model, uint8_t replyModel) {
  switch (reaction) {
    case Reaction::Ack: return {deviceStatus(model, 0x00)};
    case Reaction::Nak: return {deviceStatus(model, 0x01)};
    case Reaction::IdentityReply: return {identityReply(replyModel)};
    default: return {};
  }
}

}  // namespace rt88h::testing
