#pragma once
// Feeds what the real message encoder produces straight into the device model.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "protocol/messages.h"
#include "sim/device_model.h"
#include "tests/support/sysex_support.h"

namespace rt88h::sim::testing {

using rt88h::testing::ModelScope;
using rt88h::testing::RecordingSender;

class ModelLink final : public MessageSender {
 public:
  explicit ModelLink(DeviceModel& model) : model_(model), work_(std::make_unique<WorkBuffer>()) {}

  int sendUpdateMessage(const uint8_t* bytes, uint32_t length) override {
    replies.clear();
    model_.receive(bytes, length, replies);
    return 0;
  }

  void begin() { sendBeginUpdate(*work_, *this); }
  void end() { sendEndUpdate(*work_, *this); }
  void erase(uint32_t address, uint32_t length) {
    sendEraseFlash(*work_, *this, modelId.load(), address, length);
  }
  void write(uint32_t address, const uint8_t* chunk, uint32_t n) {
    sendWriteData(*work_, *this, modelId.load(), chunk, address, n);
  }
  void write(uint32_t address, const std::vector<uint8_t>& chunk) {
    write(address, chunk.data(), static_cast<uint32_t>(chunk.size()));
  }
  void raw(const std::vector<uint8_t>& bytes) {
    sendUpdateMessage(bytes.data(), static_cast<uint32_t>(bytes.size()));
  }
  WorkBuffer& work() { return *work_; }

  // The status of the one DeviceStatus answered to the last message; -1 for anything else.
  int status() const {
    if (replies.size() != 1) return -1;
    const std::vector<uint8_t>& b = replies[0].bytes;
    if (b.size() != 7 || b[0] != 0xF0 || b[1] != 0x52 || b[4] != 0x00 || b[6] != 0xF7) return -1;
    return b[5];
  }

  std::vector<Reply> replies;  // the answers to the last message sent

 private:
  DeviceModel& model_;
  std::unique_ptr<WorkBuffer> work_;
};

inline std::vector<uint8_t> pattern(std::size_t n, uint32_t seed) {
  std::vector<uint8_t> bytes(n);
  uint32_t x = seed * 2654435761u + 1u;
  for (auto& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x >> 11);
  }
  return bytes;
}

}  // namespace rt88h::sim::testing
