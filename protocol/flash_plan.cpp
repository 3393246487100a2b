#include "protocol/flash_plan.h"

#include "resources/payload_images.h"

namespace rt88h {
namespace {

constexpr int kAfterPlan = kPlanSteps + 1;

// What the write step covers: the step's length, or the whole payload for 0.
uint32_t writeLength(const FlashStep& step) {
  return step.length != 0 ? step.length : payload(step.payload).size;
}

}  // namespace

Payload payload(uint32_t id) {
  const std::span<const uint8_t> image = payloadImage(id);
  if (image.empty()) return {};
  return {image.data(), static_cast<uint32_t>(image.size())};
}

bool payloadsAreTestImages() {
  return payloadImagesAreGenerated();
}

const char* payloadSha256(uint32_t id) {
  return payloadImageSha256(id);
}

std::vector<PlannedMessage> planWalk() {
  using Kind = PlannedMessage::Kind;
  std::size_t total = 3;  // Identity Request, BeginUpdate, EndUpdate
  for (const FlashStep& step : FlashPlan) {
    if (step.kind == kStepErase) total += 1;
    if (step.kind == kStepWrite) total += (writeLength(step) + kChunkLength - 1) / kChunkLength;
  }

  std::vector<PlannedMessage> plan;
  plan.reserve(total);
  plan.push_back({Kind::IdentityRequest, 0, 0, 0, 0, 0});
  plan.push_back({Kind::BeginUpdate, 0, 0, 0, 0, 0});
  for (int i = 0; i < kPlanSteps; ++i) {
    const FlashStep& step = FlashPlan[static_cast<std::size_t>(i)];
    const int number = i + 1;
    if (step.kind == kStepErase) {
      plan.push_back({Kind::EraseFlash, number, step.address, step.length, 0, 0});
    } else if (step.kind == kStepWrite) {
      // Every chunk is a full 2048 bytes, as the write step sends them.
      const uint32_t length = writeLength(step);
      for (uint32_t offset = 0; offset < length; offset += kChunkLength) {
        plan.push_back(
            {Kind::WriteData, number, step.address + offset, kChunkLength, step.payload, offset});
      }
    }
  }
  plan.push_back({Kind::EndUpdate, kAfterPlan, 0, 0, 0, 0});
  return plan;
}

}  // namespace rt88h
