// The real encoder as producer, the model's decoder as consumer: every chunk must land intact
// (what the messages of a chunk hold beyond that is test_messages.cpp's).
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "protocol/encoding.h"
#include "protocol/flash_plan.h"
#include "protocol/messages.h"
#include "sim/device_model.h"
#include "tests/sim/model_link.h"

namespace rt88h::sim {
namespace {

using testing::ModelLink;
using testing::pattern;

class RoundTrip : public ::testing::Test {
 protected:
  RoundTrip() : link(model) { link.begin(); }

  // Erases one byte more than the chunk, so that a decoder writing past the end is seen.
  void writeAndCheck(uint32_t address, const uint8_t* chunk, uint32_t n) {
    link.erase(address, n + 1);
    ASSERT_EQ(link.status(), 0) << "erase for n = " << n;
    link.write(address, chunk, n);
    ASSERT_EQ(link.status(), 0) << "n = " << n << " at " << address;
    ASSERT_TRUE(std::equal(chunk, chunk + n, model.flash().begin() + address)) << "n = " << n;
    ASSERT_TRUE(model.isWritten(address, n)) << "n = " << n;
    ASSERT_TRUE(model.isErased(address + n, 1)) << "n = " << n;
    ASSERT_EQ(model.flash()[address + n], 0xFF) << "n = " << n;
  }

  DeviceModel model;
  ModelLink link;
};

TEST_F(RoundTrip, EveryChunkLengthThe14BitFieldAllows) {
  const std::vector<uint8_t> source = pattern(2 * (kMaxChunkLength + 1), 99);
  for (uint32_t n = 0; n <= kMaxChunkLength; ++n) {
    // Spread over the whole flash and over every alignment.
    const uint32_t address = static_cast<uint32_t>((uint64_t{n} * 7919u) % (kFlashSize - 16384));
    writeAndCheck(address, source.data() + (n * 13u) % 16384u, n);
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(model.count(MessageKind::WriteData), kMaxChunkLength + 1);
  EXPECT_EQ(model.failed(MessageKind::WriteData), 0u);
  EXPECT_TRUE(model.violations().empty());
}

TEST_F(RoundTrip, ExtremeByteValuesSurvivePacking) {
  for (uint8_t fill : {uint8_t{0x00}, uint8_t{0x7F}, uint8_t{0x80}, uint8_t{0xFF}}) {
    for (uint32_t n : {1u, 6u, 7u, 8u, 13u, 14u, 15u, 2048u, 16383u}) {
      const std::vector<uint8_t> chunk(n, fill);
      writeAndCheck(0x100000 + fill * 0x100u, chunk.data(), n);
      if (HasFatalFailure()) return;
    }
  }
  EXPECT_TRUE(model.violations().empty());
}

TEST_F(RoundTrip, ConsecutiveChunksFillOneErasedRegion) {
  std::mt19937 random(7u);
  for (int region = 0; region < 20; ++region) {
    const uint32_t length = std::uniform_int_distribution<uint32_t>(1, 200000)(random);
    const uint32_t start = std::uniform_int_distribution<uint32_t>(0, kFlashSize - length)(random);
    const std::vector<uint8_t> source = pattern(length, static_cast<uint32_t>(region));
    link.erase(start, length);
    ASSERT_EQ(link.status(), 0);
    for (uint32_t offset = 0; offset < length;) {
      const uint32_t n =
          std::min(length - offset, std::uniform_int_distribution<uint32_t>(0, 5000)(random));
      link.write(start + offset, source.data() + offset, n);
      ASSERT_EQ(link.status(), 0) << "region " << region << " offset " << offset;
      offset += n;
    }
    ASSERT_TRUE(std::equal(source.begin(), source.end(), model.flash().begin() + start));
    ASSERT_TRUE(model.isWritten(start, length));
  }
  EXPECT_TRUE(model.violations().empty());
}

}  // namespace
}  // namespace rt88h::sim
