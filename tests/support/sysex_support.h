#pragma once
// Building, recording and sorting the update's messages, draining a receive queue, the model
// globals, and the texts the update shows as the test doubles log them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "protocol/messages.h"
#include "resources/string_table.h"

namespace rt88h::testing {

using Bytes = std::vector<uint8_t>;

// Keeps a copy of every message handed over, where it came from, and answers with `result`.
class RecordingSender final : public MessageSender {
 public:
  explicit RecordingSender(int result = 0) : result_(result) {}
  int sendUpdateMessage(const uint8_t* bytes, uint32_t length) override {
    sent.emplace_back(bytes, bytes + length);
    from.push_back(bytes);
    return result_;
  }
  const std::vector<uint8_t>& last() const { return sent.back(); }

  std::vector<std::vector<uint8_t>> sent;
  std::vector<const uint8_t*> from;

 private:
  int result_;
};

// A well-formed SysEx message of `length` bytes whose data bytes vary with `seed`.
inline Bytes sysex(std::size_t length, uint8_t seed = 0) {
  Bytes bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>((i * 7 + seed) & 0x7F);
  if (length > 0) bytes.front() = 0xF0;
  if (length > 1) bytes.back() = 0xF7;
  return bytes;
}

// The parts one after another.
inline Bytes joined(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Takes every entry out of a queue read by peekSysEx and popSysEx (an input port, a host), and
// with `stamps` each one's arrival.
template <class Queue, class Stamp = std::nullptr_t>
std::vector<Bytes> drain(Queue& queue, std::vector<Stamp>* stamps = nullptr) {
  std::vector<Bytes> entries;
  const uint8_t* bytes = nullptr;
  uint32_t count = 0;
  for (;;) {
    if constexpr (std::is_same_v<Stamp, std::nullptr_t>) {
      if (!queue.peekSysEx(&bytes, &count)) break;
    } else {
      Stamp stamp{};
      if (!queue.peekSysEx(&bytes, &count, &stamp)) break;
      stamps->push_back(stamp);
    }
    entries.emplace_back(bytes, bytes + count);
    queue.popSysEx();
  }
  return entries;
}

// The device's answers, byte for byte as it sends them.
inline std::vector<uint8_t> identityReply(uint8_t model) {
  return {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, model, 0x00,
          0x00, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7};
}
inline std::vector<uint8_t> deviceStatus(uint8_t model, uint8_t status) {
  return {0xF0, 0x52, 0x00, model, 0x00, status, 0xF7};
}
inline std::vector<uint8_t> deviceDone(uint8_t model) {
  return {0xF0, 0x52, 0x00, model, 0x02, 0xF7};
}
// A request the device sends on its own (codes 01, 03, 04, 05, 06).
inline std::vector<uint8_t> deviceRequest(uint8_t model, uint8_t code) {
  return {0xF0, 0x52, 0x00, model, code, 0xF7};
}

// What a message sent to the device asks for, read from its bytes alone.
enum class Sent { Identity, Begin, Erase, Write, End, Other };

inline Sent kindOf(const uint8_t* m, std::size_t count) {
  if (count > 4 && m[1] == 0x7E && m[4] == 0x01) return Sent::Identity;
  if (count > 4 && m[1] == 0x52) {
    switch (m[4]) {
      case 0x01: return Sent::Begin;
      case 0x0A: return Sent::Erase;
      case 0x02: return Sent::Write;
      case 0x04: return Sent::End;
      default: break;
    }
  }
  return Sent::Other;
}
inline Sent kindOf(const std::vector<uint8_t>& m) {
  return kindOf(m.data(), m.size());
}

// modelId and identityReplyModel are process globals: a test sets them through this (by default
// to a fresh program's values) and gets the values it found back at its end.
class ModelScope {
 public:
  explicit ModelScope(uint8_t model = kFirstAcceptedModel, uint8_t replyModel = 0x00)
      : savedModel_(modelId.load()), savedReplyModel_(identityReplyModel.load()) {
    modelId.store(model);
    identityReplyModel.store(replyModel);
  }
  ~ModelScope() {
    modelId.store(savedModel_);
    identityReplyModel.store(savedReplyModel_);
  }
  ModelScope(const ModelScope&) = delete;
  ModelScope& operator=(const ModelScope&) = delete;

 private:
  uint8_t savedModel_;
  uint8_t savedReplyModel_;
};

// The log lines of VirtualTimeLink and PortHost for a table text.
inline std::string text(int id) {
  return std::string(loadString(id));
}
inline std::string statusLine(int id) {
  return "status:" + text(id);
}
inline std::string errorBox(int id) {
  return "box:" + text(id) + "|" + text(IDS_ERROR_CAPTION) + "|stop";
}
inline std::string midiOutErrorBox() {
  return "box:" + std::string(kMidiOutError) + "||none";
}

}  // namespace rt88h::testing
