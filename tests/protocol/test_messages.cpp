#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "protocol/encoding.h"
#include "protocol/messages.h"
#include "tests/support/sysex_support.h"

namespace rt88h {
namespace {

using Bytes = std::vector<uint8_t>;

using testing::RecordingSender;

// modelId and byte a of the Identity Reply are process globals: each test starts from the
// values a fresh program has and leaves them as it found them.
class MessagesTest : public ::testing::Test {
 protected:
  testing::ModelScope models;
  WorkBuffer work_;
  RecordingSender sender_;
};

using WriteDataTest = MessagesTest;
using DeviceCommandTest = MessagesTest;
using IdentityMessageTest = MessagesTest;
using SendResultTest = MessagesTest;

// One message a row, byte for byte, with the modelId it is sent under.
struct KnownBytes {
  std::string name;
  uint8_t model;
  int (*send)(WorkBuffer& work, MessageSender& sender);
  Bytes expected;
  bool inWorkBuffer = true;  // assembled in the caller's buffer, not a buffer of its own
};

std::ostream& operator<<(std::ostream& out, const KnownBytes& c) {
  return out << c.name;
}

int nak01(WorkBuffer& work, MessageSender& sender) {
  return sendNak(work, sender, 0x01);
}

std::vector<KnownBytes> knownMessages() {
  std::vector<KnownBytes> rows{
      {"WriteDataOfEightBytes",
       0x57,
       [](WorkBuffer& w, MessageSender& s) {
         const uint8_t chunk[] = {0x00, 0x01, 0x7F, 0x80, 0xFF, 0x12, 0xC3, 0x41};
         return sendWriteData(w, s, 0x58, chunk, 0xF0000, 8);  // not modelId's
       },
       {0xF0, 0x52, 0x00, 0x58, 0x02,                          //
        0x00, 0x00, 0x3C, 0x00, 0x00,                          //
        0x08, 0x00,                                            //
        0x0D, 0x00, 0x01, 0x7F, 0x00, 0x7F, 0x12, 0x43, 0x00,  //
        0x41,                                                  //
        0x40, 0x41, 0x4E, 0x3C, 0x05,                          //
        0xF7}},
      {"EraseFlashOfTheFirstPlanStep",
       0x57,
       [](WorkBuffer& w, MessageSender& s) { return sendEraseFlash(w, s, 0x58, 0x40000, 0xB0000); },
       {0xF0, 0x52, 0x00, 0x58, 0x0A, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x2C, 0x00, 0x00,
        0xF7}},
      {"EraseFlashOfAllThirtyTwoBits",
       0x58,
       [](WorkBuffer& w, MessageSender& s) {
         return sendEraseFlash(w, s, 0x58, 0xFFFFFFFF, 0x80000000);
       },
       {0xF0, 0x52, 0x00, 0x58, 0x0A, 0x7F, 0x7F, 0x7F, 0x7F, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x08,
        0xF7}},
      {"IdentityRequestToChannelZero",
       0x58,
       [](WorkBuffer&, MessageSender& s) { return sendIdentityRequest(s); },
       {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7},
       false},
  };
  // The device commands carry modelId.
  for (const uint8_t m : {0x57, 0x58}) {
    const std::string model = m == 0x57 ? "57" : "58";
    rows.push_back({"Ack" + model, m, &sendAck, {0xF0, 0x52, 0x00, m, 0x00, 0x00, 0xF7}});
    rows.push_back({"Nak" + model, m, &nak01, {0xF0, 0x52, 0x00, m, 0x00, 0x01, 0xF7}});
    rows.push_back({"BeginUpdate" + model, m, &sendBeginUpdate, {0xF0, 0x52, 0x00, m, 0x01, 0xF7}});
    rows.push_back({"EndUpdate" + model, m, &sendEndUpdate, {0xF0, 0x52, 0x00, m, 0x04, 0xF7}});
  }
  return rows;
}

class KnownMessage : public MessagesTest, public ::testing::WithParamInterface<KnownBytes> {};

TEST_P(KnownMessage, IsSentOnceWithExactlyTheseBytes) {
  const KnownBytes& c = GetParam();
  modelId = c.model;
  ASSERT_EQ(c.send(work_, sender_), 0);
  ASSERT_EQ(sender_.sent.size(), 1u);
  EXPECT_EQ(sender_.sent[0], c.expected);
  if (c.inWorkBuffer) {
    EXPECT_EQ(sender_.from[0], work_.bytes.data());
  }
}

INSTANTIATE_TEST_SUITE_P(Messages, KnownMessage, ::testing::ValuesIn(knownMessages()),
                         [](const auto& row) { return row.param.name; });

TEST_F(WriteDataTest, FullChunkIs2359SevenBitBytes) {
  Bytes chunk(2048);
  for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<uint8_t>(i * 131 + 7);
  ASSERT_EQ(sendWriteData(work_, sender_, 0x57, chunk.data(), 0x3B6800, 2048), 0);
  ASSERT_EQ(sender_.sent.size(), 1u);
  const Bytes& m = sender_.sent[0];
  ASSERT_EQ(m.size(), 2359u);
  EXPECT_EQ(m.front(), 0xF0);
  EXPECT_EQ(m.back(), 0xF7);
  for (std::size_t i = 1; i + 1 < m.size(); ++i) ASSERT_LT(m[i], 0x80) << "byte " << i;
  EXPECT_EQ(m[3], 0x57);
  EXPECT_EQ(m[10], 0x00);
  EXPECT_EQ(m[11], 0x10);
  EXPECT_EQ(ReadNum7(&m[5], 5), 0x3B6800u);
}

TEST_F(WriteDataTest, ChunkOf16384IsRefusedWithoutSending) {
  const Bytes chunk(kMaxChunkLength + 1, 0x00);
  EXPECT_EQ(sendWriteData(work_, sender_, 0x58, chunk.data(), 0, kMaxChunkLength + 1), -1);
  EXPECT_EQ(sendWriteData(work_, sender_, 0x58, chunk.data(), 0, 0xFFFFFFFFu), -1);
  EXPECT_TRUE(sender_.sent.empty());
}

TEST_F(DeviceCommandTest, NakCarriesTheGivenCode) {
  sendNak(work_, sender_, 0x05);
  ASSERT_EQ(sender_.sent.size(), 1u);
  EXPECT_EQ(sender_.sent[0][5], 0x05);
}

TEST_F(IdentityMessageTest, ReplyAndAckFollowAcceptedAndRejectedModels) {
  // A fresh program: no model accepted yet, although modelId already is 0x58.
  sendIdentityReply(sender_);
  sendAck(work_, sender_);
  // The procedure accepts 0x57.
  modelId = 0x57;
  identityReplyModel = 0x57;
  sendIdentityReply(sender_);
  sendAck(work_, sender_);
  // A later run takes over 0x56 and rejects it: only modelId changes.
  modelId = 0x56;
  sendIdentityReply(sender_);
  sendAck(work_, sender_);

  ASSERT_EQ(sender_.sent.size(), 6u);
  EXPECT_EQ(sender_.sent[0], (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x00, 0x00, 0x00, 0x00,
                                    0x31, 0x30, 0x30, 0x30, 0xF7}));
  EXPECT_EQ(sender_.sent[1][3], 0x58);
  EXPECT_EQ(sender_.sent[2], (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x57, 0x00, 0x00, 0x00,
                                    0x31, 0x30, 0x30, 0x30, 0xF7}));
  EXPECT_EQ(sender_.sent[3][3], 0x57);
  EXPECT_EQ(sender_.sent[4][kIdentityReplyModelByte], 0x57);
  EXPECT_EQ(sender_.sent[5][3], 0x56);
}

TEST_F(IdentityMessageTest, IdentityMessagesLeaveTheWorkBufferAlone) {
  sendAck(work_, sender_);
  const Bytes before(work_.bytes.begin(), work_.bytes.begin() + 16);
  sendIdentityRequest(sender_);
  sendIdentityReply(sender_);
  EXPECT_EQ(Bytes(work_.bytes.begin(), work_.bytes.begin() + 16), before);
}

TEST_F(SendResultTest, EverySenderResultIsPassedThroughUnchanged) {
  const Bytes chunk(2048, 0x11);
  for (const int result : {0, -1}) {
    RecordingSender sender(result);
    SCOPED_TRACE(result);
    EXPECT_EQ(sendWriteData(work_, sender, 0x58, chunk.data(), 0, 2048), result);
    EXPECT_EQ(sendEraseFlash(work_, sender, 0x58, 0, 0x40000), result);
    EXPECT_EQ(sendAck(work_, sender), result);
    EXPECT_EQ(sendNak(work_, sender, 0x01), result);
    EXPECT_EQ(sendBeginUpdate(work_, sender), result);
    EXPECT_EQ(sendEndUpdate(work_, sender), result);
    EXPECT_EQ(sendIdentityRequest(sender), result);
    EXPECT_EQ(sendIdentityReply(sender), result);
    EXPECT_EQ(sender.sent.size(), 8u) << "each operation sends exactly once";
  }
}

}  // namespace
}  // namespace rt88h
