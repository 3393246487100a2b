// Hand-made messages that break the byte layouts: each deviation is recorded in words, and
// the device refuses what it cannot carry out.
#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "protocol/encoding.h"
#include "protocol/messages.h"
#include "sim/device_model.h"
#include "tests/sim/model_link.h"
#include "tests/support/sysex_support.h"

namespace rt88h::sim {
namespace {

using testing::ModelLink;
using testing::pattern;
using testing::RecordingSender;
using Bytes = std::vector<uint8_t>;

class Layout : public ::testing::Test {
 protected:
  Layout() : link(model) {
    link.begin();
    link.erase(0, 0x10000);
    model.clearRecord();
  }

  Bytes writeData(uint32_t address, uint32_t n, uint32_t seed = 1) {
    const Bytes chunk = pattern(n, seed);
    RecordingSender capture;
    sendWriteData(link.work(), capture, 0x58, chunk.data(), address, n);
    return capture.last();
  }

  // The one deviation recorded so far contains `words`.
  void expectOneViolation(const std::string& words) {
    ASSERT_EQ(model.violations().size(), 1u) << joined();
    EXPECT_NE(model.violations()[0].find(words), std::string::npos) << joined();
  }
  bool anyViolation(const std::string& words) const {
    for (const auto& v : model.violations()) {
      if (v.find(words) != std::string::npos) return true;
    }
    return false;
  }
  std::string joined() const {
    std::string all;
    for (const auto& v : model.violations()) all += v + "\n";
    return all;
  }

  DeviceModel model;
  ModelLink link;
};

TEST_F(Layout, WellFormedMessagesRecordNothing) {
  link.raw(writeData(0, 2048));
  EXPECT_EQ(link.status(), 0);
  sendIdentityRequest(link);
  sendAck(link.work(), link);
  link.end();
  EXPECT_TRUE(model.violations().empty()) << joined();
}

// One hand-made message a row: how the device answers it and the one deviation it records.
struct Deviation {
  const char* name;
  Bytes message;
  std::size_t replies;  // 1 with a status, or an Identity Reply
  int status;           // -1: no DeviceStatus
  const char* words;
  int updateModeAfter = -1;  // -1: not checked
  int ignored = -1;          // -1: not checked
};

std::ostream& operator<<(std::ostream& out, const Deviation& d) {
  return out << d.name;
}

class LayoutDeviation : public Layout, public ::testing::WithParamInterface<Deviation> {};

TEST_P(LayoutDeviation, IsRecordedAndAnsweredAsTheDeviceWould) {
  const Deviation& d = GetParam();
  link.raw(d.message);
  EXPECT_EQ(link.replies.size(), d.replies);
  EXPECT_EQ(link.status(), d.status);
  expectOneViolation(d.words);
  if (d.updateModeAfter >= 0) {
    EXPECT_EQ(model.inUpdateMode(), d.updateModeAfter == 1);
  }
  if (d.ignored >= 0) {
    EXPECT_EQ(model.ignored(), static_cast<std::size_t>(d.ignored));
  }
}

INSTANTIATE_TEST_SUITE_P(
    HandMade, LayoutDeviation,
    ::testing::Values(
        Deviation{"BeginUpdateTooLong",
                  {0xF0, 0x52, 0x00, 0x58, 0x01, 0x00, 0xF7},
                  1,
                  kStatusBadLength,
                  "BeginUpdate): 7 bytes instead of 6"},
        Deviation{"EraseFlashTooShort",
                  {0xF0, 0x52, 0x00, 0x58, 0x0A, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0xF7},
                  1,
                  kStatusBadLength,
                  "EraseFlash): 15 bytes instead of 16"},
        Deviation{"AckTooLong",
                  {0xF0, 0x52, 0x00, 0x58, 0x00, 0x00, 0x00, 0xF7},
                  0,
                  -1,
                  "Ack): 8 bytes instead of 7"},
        // Still answered with the Identity Reply.
        Deviation{"IdentityRequestTooLong",
                  {0xF0, 0x7E, 0x00, 0x06, 0x01, 0x00, 0xF7},
                  1,
                  -1,
                  "Identity Request): 7 bytes instead of 6"},
        Deviation{"EndUpdateWithoutF7",
                  {0xF0, 0x52, 0x00, 0x58, 0x04, 0x00},
                  1,
                  kStatusMalformed,
                  "ends with 00 instead of F7",
                  1},
        Deviation{"ChannelOtherThan00CarriedOut",
                  {0xF0, 0x52, 0x01, 0x58, 0x04, 0xF7},
                  1,
                  0,
                  "channel byte 01 instead of 00",
                  0},
        Deviation{"UnknownCommand",
                  {0xF0, 0x52, 0x00, 0x58, 0x03, 0xF7},
                  1,
                  kStatusUnknownCommand,
                  "unknown command 03"},
        Deviation{"UnknownGeneralInformationSubId",
                  {0xF0, 0x7E, 0x00, 0x06, 0x03, 0xF7},
                  0,
                  -1,
                  "unknown general-information sub-ID 03"},
        Deviation{"NotGeneralInformation",
                  {0xF0, 0x7E, 0x00, 0x07, 0x01, 0xF7},
                  0,
                  -1,
                  "is not general information 06",
                  -1,
                  1},
        Deviation{
            "NotSysEx", {0x52, 0x00, 0x58, 0x01, 0xF7}, 0, -1, "starts with 52 instead of F0"},
        Deviation{"AnotherMaker", {0xF0, 0x41, 0x00, 0x58, 0x01, 0xF7}, 0, -1, "maker 41"},
        Deviation{"IdentityReplyOfAnotherRevision",
                  {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x58, 0x00, 0x00, 0x00, 0x31, 0x30, 0x30,
                   0x31, 0xF7},
                  0,
                  -1,
                  "revision"}),
    [](const ::testing::TestParamInfo<Deviation>& row) { return std::string(row.param.name); });

TEST_F(Layout, WriteDataLengthFieldDisagreesWithPackedBytes) {
  Bytes message = writeData(0, 2048);
  Num7(2047, 2, message.data() + 10);
  link.raw(message);
  EXPECT_EQ(link.status(), kStatusBadLength);
  expectOneViolation("length field says 2047 bytes (2340 packed) but 2341 packed bytes came");
  EXPECT_TRUE(model.isErased(0, 2048));
  const SeenMessage& seen = model.messages().back();
  EXPECT_EQ(seen.kind, MessageKind::WriteData);
  EXPECT_EQ(seen.length, 2047u);
  EXPECT_FALSE(seen.ok);
}

TEST_F(Layout, WriteDataShorterThanItsFrame) {
  Bytes message = writeData(0, 0);
  ASSERT_EQ(message.size(), 18u);
  message.erase(message.begin() + 12);
  link.raw(message);
  EXPECT_EQ(link.status(), kStatusBadLength);
  expectOneViolation("shorter than the 18");
}

TEST_F(Layout, ByteAbove7FInside) {
  Bytes message = writeData(0, 2048);
  message[100] = 0x80;
  link.raw(message);
  EXPECT_EQ(link.status(), kStatusMalformed);
  EXPECT_TRUE(anyViolation("above 7F inside the message, the first 80 at offset 100")) << joined();
  EXPECT_TRUE(model.isErased(0, 2048));
}

TEST_F(Layout, MissingF7) {
  Bytes message = writeData(0, 64);
  message.pop_back();
  link.raw(message);
  EXPECT_NE(link.status(), 0);
  EXPECT_TRUE(anyViolation("instead of F7")) << joined();
}

TEST_F(Layout, Num7FifthGroupOverrun) {
  RecordingSender capture;
  sendEraseFlash(link.work(), capture, 0x58, 0x1000, 0x1000);
  Bytes message = capture.last();
  message[9] = 0x10;
  link.raw(message);
  EXPECT_EQ(link.status(), kStatusMalformed);
  expectOneViolation("address Num7 fifth group 10 carries bits above 31");

  model.clearRecord();
  message = capture.last();
  message[14] = 0x7F;
  link.raw(message);
  EXPECT_EQ(link.status(), kStatusMalformed);
  expectOneViolation("length Num7 fifth group 7F");

  model.clearRecord();
  message = writeData(0, 2048);
  message[2359 - 2] |= 0x10;
  link.raw(message);
  EXPECT_EQ(link.status(), kStatusMalformed);
  expectOneViolation("check value Num7 fifth group");
}

TEST_F(Layout, HeaderBitsOfAbsentBytesMustBeZero) {
  Bytes message = writeData(0, 3);
  message[12] |= 0x08;  // bit 3 would be bit 7 of a fourth byte the group lacks
  link.raw(message);
  EXPECT_EQ(link.status(), 0);  // the data itself is intact
  expectOneViolation("sets bits of absent bytes");
}

TEST_F(Layout, CutShortBeforeTheHeaderIgnored) {
  link.raw({});
  link.raw({0xF0});
  link.raw({0xF0, 0x52, 0x00, 0x58});
  EXPECT_TRUE(link.replies.empty());
  EXPECT_EQ(model.violations().size(), 3u) << joined();
  EXPECT_EQ(model.ignored(), 3u);
}

TEST_F(Layout, UpdatersIdentityReplyChecked) {
  {
    const testing::ModelScope models(kFirstAcceptedModel, 0x58);
    sendIdentityReply(link);
  }
  EXPECT_TRUE(model.violations().empty()) << joined();
  EXPECT_EQ(model.messages().back().model, 0x58);
}

TEST_F(Layout, EveryPrefixOfAWriteDataRefusedWithoutReadingPastIt) {
  const Bytes message = writeData(0x800, 2048);
  for (std::size_t k = 0; k < message.size(); ++k) {
    const Bytes prefix(message.begin(), message.begin() + static_cast<std::ptrdiff_t>(k));
    link.raw(prefix);
    ASSERT_NE(link.status(), 0) << "prefix of " << k << " bytes";
  }
  EXPECT_TRUE(model.isErased(0x800, 2048));
  EXPECT_EQ(model.messages().size(), message.size());
  link.raw(message);
  EXPECT_EQ(link.status(), 0);
}

TEST_F(Layout, ArbitraryBytesAreRecordedOneByOne) {
  std::mt19937 random(31337u);
  const uint8_t heads[] = {0x52, 0x7E, 0x41};
  for (int i = 0; i < 5000; ++i) {
    Bytes bytes(std::uniform_int_distribution<std::size_t>(0, 40)(random));
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    if (bytes.size() > 1 && i % 2 == 0) bytes[0] = 0xF0;
    if (bytes.size() > 1 && i % 3 != 0) bytes[1] = heads[random() % 3];
    if (bytes.size() > 3 && i % 4 != 0) bytes[3] = i % 5 == 0 ? 0x06 : 0x58;
    if (bytes.size() > 4 && i % 7 == 0) bytes[4] = static_cast<uint8_t>(random() % 12);
    if (!bytes.empty() && i % 6 == 0) bytes.back() = 0xF7;
    link.raw(bytes);
    ASSERT_LE(link.replies.size(), 1u);
  }
  EXPECT_EQ(model.messages().size(), 5000u);
  EXPECT_FALSE(model.violations().empty());
}

}  // namespace
}  // namespace rt88h::sim
