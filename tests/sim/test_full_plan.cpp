// A whole update as the flash plan prescribes it ends with the payloads in the model's flash, and
// the model names the first byte that differs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/flash_plan.h"
#include "protocol/messages.h"
#include "sim/device_model.h"
#include "tests/sim/model_link.h"

namespace rt88h::sim {
namespace {

using testing::ModelLink;

// The messages of an update without retries: every answer must be status 0.
void runPlan(ModelLink& link) {
  sendIdentityRequest(link);
  ASSERT_EQ(link.replies.size(), 1u);
  link.begin();
  ASSERT_EQ(link.status(), 0);
  for (const FlashStep& step : FlashPlan) {
    if (step.kind == kStepErase) {
      link.erase(step.address, step.length);
      ASSERT_EQ(link.status(), 0) << "erase " << step.address;
    } else if (step.kind == kStepWrite) {
      const Payload image = payload(step.payload);
      ASSERT_NE(image.bytes, nullptr) << "payload " << step.payload;
      const uint32_t length = step.length != 0 ? step.length : image.size;
      for (uint32_t offset = 0; offset < length; offset += kChunkLength) {
        link.write(step.address + offset, image.bytes + offset, kChunkLength);
        ASSERT_EQ(link.status(), 0) << "chunk at " << step.address + offset;
      }
    }
  }
  link.end();
  ASSERT_EQ(link.status(), 0);
}

// The first difference the model finds.
std::string difference(const DeviceModel& model) {
  std::string first;
  EXPECT_FALSE(model.flashMatchesPayloads(&first));
  return first;
}

TEST(FullPlan, FlashEndsEqualToThePayloadsAndADifferenceIsNamed) {
  DeviceModel model;
  ModelLink link(model);
  runPlan(link);
  if (HasFatalFailure()) return;
  std::string first;
  EXPECT_TRUE(model.flashMatchesPayloads(&first)) << first;
  EXPECT_EQ(model.messages().size(), 1908u);
  EXPECT_TRUE(model.violations().empty());
  EXPECT_TRUE(model.finished());
  EXPECT_NE(model.report().find("Flash: matches payloads"), std::string::npos) << model.report();

  // A chunk erased again and never written.
  const uint32_t missing = 0x40000 + 5 * kChunkLength;
  link.begin();
  link.erase(missing, kChunkLength);
  EXPECT_EQ(difference(model),
            "payload 129 offset 00002800 (flash 00042800): erased, never written");
  link.write(missing, payload(129).bytes + 5 * kChunkLength, kChunkLength);
  ASSERT_EQ(link.status(), 0);
  EXPECT_TRUE(model.flashMatchesPayloads(&first)) << first;

  // The last chunk of payload 137 written again with one byte changed.
  const uint32_t last = kFlashSize - kChunkLength;
  const Payload image = payload(137);
  ASSERT_NE(image.bytes, nullptr);
  std::vector<uint8_t> chunk(image.bytes + (last - 0xF0000), image.bytes + image.size);
  chunk[100] ^= 0x01;
  link.erase(last, kChunkLength);
  link.write(last, chunk);
  ASSERT_EQ(link.status(), 0);
  EXPECT_EQ(difference(model).find("payload 137 offset 002C6864 (flash 003B6864)"), 0u);
}

}  // namespace
}  // namespace rt88h::sim
