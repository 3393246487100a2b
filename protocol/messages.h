#pragma once
// Assembly of every message the updater sends.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace rt88h {

inline constexpr uint8_t kSysExStart = 0xF0;
inline constexpr uint8_t kSysExEnd = 0xF7;
inline constexpr uint8_t kManufacturerId = 0x52;
inline constexpr uint8_t kUniversalNonRealTime = 0x7E;
inline constexpr uint8_t kGeneralInformation = 0x06;

inline constexpr uint8_t kCommandStatus = 0x00;  // Ack / Nak from us, DeviceStatus from the device
inline constexpr uint8_t kCommandBeginUpdate = 0x01;
inline constexpr uint8_t kCommandWriteData = 0x02;
inline constexpr uint8_t kCommandEndUpdate = 0x04;
inline constexpr uint8_t kCommandEraseFlash = 0x0A;

inline constexpr uint8_t kFirstAcceptedModel = 0x58;
inline constexpr uint32_t kMaxChunkLength = 16383;  // the length field has 14 bits
inline constexpr std::size_t kWorkBufferSize = 65536;

// Where one sending side assembles its messages; one per sending thread.
struct WorkBuffer {
  alignas(64) std::array<uint8_t, kWorkBufferSize> bytes{};
};

// Anything with the shape of sendUpdateMessage: 0 sent, -1 not sent.
class MessageSender {
 public:
  virtual int sendUpdateMessage(const uint8_t* bytes, uint32_t length) = 0;

 protected:
  ~MessageSender() = default;
};

// One byte per process: the model every device-specific message carries.
inline std::atomic<uint8_t> modelId{kFirstAcceptedModel};
// Byte a of our Identity Reply: 0x00 until a model has been accepted.
inline std::atomic<uint8_t> identityReplyModel{0x00};

inline constexpr std::array<uint8_t, 6> kIdentityRequest{0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7};
inline constexpr std::size_t kIdentityReplyLength = 15;
inline constexpr std::size_t kIdentityReplyModelByte = 6;

// Total WriteData length for a chunk of n bytes.
constexpr std::size_t writeDataLength(std::size_t n) {
  return n + (n + 6) / 7 + 18;
}

int sendWriteData(WorkBuffer& work, MessageSender& sender, uint8_t model, const uint8_t* chunk,
                  uint32_t address, uint32_t n);
int sendEraseFlash(WorkBuffer& work, MessageSender& sender, uint8_t model, uint32_t address,
                   uint32_t length);
int sendAck(WorkBuffer& work, MessageSender& sender);
int sendNak(WorkBuffer& work, MessageSender& sender, uint8_t code);
int sendBeginUpdate(WorkBuffer& work, MessageSender& sender);
int sendEndUpdate(WorkBuffer& work, MessageSender& sender);
int sendIdentityRequest(MessageSender& sender);
// Sends our Identity Reply with byte a as it stands at this moment.
int sendIdentityReply(MessageSender& sender);

}  // namespace rt88h
