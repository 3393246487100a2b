// The device model's decoder on any message, raw or built by the real encoders and then spoilt,
// optionally after a BeginUpdate and an erase (so that WriteData reaches the flash): no crash,
// and every answer not under a configured fault is a well-formed DeviceStatus, DeviceDone or
// Identity Reply of the model's own.
//
// Input: configuration, an optional fault, then operations.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "protocol/flash_plan.h"
#include "protocol/messages.h"
#include "sim/device_model.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/sysex_support.h"

using namespace rt88h;
using namespace rt88h::fuzz;
using sim::DeviceModel;

namespace {

constexpr std::size_t kMaxOperations = 64;
constexpr std::size_t kMaxRaw = 20000;
constexpr uint32_t kMaxChunk = 2048;
constexpr uint32_t kMaxErase = 0x40000;

class Capture final : public MessageSender {
 public:
  int sendUpdateMessage(const uint8_t* bytes, uint32_t length) override {
    message.assign(bytes, bytes + length);
    return 0;
  }
  std::vector<uint8_t> message;
};

// Building a model fills 7.6 MB of flash and byte states; every input starts from a copy of one
// built once instead, which reuses the memory of the last.
DeviceModel& freshModel(const DeviceModel::Config& config) {
  static const DeviceModel pristine;
  static DeviceModel working;
  working = pristine;
  working.config() = config;
  return working;
}

class Device {
 public:
  explicit Device(const DeviceModel::Config& config)
      : config_(config), model_(&freshModel(config)) {}

  DeviceModel& model() { return *model_; }

  void receive(std::span<const uint8_t> bytes) {
    const ExactCopy message(bytes);
    replies_.clear();
    model_->receive(message.data(), message.size(), replies_);
    ++received_;
    FUZZ_REQUIRE(model_->messages().size() == received_);
    const sim::SeenMessage& seen = model_->messages().back();
    FUZZ_REQUIRE(seen.size == message.size());
    if (seen.faulted) return;
    FUZZ_REQUIRE(replies_.size() <= 1);
    FUZZ_REQUIRE(replies_.empty() == (seen.answer == sim::Answer::None));
    for (const sim::Reply& reply : replies_) {
      FUZZ_REQUIRE(reply.delayMs == config_.replyDelayMs);
      checkWellFormed(reply.bytes);
      // 11 is kept for a BeginUpdate refused outside version-up mode.
      if (reply.bytes.size() == 7 && reply.bytes[5] == sim::kStatusRefused) {
        FUZZ_REQUIRE(config_.refuseUpdateMode && seen.kind == sim::MessageKind::BeginUpdate);
      }
    }
  }

  void checkWellFormed(const std::vector<uint8_t>& b) const {
    FUZZ_REQUIRE(b.size() >= 2 && b.front() == 0xF0 && b.back() == 0xF7);
    for (std::size_t i = 1; i + 1 < b.size(); ++i) FUZZ_REQUIRE(b[i] < 0x80);
    const uint8_t m = config_.model;
    const bool status = b.size() == 7 && b[1] == 0x52 && b[2] == 0x00 && b[3] == m && b[4] == 0x00;
    const bool done = b.size() == 6 && b[1] == 0x52 && b[2] == 0x00 && b[3] == m && b[4] == 0x02;
    const bool identity = b.size() == 15 && b[1] == 0x7E && b[2] == 0x00 && b[3] == 0x06 &&
                          b[4] == 0x02 && b[5] == 0x52 && b[6] == m;
    FUZZ_REQUIRE(status || done || identity);
  }

 private:
  DeviceModel::Config config_;
  DeviceModel* model_;
  std::vector<sim::Reply> replies_;
  std::size_t received_ = 0;
};

sim::Fault faultOf(uint8_t choice, FuzzInput& input) {
  sim::Fault fault;
  fault.kind = static_cast<sim::MessageKind>(choice % sim::kMessageKindCount);
  fault.action = static_cast<sim::FaultAction>((choice / sim::kMessageKindCount) % 6);
  fault.occurrence = 1 + input.byte() % 4;
  fault.times = 1 + input.byte() % 3;
  fault.status = input.byte();
  fault.delayMs = input.u16();
  fault.keep = input.byte() % 16;
  const std::span<const uint8_t> bytes = input.take(input.byte() % 16);
  fault.bytes.assign(bytes.begin(), bytes.end());
  return fault;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const uint8_t setup = input.byte();
  DeviceModel::Config config;
  config.model = (setup & 0x01) != 0 ? 0x57 : 0x58;
  config.answerWithDone = (setup & 0x02) != 0;
  config.doneOnlyForEndUpdate = (setup & 0x04) != 0;
  config.acceptIdenticalRewrite = (setup & 0x08) == 0;
  config.refuseUpdateMode = (setup & 0x10) != 0;
  const int prelude = (setup >> 5) & 0x03;
  const bool report = (setup & 0x80) != 0;
  const testing::ModelScope models(config.model);

  Device device(config);
  if (const uint8_t choice = input.byte(); choice != 0)
    device.model().addFault(faultOf(choice, input));

  auto work = std::make_unique<WorkBuffer>();
  Capture capture;
  auto send = [&] { device.receive(capture.message); };

  // Where the erased region starts, for writes to find it.
  uint32_t base = 0;
  if (prelude >= 1) {
    sendBeginUpdate(*work, capture);
    send();
  }
  if (prelude >= 2) {
    base = (input.u32() % kFlashSize) & ~(kChunkLength - 1);
    const uint32_t length = kChunkLength * (1 + input.byte() % 16);
    sendEraseFlash(*work, capture, config.model, base, length);
    send();
  }

  for (std::size_t op = 0; op < kMaxOperations && !input.empty(); ++op) {
    const uint8_t what = input.byte();
    switch (what % 6) {
      case 0: device.receive(input.take(input.u16() % (kMaxRaw + 1))); break;
      case 1: {
        const uint32_t n = input.u16() % (kMaxChunk + 1);
        const uint32_t address =
            (what & 0x80) != 0 ? input.u32() : base + kChunkLength * (input.byte() % 16);
        std::vector<uint8_t> chunk(n);
        const std::span<const uint8_t> bytes = input.take(n);
        std::copy(bytes.begin(), bytes.end(), chunk.begin());
        const uint8_t model = (what & 0x40) != 0 ? input.byte() : config.model;
        sendWriteData(*work, capture, model, chunk.data(), address, n);
        if ((what & 0x20) != 0) {
          const std::size_t at = input.u16() % capture.message.size();
          capture.message[at] = input.byte();
        }
        if ((what & 0x10) != 0) capture.message.resize(input.u16() % (capture.message.size() + 1));
        send();
        break;
      }
      case 2: {
        const uint32_t address = (what & 0x80) != 0 ? input.u32() : base;
        const uint32_t length = (what & 0x40) != 0 ? input.u32() : input.u32() % kMaxErase;
        sendEraseFlash(*work, capture, config.model, address, length);
        send();
        break;
      }
      case 3:
        switch (input.byte() % 5) {
          case 0: sendBeginUpdate(*work, capture); break;
          case 1: sendEndUpdate(*work, capture); break;
          case 2: sendIdentityRequest(capture); break;
          case 3: sendAck(*work, capture); break;
          default: sendNak(*work, capture, input.byte()); break;
        }
        send();
        break;
      case 4:
        identityReplyModel.store(input.byte());
        sendIdentityReply(capture);
        send();
        break;
      default: {
        DeviceModel& model = device.model();
        device.checkWellFormed(model.identityReply());
        device.checkWellFormed(model.deviceStatus(input.byte() & 0x7F));
        device.checkWellFormed(model.deviceDone());
        const uint32_t address = input.u32();
        const uint32_t length = input.u16();
        static_cast<void>(model.isErased(address, length));
        static_cast<void>(model.isWritten(address, length));
        break;
      }
    }
  }
  if (report) {
    FUZZ_REQUIRE(!device.model().report().empty());
    static_cast<void>(device.model().flashMatchesPayloads());
  }
  return 0;
}
