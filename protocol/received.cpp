#include "protocol/received.h"

#include "protocol/messages.h"

namespace rt88h {
namespace {

constexpr uint8_t kIdentityRequestCode = 0x01;
constexpr uint8_t kIdentityReplyCode = 0x02;

constexpr uint8_t kDeviceStatusCode = 0x00;
constexpr uint8_t kDeviceDoneCode = 0x02;
constexpr uint8_t kDeviceSilentCode = 0x03;

// Bytes each rule reads: up to the code in byte 4, then byte 5 or byte 6 for a value.
constexpr std::size_t kCodeBytes = 5;
constexpr std::size_t kStatusBytes = 6;
constexpr std::size_t kIdentityReplyBytes = 7;

constexpr Received kIgnored{};

Received classifyDevice(const uint8_t* bytes, std::size_t count) {
  switch (bytes[4]) {
    case kDeviceStatusCode:
      if (count < kStatusBytes) return kIgnored;
      return {ReceivedKind::DeviceStatus, bytes[5]};
    case kDeviceDoneCode: return {ReceivedKind::DeviceDone, 0};
    case 0x01:
    case 0x04:
    case 0x05: return {ReceivedKind::DeviceAckRequest, 0};
    case kDeviceSilentCode: return {ReceivedKind::DeviceSilent, 0};
    default: return {ReceivedKind::DeviceNakRequest, 0};
  }
}

Received classifyGeneralInformation(const uint8_t* bytes, std::size_t count) {
  switch (bytes[4]) {
    case kIdentityRequestCode: return {ReceivedKind::IdentityRequest, 0};
    case kIdentityReplyCode:
      // Byte 5 (manufacturer) is skipped: only the family code's low byte matters.
      if (count < kIdentityReplyBytes) return kIgnored;
      return {ReceivedKind::IdentityReply, bytes[6]};
    default: return {ReceivedKind::UniversalNakRequest, 0};
  }
}

}  // namespace

Received classifyReceived(const uint8_t* bytes, std::size_t count, uint8_t currentModel) {
  // Short entries never come from a conforming device; dropping them is all they deserve.
  if (count < 2 || bytes[0] != kSysExStart) return kIgnored;
  if (bytes[1] == kManufacturerId) {
    if (count < 4 || bytes[3] != currentModel) return kIgnored;
    if (count < kCodeBytes) return kIgnored;
    return classifyDevice(bytes, count);
  }
  if (bytes[1] == kUniversalNonRealTime) {
    if (count < 4 || bytes[3] != kGeneralInformation) return kIgnored;
    if (count < kCodeBytes) return kIgnored;
    return classifyGeneralInformation(bytes, count);
  }
  return kIgnored;
}

}  // namespace rt88h
