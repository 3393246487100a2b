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

// F0 52 00 <model> <bytes> F7: a message of the device's own.
Bytes device(std::initializer_list<uint8_t> bytes, uint8_t model = kModel) {
  Bytes message{0xF0, 0x52, 0x00, model};
  message.insert(message.end(), bytes);
  message.push_back(0xF7);
  return message;
}

// F0 7E 00 06 <bytes> F7: general information.
Bytes universal(std::initializer_list<uint8_t> bytes) {
  Bytes message{0xF0, 0x7E, 0x00, 0x06};
  message.insert(message.end(), bytes);
  message.push_back(0xF7);
  return message;
}

// One well-formed message per kind, and how many bytes its rule reads.
struct KindCase {
  std::string name;
  Bytes message;
  ReceivedKind kind;
  uint8_t value;
  std::size_t bytesRead;
};

std::vector<KindCase> kindCases() {
  const Bytes reply = universal({0x02, 0x52, 0x57, 0x00, 0x00, 0x00, 0x31, 0x30, 0x30, 0x30});
  return {
      {"DeviceStatus", device({0x00, 0x0B}), K::DeviceStatus, 11, 6},
      {"DeviceDone", device({0x02}), K::DeviceDone, 0, 5},
      {"DeviceCode01", device({0x01}), K::DeviceAckRequest, 0, 5},
      {"DeviceCode04", device({0x04}), K::DeviceAckRequest, 0, 5},
      {"DeviceCode05", device({0x05}), K::DeviceAckRequest, 0, 5},
      {"DeviceCode03", device({0x03}), K::DeviceSilent, 0, 5},
      {"DeviceCode06", device({0x06}), K::DeviceNakRequest, 0, 5},
      {"IdentityRequest", universal({0x01}), K::IdentityRequest, 0, 5},
      {"IdentityReply", reply, K::IdentityReply, 0x57, 7},
      {"UniversalSubCode03", universal({0x03}), K::UniversalNakRequest, 0, 5},
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

// Single messages beside the kinds above, under the current model given.
TEST(ReceivedMessage, ValuesChannelsModelsAndWhatIsIgnored) {
  const struct {
    Bytes message;
    uint8_t model;
    Received want;
  } rows[] = {
      // A status is read unsigned, from any channel, for the current model only.
      {device({0x00, 0x80}), kModel, {K::DeviceStatus, 0x80}},
      {device({0x00, 0xFF}), kModel, {K::DeviceStatus, 0xFF}},
      {{0xF0, 0x52, 0x7F, kModel, 0x00, 0x00, 0xF7}, kModel, {K::DeviceStatus, 0}},
      {device({0x00, 0x00}, 0x57), 0x58, {}},
      {device({0x00, 0x00}, 0x57), 0x57, {K::DeviceStatus, 0}},
      // An Identity Reply whatever the manufacturer, revision and current model.
      {{0xF0, 0x7E, 0x7F, 0x06, 0x02, 0x41, 0x56, 0x12, 0x34, 0x56, 0x00, 0xF7},
       kModel,
       {K::IdentityReply, 0x56}},
      {universal({0x02, 0x52, 0x58}), 0x00, {K::IdentityReply, 0x58}},
      {universal({0x02, 0x52, 0x58}), 0x57, {K::IdentityReply, 0x58}},
      // Other general-information sub-codes are answered with Nak.
      {universal({0x00}), kModel, {K::UniversalNakRequest, 0}},
      {universal({0x04}), kModel, {K::UniversalNakRequest, 0}},
      {universal({0x7F}), kModel, {K::UniversalNakRequest, 0}},
      // Other universal classes, other byte 1s (real-time universal, another maker, the device's
      // own bytes shifted by one) and one-byte entries are ignored.
      {{0xF0, 0x7E, 0x00, 0x00, 0x01, 0xF7}, kModel, {}},
      {{0xF0, 0x7E, 0x00, 0x05, 0x01, 0xF7}, kModel, {}},
      {{0xF0, 0x7E, 0x00, 0x07, 0x01, 0xF7}, kModel, {}},
      {{0xF0, 0x7E, 0x00, 0x09, 0x01, 0xF7}, kModel, {}},
      {{0xF0, 0x7E, 0x00, 0x7F, 0x01, 0xF7}, kModel, {}},
      {{0xF0, 0x7F, 0x00, kModel, 0x00, 0x00, 0xF7}, kModel, {}},
      {{0xF0, 0x41, 0x00, kModel, 0x00, 0x00, 0xF7}, kModel, {}},
      {{0xF0, 0x00, 0x00, kModel, 0x00, 0x00, 0xF7}, kModel, {}},
      {{0xF0, 0x58, 0x00, kModel, 0x00, 0x00, 0xF7}, kModel, {}},
      {{0xF0, 0x06, 0x00, kModel, 0x00, 0x00, 0xF7}, kModel, {}},
      {{0xF0, 0xF7, 0x00, kModel, 0x00, 0x00, 0xF7}, kModel, {}},
      {{0xF0}, kModel, {}},
      {{0xF7}, kModel, {}},
  };
  for (const auto& row : rows) {
    EXPECT_THAT(classify(row.message, row.model), IsReceived(row.want.kind, row.want.value))
        << ::testing::PrintToString(row.message) << " under " << int{row.model};
  }
  EXPECT_THAT(classifyExact({}, 0), IsReceived(K::Ignored, 0));
  EXPECT_THAT(classifyReceived(nullptr, 0, kModel), IsReceived(K::Ignored, 0));
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

}  // namespace
}  // namespace rt88h
