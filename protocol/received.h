#pragma once
// What the updater takes from a received message.
#include <cstddef>
#include <cstdint>

namespace rt88h {

enum class ReceivedKind {
  Ignored,             // not SysEx, another model, another universal class, or too short
  DeviceStatus,        // value: the status byte
  DeviceDone,          // stands for status 0
  DeviceAckRequest,    // device codes 01, 04, 05
  DeviceSilent,        // device code 03
  DeviceNakRequest,    // device codes 06 and above
  IdentityRequest,     // F0 7E x 06 01
  IdentityReply,       // value: byte 6, the reported model
  UniversalNakRequest  // F0 7E x 06 cc, other sub-codes
};

struct Received {
  ReceivedKind kind = ReceivedKind::Ignored;
  uint8_t value = 0;
};

// Reads only as far as the entry's rule needs and never at or past `count`.
Received classifyReceived(const uint8_t* bytes, std::size_t count, uint8_t currentModel);

}  // namespace rt88h
