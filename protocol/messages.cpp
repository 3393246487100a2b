#include "protocol/messages.h"

#include "protocol/encoding.h"

namespace rt88h {
namespace {

constexpr std::size_t kHeadLength = 5;  // F0 52 00 model command
constexpr uint8_t kDeviceChannel = 0x00;
constexpr uint8_t kAckResult = 0x00;

// Writes F0 52 00 model command; returns where the parameters start.
uint8_t* writeHead(WorkBuffer& work, uint8_t model, uint8_t command) {
  uint8_t* out = work.bytes.data();
  out[0] = kSysExStart;
  out[1] = kManufacturerId;
  out[2] = kDeviceChannel;
  out[3] = model;
  out[4] = command;
  return out + kHeadLength;
}

int sendFrom(WorkBuffer& work, MessageSender& sender, const uint8_t* end) {
  const auto length = static_cast<uint32_t>(end - work.bytes.data());
  return sender.sendUpdateMessage(work.bytes.data(), length);
}

int sendCommandOnly(WorkBuffer& work, MessageSender& sender, uint8_t command) {
  uint8_t* out = writeHead(work, modelId.load(), command);
  *out++ = kSysExEnd;
  return sendFrom(work, sender, out);
}

int sendStatus(WorkBuffer& work, MessageSender& sender, uint8_t result) {
  uint8_t* out = writeHead(work, modelId.load(), kCommandStatus);
  *out++ = result;
  *out++ = kSysExEnd;
  return sendFrom(work, sender, out);
}

constexpr std::array<uint8_t, kIdentityReplyLength> kIdentityReplyTemplate{
    kSysExStart, kUniversalNonRealTime,
    0x00,        kGeneralInformation,
    0x02,        kManufacturerId,
    0x00,        0x00,
    0x00,        0x00,
    0x31,        0x30,
    0x30,        0x30,
    kSysExEnd};

static_assert(writeDataLength(2048) == 2359);
static_assert(writeDataLength(kMaxChunkLength) <= kWorkBufferSize);

}  // namespace

int sendWriteData(WorkBuffer& work, MessageSender& sender, uint8_t model, const uint8_t* chunk,
                  uint32_t address, uint32_t n) {
  // The length travels in two 7-bit groups; a longer chunk would arrive truncated.
  if (n > kMaxChunkLength) return -1;
  uint8_t* out = writeHead(work, model, kCommandWriteData);
  Num7(address, 5, out);
  out += 5;
  Num7(n, 2, out);
  out += 2;
  out += Pack7(chunk, n, out);
  Num7(Crc32NoXor(chunk, n), 5, out);
  out += 5;
  *out++ = kSysExEnd;
  return sendFrom(work, sender, out);
}

int sendEraseFlash(WorkBuffer& work, MessageSender& sender, uint8_t model, uint32_t address,
                   uint32_t length) {
  uint8_t* out = writeHead(work, model, kCommandEraseFlash);
  Num7(address, 5, out);
  out += 5;
  Num7(length, 5, out);
  out += 5;
  *out++ = kSysExEnd;
  return sendFrom(work, sender, out);
}

int sendAck(WorkBuffer& work, MessageSender& sender) {
  return sendStatus(work, sender, kAckResult);
}

int sendNak(WorkBuffer& work, MessageSender& sender, uint8_t code) {
  return sendStatus(work, sender, code);
}

int sendBeginUpdate(WorkBuffer& work, MessageSender& sender) {
  return sendCommandOnly(work, sender, kCommandBeginUpdate);
}

int sendEndUpdate(WorkBuffer& work, MessageSender& sender) {
  return sendCommandOnly(work, sender, kCommandEndUpdate);
}

int sendIdentityRequest(MessageSender& sender) {
  return sender.sendUpdateMessage(kIdentityRequest.data(),
                                  static_cast<uint32_t>(kIdentityRequest.size()));
}

int sendIdentityReply(MessageSender& sender) {
  // A local copy: the timer thread may send this while the worker accepts a new model.
  std::array<uint8_t, kIdentityReplyLength> reply = kIdentityReplyTemplate;
  reply[kIdentityReplyModelByte] = identityReplyModel.load();
  return sender.sendUpdateMessage(reply.data(), static_cast<uint32_t>(reply.size()));
}

}  // namespace rt88h
