#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "encoding.h"
#include "messages.h"

namespace rt88h {
namespace {

using Bytes = std::vector<uint8_t>;

// Keeps a copy of every message handed over and answers with a chosen result.
class RecordingSender final : public MessageSender {
 public:
  explicit RecordingSender(int result = 0) : result_(result) {}
  int sendUpdateMessage(const uint8_t* bytes, uint32_t length) override {
    sent.emplace_back(bytes, bytes + length);
    from.push_back(bytes);
    return result_;
  }
  std::vector<Bytes> sent;
  std::vector<const uint8_t*> from;

 private:
  int result_;
};

// modelId and byte a of the Identity Reply are process globals: each test starts from the
// values a fresh program has and leaves them as it found them.
class MessagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedModel_ = modelId.load();
    savedReplyModel_ = identityReplyModel.load();
    modelId = kFirstAcceptedModel;
    identityReplyModel = 0x00;
  }
  void TearDown() override {
    modelId = savedModel_;
    identityReplyModel = savedReplyModel_;
  }

  WorkBuffer work_;
  RecordingSender sender_;

 private:
  uint8_t savedModel_ = 0;
  uint8_t savedReplyModel_ = 0;
};

using WriteDataTest = MessagesTest;
using DeviceCommandTest = MessagesTest;
using IdentityMessageTest = MessagesTest;
using SendResultTest = MessagesTest;

TEST_F(WriteDataTest, EightByteChunkMatchesTheKnownBytes) {
  const Bytes chunk{0x00, 0x01, 0x7F, 0x80, 0xFF, 0x12, 0xC3, 0x41};
  ASSERT_EQ(sendWriteData(work_, sender_, 0x58, chunk.data(), 0xF0000, 8), 0);
  ASSERT_EQ(sender_.sent.size(), 1u);
  EXPECT_EQ(sender_.sent[0], (Bytes{0xF0, 0x52, 0x00, 0x58, 0x02,                          //
                                    0x00, 0x00, 0x3C, 0x00, 0x00,                          //
                                    0x08, 0x00,                                            //
                                    0x0D, 0x00, 0x01, 0x7F, 0x00, 0x7F, 0x12, 0x43, 0x00,  //
                                    0x41,                                                  //
                                    0x40, 0x41, 0x4E, 0x3C, 0x05,                          //
                                    0xF7}));
}

TEST_F(WriteDataTest, AssemblesInPlaceInTheCallersWorkBuffer) {
  const Bytes chunk(16, 0x55);
  sendWriteData(work_, sender_, 0x58, chunk.data(), 0, 16);
  ASSERT_EQ(sender_.from.size(), 1u);
  EXPECT_EQ(sender_.from[0], work_.bytes.data());
}

TEST_F(WriteDataTest, FullChunkIs2359BytesAndCarriesItsContent) {
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

  Bytes unpacked(2048);
  ASSERT_EQ(Unpack7(&m[12], 2341, unpacked.data()), 2048u);
  EXPECT_EQ(unpacked, chunk);
  EXPECT_EQ(ReadNum7(&m[12 + 2341], 5), Crc32NoXor(chunk.data(), chunk.size()));
}

TEST_F(WriteDataTest, LargestEncodableChunkFitsTheWorkBuffer) {
  const Bytes chunk(kMaxChunkLength, 0xA5);
  ASSERT_EQ(sendWriteData(work_, sender_, 0x58, chunk.data(), 0, kMaxChunkLength), 0);
  ASSERT_EQ(sender_.sent.size(), 1u);
  EXPECT_EQ(sender_.sent[0].size(), 18742u);
  EXPECT_EQ(sender_.sent[0][10], 0x7F);
  EXPECT_EQ(sender_.sent[0][11], 0x7F);
}

TEST_F(WriteDataTest, ChunkOf16384IsRefusedWithoutSending) {
  const Bytes chunk(kMaxChunkLength + 1, 0x00);
  EXPECT_EQ(sendWriteData(work_, sender_, 0x58, chunk.data(), 0, kMaxChunkLength + 1), -1);
  EXPECT_EQ(sendWriteData(work_, sender_, 0x58, chunk.data(), 0, 0xFFFFFFFFu), -1);
  EXPECT_TRUE(sender_.sent.empty());
}

TEST_F(WriteDataTest, UsesTheModelByteItIsGivenNotModelId) {
  modelId = 0x57;
  const Bytes chunk(7, 0x01);
  sendWriteData(work_, sender_, 0x58, chunk.data(), 0, 7);
  sendEraseFlash(work_, sender_, 0x56, 0, 0);
  ASSERT_EQ(sender_.sent.size(), 2u);
  EXPECT_EQ(sender_.sent[0][3], 0x58);
  EXPECT_EQ(sender_.sent[1][3], 0x56);
}

TEST_F(DeviceCommandTest, EraseFlashOfTheFirstPlanStep) {
  ASSERT_EQ(sendEraseFlash(work_, sender_, 0x58, 0x40000, 0xB0000), 0);
  ASSERT_EQ(sender_.sent.size(), 1u);
  EXPECT_EQ(sender_.sent[0], (Bytes{0xF0, 0x52, 0x00, 0x58, 0x0A, 0x00, 0x00, 0x10, 0x00, 0x00,
                                    0x00, 0x00, 0x2C, 0x00, 0x00, 0xF7}));
  EXPECT_EQ(sender_.from[0], work_.bytes.data());
}

TEST_F(DeviceCommandTest, EraseFlashEncodesAllThirtyTwoBits) {
  sendEraseFlash(work_, sender_, 0x58, 0xFFFFFFFF, 0x80000000);
  ASSERT_EQ(sender_.sent.size(), 1u);
  EXPECT_EQ(sender_.sent[0], (Bytes{0xF0, 0x52, 0x00, 0x58, 0x0A, 0x7F, 0x7F, 0x7F, 0x7F, 0x0F,
                                    0x00, 0x00, 0x00, 0x00, 0x08, 0xF7}));
}

TEST_F(DeviceCommandTest, AckNakBeginAndEndCarryModelId) {
  sendAck(work_, sender_);
  sendNak(work_, sender_, 0x01);
  sendBeginUpdate(work_, sender_);
  sendEndUpdate(work_, sender_);
  modelId = 0x57;
  sendAck(work_, sender_);
  sendNak(work_, sender_, 0x01);
  sendBeginUpdate(work_, sender_);
  sendEndUpdate(work_, sender_);
  ASSERT_EQ(sender_.sent.size(), 8u);
  EXPECT_EQ(sender_.sent[0], (Bytes{0xF0, 0x52, 0x00, 0x58, 0x00, 0x00, 0xF7}));
  EXPECT_EQ(sender_.sent[1], (Bytes{0xF0, 0x52, 0x00, 0x58, 0x00, 0x01, 0xF7}));
  EXPECT_EQ(sender_.sent[2], (Bytes{0xF0, 0x52, 0x00, 0x58, 0x01, 0xF7}));
  EXPECT_EQ(sender_.sent[3], (Bytes{0xF0, 0x52, 0x00, 0x58, 0x04, 0xF7}));
  EXPECT_EQ(sender_.sent[4], (Bytes{0xF0, 0x52, 0x00, 0x57, 0x00, 0x00, 0xF7}));
  EXPECT_EQ(sender_.sent[5], (Bytes{0xF0, 0x52, 0x00, 0x57, 0x00, 0x01, 0xF7}));
  EXPECT_EQ(sender_.sent[6], (Bytes{0xF0, 0x52, 0x00, 0x57, 0x01, 0xF7}));
  EXPECT_EQ(sender_.sent[7], (Bytes{0xF0, 0x52, 0x00, 0x57, 0x04, 0xF7}));
  for (const uint8_t* from : sender_.from) EXPECT_EQ(from, work_.bytes.data());
}

TEST_F(DeviceCommandTest, NakCarriesTheGivenCode) {
  sendNak(work_, sender_, 0x05);
  ASSERT_EQ(sender_.sent.size(), 1u);
  EXPECT_EQ(sender_.sent[0][5], 0x05);
}

TEST_F(IdentityMessageTest, IdentityRequestIsAddressedToChannelZero) {
  ASSERT_EQ(sendIdentityRequest(sender_), 0);
  ASSERT_EQ(sender_.sent.size(), 1u);
  EXPECT_EQ(sender_.sent[0], (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7}));
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
