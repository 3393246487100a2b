#include "sim/device_model.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

#include "protocol/encoding.h"
#include "protocol/flash_plan.h"
#include "protocol/messages.h"

namespace rt88h::sim {
namespace {

constexpr std::size_t kBeginEndLength = 6;
constexpr std::size_t kAckNakLength = 7;
constexpr std::size_t kEraseLength = 16;
constexpr std::size_t kWriteFrameLength = 18;  // WriteData without packed bytes
constexpr std::size_t kWritePackedOffset = 12;
constexpr uint8_t kAllCallChannel = 0x7F;
constexpr uint8_t kDeviceCodeDone = 0x02;
// The fifth Num7 group carries bits 28 to 31 only.
constexpr uint8_t kFifthGroupMax = 0x0F;
constexpr std::array<uint8_t, 4> kUpdaterRevision{0x31, 0x30, 0x30, 0x30};

std::size_t indexOf(MessageKind kind) {
  return static_cast<std::size_t>(kind);
}

// MinGW's "printf" checks against Microsoft's runtime, which has no %zu; the vsnprintf below is
// MinGW's own, which has.
#ifdef __MINGW32__
std::string format(const char* fmt, ...) __attribute__((format(gnu_printf, 1, 2)));
#else
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
#endif
std::string format(const char* fmt, ...) {
  char text[256];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  return text;
}

Fault makeFault(MessageKind kind, uint32_t occurrence, uint32_t times, FaultAction action) {
  Fault fault;
  fault.kind = kind;
  fault.occurrence = occurrence;
  fault.times = times;
  fault.action = action;
  return fault;
}

}  // namespace

const char* kindName(MessageKind kind) {
  switch (kind) {
    case MessageKind::IdentityRequest: return "Identity Request";
    case MessageKind::BeginUpdate: return "BeginUpdate";
    case MessageKind::EraseFlash: return "EraseFlash";
    case MessageKind::WriteData: return "WriteData";
    case MessageKind::EndUpdate: return "EndUpdate";
    case MessageKind::Ack: return "Ack";
    case MessageKind::Nak: return "Nak";
    case MessageKind::IdentityReply: return "Identity Reply";
    case MessageKind::Unknown: return "Unknown";
  }
  return "Unknown";
}

Fault Fault::drop(MessageKind kind, uint32_t occurrence, uint32_t times) {
  return makeFault(kind, occurrence, times, FaultAction::Drop);
}

Fault Fault::withStatus(MessageKind kind, uint32_t occurrence, uint8_t status, uint32_t times) {
  Fault fault = makeFault(kind, occurrence, times, FaultAction::Status);
  fault.status = status;
  return fault;
}

Fault Fault::late(MessageKind kind, uint32_t occurrence, uint32_t delayMs, uint32_t times) {
  Fault fault = makeFault(kind, occurrence, times, FaultAction::Late);
  fault.delayMs = delayMs;
  return fault;
}

Fault Fault::twice(MessageKind kind, uint32_t occurrence, uint32_t times, uint32_t gapMs) {
  Fault fault = makeFault(kind, occurrence, times, FaultAction::Twice);
  fault.delayMs = gapMs;
  return fault;
}

Fault Fault::garbage(MessageKind kind, uint32_t occurrence, uint32_t times,
                     std::vector<uint8_t> answer) {
  Fault fault = makeFault(kind, occurrence, times, FaultAction::Garbage);
  fault.bytes = std::move(answer);
  return fault;
}

Fault Fault::truncated(MessageKind kind, uint32_t occurrence, uint32_t times, uint32_t keepBytes) {
  Fault fault = makeFault(kind, occurrence, times, FaultAction::Truncated);
  fault.keep = keepBytes;
  return fault;
}

// What examining a message found, before the device acts on it.
struct DeviceModel::Outcome {
  enum class Due : uint8_t { Nothing, Status, Identity };
  Due due = Due::Nothing;
  uint8_t failure = kStatusSuccess;  // the first problem that stops the device carrying it out

  void fail(uint8_t status) {
    if (failure == kStatusSuccess) failure = status;
  }
};

DeviceModel::DeviceModel() : DeviceModel(Config{}) {}

DeviceModel::DeviceModel(const Config& config)
    : config_(config),
      flash_(kFlashSize, config.initialFill),
      state_(kFlashSize, ByteState::Stale),
      decoded_(kMaxChunkLength + 1) {
  seen_.reserve(4096);
}

void DeviceModel::receive(const uint8_t* bytes, std::size_t count, std::vector<Reply>& replies) {
  SeenMessage seen;
  seen.index = ++received_;
  seen.size = static_cast<uint32_t>(count);
  Outcome out;
  if (bytes == nullptr) count = 0;
  examine(bytes, count, seen, out);

  if (!seen.forThisDevice) {
    ++ignored_;
    seen_.push_back(seen);
    return;
  }
  ++counts_[indexOf(seen.kind)];
  seen.occurrence = ++occurrences_[indexOf(seen.kind)];
  if (out.due == Outcome::Due::Nothing) {
    seen.ok = out.failure == kStatusSuccess;
    if (!seen.ok) ++failures_[indexOf(seen.kind)];
    seen_.push_back(seen);
    return;
  }
  answer(seen, out, replies);
  if (!seen.ok) ++failures_[indexOf(seen.kind)];
  seen_.push_back(seen);
}

void DeviceModel::answer(SeenMessage& seen, const Outcome& out, std::vector<Reply>& replies) {
  const Fault* fault = faultFor(seen.kind, seen.occurrence);
  if (fault != nullptr) {
    seen.faulted = true;
    seen.fault = fault->action;
  }

  std::vector<uint8_t> bytes;
  if (fault != nullptr && fault->action == FaultAction::Status) {
    // Stands for a device that failed the command: nothing is carried out.
    seen.ok = false;
    seen.answer = Answer::Status;
    seen.status = fault->status;
    bytes = deviceStatus(fault->status);
  } else if (out.due == Outcome::Due::Identity) {
    seen.ok = true;
    seen.answer = Answer::IdentityReply;
    bytes = identityReply();
  } else {
    const uint8_t status = out.failure != kStatusSuccess ? out.failure : carryOut(seen);
    seen.ok = status == kStatusSuccess;
    const bool done = status == kStatusSuccess && config_.answerWithDone &&
                      (!config_.doneOnlyForEndUpdate || seen.kind == MessageKind::EndUpdate);
    seen.answer = done ? Answer::Done : Answer::Status;
    seen.status = status;
    bytes = done ? deviceDone() : deviceStatus(status);
  }

  uint32_t delay = config_.replyDelayMs;
  if (fault != nullptr) {
    switch (fault->action) {
      case FaultAction::Drop: seen.answer = Answer::None; return;
      case FaultAction::Status: break;
      case FaultAction::Late: delay = fault->delayMs; break;
      case FaultAction::Twice: {
        const uint32_t gap = fault->delayMs != 0 ? fault->delayMs : kTwiceGapMs;
        replies.push_back(Reply{bytes, delay});
        replies.push_back(Reply{std::move(bytes), delay + gap});
        return;
      }
      case FaultAction::Garbage:
        seen.answer = Answer::Other;
        bytes = fault->bytes.empty()
                    ? std::vector<uint8_t>{kManufacturerId, 0x00,           config_.model,
                                           kCommandStatus,  kStatusSuccess, kSysExEnd}
                    : fault->bytes;
        break;
      case FaultAction::Truncated: {
        seen.answer = Answer::Other;
        // By default cut just before the byte the updater reads: the status or the model.
        const std::size_t keep =
            fault->keep != 0 ? fault->keep : (out.due == Outcome::Due::Identity ? 6 : 4);
        if (keep < bytes.size()) bytes.resize(keep);
        break;
      }
    }
  }
  replies.push_back(Reply{std::move(bytes), delay});
}

const Fault* DeviceModel::faultFor(MessageKind kind, uint32_t occurrence) const {
  for (const Fault& fault : faults_) {
    if (fault.kind != kind || occurrence < fault.occurrence) continue;
    if (occurrence - fault.occurrence < fault.times) return &fault;
  }
  return nullptr;
}

void DeviceModel::violation(const SeenMessage& seen, const std::string& text) {
  violations_.push_back(format("message %u (%s): ", seen.index, kindName(seen.kind)) + text);
}

bool DeviceModel::inRange(uint32_t address, uint32_t length) const {
  return static_cast<uint64_t>(address) + length <= kFlashSize;
}

void DeviceModel::examine(const uint8_t* bytes, std::size_t count, SeenMessage& seen,
                          Outcome& out) {
  if (count == 0) {
    violation(seen, "empty message");
    return;
  }
  if (bytes[0] != kSysExStart) {
    violation(seen, format("starts with %02X instead of F0", bytes[0]));
    return;
  }
  if (count < 5) {
    violation(seen, format("%zu bytes, too short for any message", count));
    return;
  }
  // A broken frame outranks what the kind's own checks find; it is reported after them, once
  // the kind is known.
  const bool closed = bytes[count - 1] == kSysExEnd;
  const std::size_t end = closed ? count - 1 : count;
  std::size_t high = 0;
  std::size_t first = 0;
  for (std::size_t i = 1; i < end; ++i) {
    if (bytes[i] > 0x7F && high++ == 0) first = i;
  }
  if (!closed || high != 0) out.fail(kStatusMalformed);

  if (bytes[1] == kManufacturerId) {
    examineDeviceSpecific(bytes, count, seen, out);
  } else if (bytes[1] == kUniversalNonRealTime) {
    examineUniversal(bytes, count, seen, out);
  } else {
    violation(seen, format("maker %02X is neither 52 nor universal 7E", bytes[1]));
    return;
  }
  if (!closed) violation(seen, format("ends with %02X instead of F7", bytes[count - 1]));
  if (high != 0) {
    violation(seen, format("%zu byte(s) above 7F inside the message, the first %02X at offset %zu",
                           high, bytes[first], first));
  }
}

// count >= 5 from here on.
void DeviceModel::examineDeviceSpecific(const uint8_t* bytes, std::size_t count, SeenMessage& seen,
                                        Outcome& out) {
  seen.channel = bytes[2];
  seen.model = bytes[3];
  seen.forThisDevice = bytes[3] == config_.model;
  out.due = Outcome::Due::Status;
  std::size_t expected = 0;
  switch (bytes[4]) {
    case kCommandStatus:
      seen.kind = count >= 6 && bytes[5] == 0x00 ? MessageKind::Ack : MessageKind::Nak;
      out.due = Outcome::Due::Nothing;
      expected = kAckNakLength;
      break;
    case kCommandBeginUpdate:
      seen.kind = MessageKind::BeginUpdate;
      expected = kBeginEndLength;
      break;
    case kCommandEndUpdate:
      seen.kind = MessageKind::EndUpdate;
      expected = kBeginEndLength;
      break;
    case kCommandEraseFlash:
      seen.kind = MessageKind::EraseFlash;
      expected = kEraseLength;
      break;
    case kCommandWriteData: seen.kind = MessageKind::WriteData; break;
    default:
      seen.kind = MessageKind::Unknown;
      violation(seen, format("unknown command %02X", bytes[4]));
      out.fail(kStatusUnknownCommand);
      break;
  }
  if (seen.channel != 0x00) {
    violation(seen, format("channel byte %02X instead of 00", seen.channel));
  }
  if (expected != 0 && count != expected) {
    violation(seen, format("%zu bytes instead of %zu", count, expected));
    out.fail(kStatusBadLength);
  }

  if (seen.kind == MessageKind::EraseFlash && count == kEraseLength) {
    seen.address = ReadNum7(bytes + 5, 5);
    seen.length = ReadNum7(bytes + 10, 5);
    if (bytes[9] > kFifthGroupMax) {
      violation(seen, format("address Num7 fifth group %02X carries bits above 31", bytes[9]));
      out.fail(kStatusMalformed);
    }
    if (bytes[14] > kFifthGroupMax) {
      violation(seen, format("length Num7 fifth group %02X carries bits above 31", bytes[14]));
      out.fail(kStatusMalformed);
    }
  } else if (seen.kind == MessageKind::WriteData) {
    if (!examineWriteData(bytes, count, seen, out)) out.fail(kStatusBadLength);
  }
}

// Decodes the chunk into decoded_; false when the frame cannot be taken apart.
bool DeviceModel::examineWriteData(const uint8_t* bytes, std::size_t count, SeenMessage& seen,
                                   Outcome& out) {
  if (count < kWriteFrameLength) {
    violation(seen, format("%zu bytes, shorter than the %zu of an empty chunk", count,
                           kWriteFrameLength));
    return false;
  }
  seen.address = ReadNum7(bytes + 5, 5);
  seen.length = ReadNum7(bytes + 10, 2);
  if (bytes[9] > kFifthGroupMax) {
    violation(seen, format("address Num7 fifth group %02X carries bits above 31", bytes[9]));
    out.fail(kStatusMalformed);
  }
  const std::size_t n = seen.length;
  const std::size_t p = count - kWriteFrameLength;
  if (p != packedLength(n)) {
    violation(seen, format("length field says %zu bytes (%zu packed) but %zu packed bytes came", n,
                           packedLength(n), p));
    return false;
  }
  const uint8_t* packed = bytes + kWritePackedOffset;
  const uint8_t* crcGroups = packed + p;
  if (crcGroups[4] > kFifthGroupMax) {
    violation(seen,
              format("check value Num7 fifth group %02X carries bits above 31", crcGroups[4]));
    out.fail(kStatusMalformed);
  }
  const std::size_t shortGroup = n % 7;
  if (shortGroup != 0) {
    const uint8_t header = packed[(n / 7) * 8];
    const uint8_t absent = static_cast<uint8_t>((1u << (7 - shortGroup)) - 1u);
    if ((header & absent) != 0) {
      violation(seen, format("last group header %02X sets bits of absent bytes", header));
    }
  }
  Unpack7(packed, p, decoded_.data());
  const uint32_t carried = ReadNum7(crcGroups, 5);
  const uint32_t computed = Crc32NoXor(decoded_.data(), n);
  if (carried != computed) {
    violation(seen, format("check value %08X, the chunk gives %08X", carried, computed));
    out.fail(kStatusCrcMismatch);
  }
  return true;
}

void DeviceModel::examineUniversal(const uint8_t* bytes, std::size_t count, SeenMessage& seen,
                                   Outcome& out) {
  seen.channel = bytes[2];
  if (bytes[3] != kGeneralInformation) {
    violation(seen, format("universal sub-ID %02X is not general information 06", bytes[3]));
    return;
  }
  seen.forThisDevice = true;
  if (bytes[4] == 0x01) {
    seen.kind = MessageKind::IdentityRequest;
    if (seen.channel == kAllCallChannel) {
      violation(seen, "sent to the all-call channel 7F instead of 00");
    } else if (seen.channel != 0x00) {
      violation(seen, format("sent to channel %02X, not this device's 00", seen.channel));
      seen.forThisDevice = false;
      return;
    }
    out.due = Outcome::Due::Identity;
    if (count != kIdentityRequest.size()) {
      violation(seen, format("%zu bytes instead of %zu", count, kIdentityRequest.size()));
      out.fail(kStatusBadLength);
    }
  } else if (bytes[4] == 0x02) {
    seen.kind = MessageKind::IdentityReply;
    if (seen.channel != 0x00) {
      violation(seen, format("channel byte %02X instead of 00", seen.channel));
    }
    if (count != kIdentityReplyLength) {
      violation(seen, format("%zu bytes instead of %zu", count, kIdentityReplyLength));
      out.fail(kStatusBadLength);
    }
    if (count > kIdentityReplyModelByte) seen.model = bytes[kIdentityReplyModelByte];
    if (count >= kIdentityReplyLength) {
      const bool fixedBytesRight =
          bytes[5] == kManufacturerId && bytes[7] == 0 && bytes[8] == 0 && bytes[9] == 0 &&
          std::equal(kUpdaterRevision.begin(), kUpdaterRevision.end(), bytes + 10);
      if (!fixedBytesRight) {
        violation(seen,
                  "maker, family high, member or revision bytes differ from 52 .. 00 00 00 "
                  "31 30 30 30");
        out.fail(kStatusMalformed);
      }
    }
  } else {
    seen.kind = MessageKind::Unknown;
    violation(seen, format("unknown general-information sub-ID %02X", bytes[4]));
    out.fail(kStatusUnknownCommand);
  }
}

uint8_t DeviceModel::carryOut(const SeenMessage& seen) {
  switch (seen.kind) {
    case MessageKind::BeginUpdate:
      if (config_.refuseUpdateMode) return kStatusRefused;
      updateMode_ = true;
      finished_ = false;
      return kStatusSuccess;
    case MessageKind::EndUpdate:
      if (!updateMode_) {
        violation(seen, "EndUpdate outside update mode");
        return kStatusNoUpdateMode;
      }
      updateMode_ = false;
      finished_ = true;
      return kStatusSuccess;
    case MessageKind::EraseFlash:
      if (!updateMode_) {
        violation(seen, "EraseFlash before BeginUpdate");
        return kStatusNoUpdateMode;
      }
      if (!inRange(seen.address, seen.length)) {
        violation(seen, format("region %08X + %08X ends beyond the flash (%08X)", seen.address,
                               seen.length, kFlashSize));
        return kStatusOutOfRange;
      }
      std::fill_n(flash_.begin() + seen.address, seen.length, uint8_t{0xFF});
      std::fill_n(state_.begin() + seen.address, seen.length, ByteState::Erased);
      return kStatusSuccess;
    case MessageKind::WriteData: return carryOutWrite(seen);
    default: return kStatusUnknownCommand;
  }
}

uint8_t DeviceModel::carryOutWrite(const SeenMessage& seen) {
  if (!updateMode_) {
    violation(seen, "WriteData before BeginUpdate");
    return kStatusNoUpdateMode;
  }
  if (!inRange(seen.address, seen.length)) {
    violation(seen, format("chunk %08X + %u ends beyond the flash (%08X)", seen.address,
                           seen.length, kFlashSize));
    return kStatusOutOfRange;
  }
  const auto states = state_.begin() + seen.address;
  const auto ends = states + seen.length;
  const bool erased = std::all_of(states, ends, [](ByteState s) { return s == ByteState::Erased; });
  if (!erased) {
    // The answer to an earlier send of this very chunk was lost: flash already holds it.
    const bool same =
        config_.acceptIdenticalRewrite &&
        std::all_of(states, ends, [](ByteState s) { return s == ByteState::Written; }) &&
        std::memcmp(flash_.data() + seen.address, decoded_.data(), seen.length) == 0;
    if (same) return kStatusSuccess;
    violation(seen, format("chunk %08X + %u overlaps bytes not erased since their last write",
                           seen.address, seen.length));
    return kStatusNotErased;
  }
  std::memcpy(flash_.data() + seen.address, decoded_.data(), seen.length);
  std::fill(states, ends, ByteState::Written);
  return kStatusSuccess;
}

std::vector<uint8_t> DeviceModel::deviceRequest(uint8_t code) const {
  return {kSysExStart, kManufacturerId, 0x00, config_.model, code, kSysExEnd};
}

std::vector<uint8_t> DeviceModel::identityRequest() {
  return {kIdentityRequest.begin(), kIdentityRequest.end()};
}

std::vector<uint8_t> DeviceModel::identityReply() const {
  const auto& r = config_.revision;
  return {kSysExStart,   kUniversalNonRealTime,
          0x00,          kGeneralInformation,
          0x02,          kManufacturerId,
          config_.model, 0x00,
          0x00,          0x00,
          r[0],          r[1],
          r[2],          r[3],
          kSysExEnd};
}

std::vector<uint8_t> DeviceModel::deviceStatus(uint8_t status) const {
  return {kSysExStart, kManufacturerId, 0x00, config_.model, kCommandStatus, status, kSysExEnd};
}

std::vector<uint8_t> DeviceModel::deviceDone() const {
  return {kSysExStart, kManufacturerId, 0x00, config_.model, kDeviceCodeDone, kSysExEnd};
}

void DeviceModel::addFault(Fault fault) {
  faults_.push_back(std::move(fault));
}

void DeviceModel::clearFaults() {
  faults_.clear();
}

uint32_t DeviceModel::count(MessageKind kind) const {
  return counts_[indexOf(kind)];
}

uint32_t DeviceModel::failed(MessageKind kind) const {
  return failures_[indexOf(kind)];
}

void DeviceModel::clearRecord() {
  seen_.clear();
  violations_.clear();
  counts_.fill(0);
  failures_.fill(0);
  ignored_ = 0;
  received_ = 0;
}

bool DeviceModel::isErased(uint32_t address, uint32_t length) const {
  if (!inRange(address, length)) return false;
  const auto from = state_.begin() + address;
  return std::all_of(from, from + length, [](ByteState s) { return s == ByteState::Erased; });
}

bool DeviceModel::isWritten(uint32_t address, uint32_t length) const {
  if (!inRange(address, length)) return false;
  const auto from = state_.begin() + address;
  return std::all_of(from, from + length, [](ByteState s) { return s == ByteState::Written; });
}

}  // namespace rt88h::sim
