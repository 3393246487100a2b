#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "protocol/received.h"

namespace rt88h {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kModel = 0x58;

// Classifies a heap copy of exactly `count` bytes, so that a read past the end is a real
// out-of-bounds access (and a sanitizer build reports it).
Received classifyExact(const Bytes& message, std::size_t count, uint8_t model = kModel) {
  auto copy = std::make_unique<uint8_t[]>(std::max<std::size_t>(count, 1));
  std::copy_n(message.begin(), count, copy.get());
  return classifyReceived(copy.get(), count, model);
}

Received classify(const Bytes& message, uint8_t model = kModel) {
  return classifyExact(message, message.size(), model);
}

MATCHER_P2(IsReceived, kind, value, "") {
  return arg.kind == kind && arg.value == value;
}

using K = ReceivedKind;

// One well-formed message per kind, and how many bytes its rule reads.
struct KindCase {
  std::string name;
  Bytes message;
  ReceivedKind kind;
  uint8_t value;
  std::size_t bytesRead;
};

std::vector<KindCase> kindCases() {
  return {
      {"DeviceStatus", {0xF0, 0x52, 0x00, kModel, 0x00, 0x0B, 0xF7}, K::DeviceStatus, 11, 6},
      {"DeviceDone", {0xF0, 0x52, 0x00, kModel, 0x02, 0xF7}, K::DeviceDone, 0, 5},
      {"DeviceCode01", {0xF0, 0x52, 0x00, kModel, 0x01, 0xF7}, K::DeviceAckRequest, 0, 5},
      {"DeviceCode04", {0xF0, 0x52, 0x00, kModel, 0x04, 0xF7}, K::DeviceAckRequest, 0, 5},
      {"DeviceCode05", {0xF0, 0x52, 0x00, kModel, 0x05, 0xF7}, K::DeviceAckRequest, 0, 5},
      {"DeviceCode03", {0xF0, 0x52, 0x00, kModel, 0x03, 0xF7}, K::DeviceSilent, 0, 5},
      {"DeviceCode06", {0xF0, 0x52, 0x00, kModel, 0x06, 0xF7}, K::DeviceNakRequest, 0, 5},
      {"IdentityRequest", {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7}, K::IdentityRequest, 0, 5},
      {"IdentityReply",
       {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x57, 0x00, 0x00, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7},
       K::IdentityReply,
       0x57,
       7},
      {"UniversalSubCode03", {0xF0, 0x7E, 0x00, 0x06, 0x03, 0xF7}, K::UniversalNakRequest, 0, 5},
  };
}

void PrintTo(const KindCase& c, std::ostream* os) {
  *os << c.name;
}

class ReceivedKindTest : public ::testing::TestWithParam<KindCase> {};

TEST_P(ReceivedKindTest, WholeMessageIsRecognised) {
  const KindCase& c = GetParam();
  EXPECT_THAT(classify(c.message), IsReceived(c.kind, c.value));
}

TEST_P(ReceivedKindTest, EntryShorterThanItsRuleIsIgnored) {
  const KindCase& c = GetParam();
  const std::size_t longest = std::max<std::size_t>(7, c.message.size());
  for (std::size_t count = 0; count <= longest; ++count) {
    SCOPED_TRACE("count " + std::to_string(count));
    Bytes message = c.message;
    message.resize(std::max(count, message.size()), 0xF7);
    const Received expected = count >= c.bytesRead ? Received{c.kind, c.value} : Received{};
    EXPECT_THAT(classifyExact(message, count), IsReceived(expected.kind, expected.value));
    // The whole message lies in memory: only `count` may decide.
    EXPECT_THAT(classifyReceived(message.data(), count, kModel),
                IsReceived(expected.kind, expected.value));
  }
}

TEST_P(ReceivedKindTest, ChannelByteIsNeverExamined) {
  const KindCase& c = GetParam();
  for (int channel = 0; channel <= 0xFF; ++channel) {
    Bytes message = c.message;
    message[2] = static_cast<uint8_t>(channel);
    EXPECT_THAT(classify(message), IsReceived(c.kind, c.value)) << "channel " << channel;
  }
}

TEST_P(ReceivedKindTest, BytesAfterTheRuleAreNeverExamined) {
  const KindCase& c = GetParam();
  Bytes message(c.message.begin(), c.message.begin() + static_cast<std::ptrdiff_t>(c.bytesRead));
  // No closing F7 at all.
  EXPECT_THAT(classify(message), IsReceived(c.kind, c.value));
  // Or anything at all after the rule's bytes, status bytes included.
  message.insert(message.end(), {0xF0, 0x80, 0xFF, 0x00});
  EXPECT_THAT(classify(message), IsReceived(c.kind, c.value));
}

TEST_P(ReceivedKindTest, NotStartingWithF0IsIgnored) {
  const KindCase& c = GetParam();
  for (const uint8_t first : {0x00, 0x52, 0x7E, 0x90, 0xF7, 0xFF}) {
    Bytes message = c.message;
    message[0] = first;
    EXPECT_THAT(classify(message), IsReceived(ReceivedKind::Ignored, 0)) << int{first};
  }
}

INSTANTIATE_TEST_SUITE_P(Received, ReceivedKindTest, ::testing::ValuesIn(kindCases()),
                         [](const auto& param) { return param.param.name; });

TEST(ReceivedDeviceMessage, StatusIsReadUnsigned) {
  EXPECT_THAT(classify({0xF0, 0x52, 0x00, kModel, 0x00, 0x0B, 0xF7}),
              IsReceived(ReceivedKind::DeviceStatus, 11));
  EXPECT_THAT(classify({0xF0, 0x52, 0x00, kModel, 0x00, 0x80, 0xF7}),
              IsReceived(ReceivedKind::DeviceStatus, 0x80));
  EXPECT_THAT(classify({0xF0, 0x52, 0x00, kModel, 0x00, 0xFF, 0xF7}),
              IsReceived(ReceivedKind::DeviceStatus, 0xFF));
}

TEST(ReceivedDeviceMessage, StatusFromAnotherChannelCounts) {
  EXPECT_THAT(classify({0xF0, 0x52, 0x7F, kModel, 0x00, 0x00, 0xF7}),
              IsReceived(ReceivedKind::DeviceStatus, 0));
}

TEST(ReceivedDeviceMessage, EveryCodeFrom06UpIsAnsweredWithNak) {
  for (int code = 0x06; code <= 0xFF; ++code) {
    EXPECT_THAT(classify({0xF0, 0x52, 0x00, kModel, static_cast<uint8_t>(code), 0xF7}),
                IsReceived(ReceivedKind::DeviceNakRequest, 0))
        << "code " << code;
  }
}

TEST(ReceivedDeviceMessage, AnotherModelIsIgnoredWhateverTheCode) {
  for (const uint8_t model : {0x00, 0x56, 0x57, 0x59, 0x7F}) {
    for (int code = 0x00; code <= 0x0A; ++code) {
      EXPECT_THAT(classify({0xF0, 0x52, 0x00, model, static_cast<uint8_t>(code), 0x00, 0xF7}),
                  IsReceived(ReceivedKind::Ignored, 0))
          << "model " << int{model} << " code " << code;
    }
  }
}

TEST(ReceivedDeviceMessage, FollowsTheCurrentModel) {
  const Bytes status57{0xF0, 0x52, 0x00, 0x57, 0x00, 0x00, 0xF7};
  EXPECT_THAT(classify(status57, 0x58), IsReceived(ReceivedKind::Ignored, 0));
  EXPECT_THAT(classify(status57, 0x57), IsReceived(ReceivedKind::DeviceStatus, 0));
}

TEST(ReceivedUniversalMessage, IdentityReplyIgnoresManufacturerAndRevision) {
  EXPECT_THAT(classify({0xF0, 0x7E, 0x7F, 0x06, 0x02, 0x41, 0x56, 0x12, 0x34, 0x56, 0x00, 0xF7}),
              IsReceived(ReceivedKind::IdentityReply, 0x56));
}

TEST(ReceivedUniversalMessage, IdentityReplyDoesNotDependOnModel) {
  const Bytes reply{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x58, 0xF7};
  EXPECT_THAT(classify(reply, 0x00), IsReceived(ReceivedKind::IdentityReply, 0x58));
  EXPECT_THAT(classify(reply, 0x57), IsReceived(ReceivedKind::IdentityReply, 0x58));
}

TEST(ReceivedUniversalMessage, OtherGeneralInformationSubCodesAreAnsweredWithNak) {
  for (const uint8_t sub : {0x00, 0x03, 0x04, 0x7F}) {
    EXPECT_THAT(classify({0xF0, 0x7E, 0x00, 0x06, sub, 0xF7}),
                IsReceived(ReceivedKind::UniversalNakRequest, 0))
        << int{sub};
  }
}

TEST(ReceivedUniversalMessage, OtherUniversalClassesAreIgnored) {
  for (const uint8_t subId : {0x00, 0x05, 0x07, 0x09, 0x7F}) {
    EXPECT_THAT(classify({0xF0, 0x7E, 0x00, subId, 0x01, 0xF7}),
                IsReceived(ReceivedKind::Ignored, 0))
        << int{subId};
  }
}

TEST(ReceivedOtherMessage, UnknownByteOneIsIgnored) {
  // Real-time universal, another maker, and the device's own bytes shifted by one.
  for (const uint8_t second : {0x7F, 0x41, 0x00, 0x58, 0x06, 0xF7}) {
    EXPECT_THAT(classify({0xF0, second, 0x00, kModel, 0x00, 0x00, 0xF7}),
                IsReceived(ReceivedKind::Ignored, 0))
        << int{second};
  }
}

TEST(ReceivedOtherMessage, EmptyAndOneByteEntriesAreIgnored) {
  EXPECT_THAT(classifyExact({}, 0), IsReceived(ReceivedKind::Ignored, 0));
  EXPECT_THAT(classify({0xF0}), IsReceived(ReceivedKind::Ignored, 0));
  EXPECT_THAT(classify({0xF7}), IsReceived(ReceivedKind::Ignored, 0));
  EXPECT_THAT(classifyReceived(nullptr, 0, kModel), IsReceived(ReceivedKind::Ignored, 0));
}

}  // namespace
}  // namespace rt88h
