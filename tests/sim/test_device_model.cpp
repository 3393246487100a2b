// The device's answers to well-formed messages and what it does to its flash.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <vector>

#include "protocol/flash_plan.h"
#include "protocol/messages.h"
#include "sim/device_model.h"
#include "tests/sim/model_link.h"

namespace rt88h::sim {
namespace {

using testing::ModelLink;
using testing::ModelScope;
using testing::pattern;
using Bytes = std::vector<uint8_t>;

TEST(Identity, RequestOnChannel00AnsweredWithTheConfiguredModelRevisionAndDelay) {
  DeviceModel::Config other;
  other.model = 0x57;
  other.revision = {0x31, 0x32, 0x33, 0x34};
  other.replyDelayMs = 40;
  const std::tuple<DeviceModel::Config, Bytes, uint32_t> cases[] = {
      {DeviceModel::Config{},
       {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x58, 0x00, 0x00, 0x00, 0x30, 0x32, 0x30, 0x31, 0xF7},
       0},
      {other,
       {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52, 0x57, 0x00, 0x00, 0x00, 0x31, 0x32, 0x33, 0x34, 0xF7},
       40}};
  for (const auto& [config, reply, delayMs] : cases) {
    DeviceModel model(config);
    ModelLink link(model);
    sendIdentityRequest(link);
    ASSERT_EQ(link.replies.size(), 1u);
    EXPECT_EQ(link.replies[0].bytes, reply);
    EXPECT_EQ(link.replies[0].delayMs, delayMs);
    EXPECT_TRUE(model.violations().empty());
    EXPECT_EQ(model.count(MessageKind::IdentityRequest), 1u);
  }
}

TEST(Identity, AllCallAnsweredButRecordedOtherChannelsIgnored) {
  DeviceModel model;
  ModelLink link(model);
  link.raw({0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});
  EXPECT_EQ(link.replies.size(), 1u);
  ASSERT_EQ(model.violations().size(), 1u);
  EXPECT_NE(model.violations()[0].find("all-call"), std::string::npos);

  link.raw({0xF0, 0x7E, 0x05, 0x06, 0x01, 0xF7});
  EXPECT_TRUE(link.replies.empty());
  EXPECT_EQ(model.ignored(), 1u);
  EXPECT_EQ(model.count(MessageKind::IdentityRequest), 1u);
}

TEST(UpdateMode, BeginUpdateAnsweredWithStatus0AndEntersMode) {
  DeviceModel model;
  ModelLink link(model);
  EXPECT_FALSE(model.inUpdateMode());
  link.begin();
  EXPECT_EQ(link.status(), 0);
  EXPECT_EQ(link.replies[0].bytes, (Bytes{0xF0, 0x52, 0x00, 0x58, 0x00, 0x00, 0xF7}));
  EXPECT_TRUE(model.inUpdateMode());
}

TEST(UpdateMode, RefusingDeviceAnswers11AndStaysOut) {
  DeviceModel::Config config;
  config.refuseUpdateMode = true;
  DeviceModel model(config);
  ModelLink link(model);
  link.begin();
  EXPECT_EQ(link.status(), 11);
  EXPECT_FALSE(model.inUpdateMode());
  EXPECT_EQ(model.failed(MessageKind::BeginUpdate), 1u);

  link.erase(0, 2048);
  EXPECT_EQ(link.status(), kStatusNoUpdateMode);

  // A second run after the user has set the mode.
  model.config().refuseUpdateMode = false;
  link.begin();
  EXPECT_EQ(link.status(), 0);
  EXPECT_TRUE(model.inUpdateMode());
}

TEST(UpdateMode, EraseAndWriteBeforeBeginUpdateRefusedAndRecorded) {
  DeviceModel model;
  ModelLink link(model);
  const Bytes before = model.flash();
  link.erase(0, 0x1000);
  EXPECT_EQ(link.status(), kStatusNoUpdateMode);
  link.write(0, pattern(2048, 1));
  EXPECT_EQ(link.status(), kStatusNoUpdateMode);
  link.end();
  EXPECT_EQ(link.status(), kStatusNoUpdateMode);
  EXPECT_EQ(model.flash(), before);
  EXPECT_EQ(model.violations().size(), 3u);
  EXPECT_NE(model.violations()[0].find("before BeginUpdate"), std::string::npos);
}

TEST(UpdateMode, EndUpdateAnswers0AndLeavesMode) {
  DeviceModel model;
  ModelLink link(model);
  link.begin();
  link.end();
  EXPECT_EQ(link.status(), 0);
  EXPECT_FALSE(model.inUpdateMode());
  EXPECT_TRUE(model.finished());
  link.write(0, pattern(16, 2));
  EXPECT_EQ(link.status(), kStatusNoUpdateMode);
}

TEST(UpdateMode, AnswerWithDoneForEverySuccess) {
  DeviceModel::Config config;
  config.answerWithDone = true;
  DeviceModel model(config);
  ModelLink link(model);
  const Bytes done{0xF0, 0x52, 0x00, 0x58, 0x02, 0xF7};
  link.begin();
  ASSERT_EQ(link.replies.size(), 1u);
  EXPECT_EQ(link.replies[0].bytes, done);
  link.erase(0, 2048);
  EXPECT_EQ(link.replies[0].bytes, done);
  link.write(0, pattern(2048, 3));
  EXPECT_EQ(link.replies[0].bytes, done);
  // A failure is still a DeviceStatus.
  link.write(0, pattern(2048, 4));
  EXPECT_EQ(link.status(), kStatusNotErased);
  link.end();
  EXPECT_EQ(link.replies[0].bytes, done);
  EXPECT_EQ(model.messages().back().answer, Answer::Done);
}

TEST(UpdateMode, DoneOnlyForEndUpdate) {
  DeviceModel::Config config;
  config.answerWithDone = true;
  config.doneOnlyForEndUpdate = true;
  DeviceModel model(config);
  ModelLink link(model);
  link.begin();
  EXPECT_EQ(link.status(), 0);
  link.end();
  ASSERT_EQ(link.replies.size(), 1u);
  EXPECT_EQ(link.replies[0].bytes, (Bytes{0xF0, 0x52, 0x00, 0x58, 0x02, 0xF7}));
}

class Flash : public ::testing::Test {
 protected:
  Flash() : link(model) { link.begin(); }
  DeviceModel model;
  ModelLink link;
};

TEST_F(Flash, StartsNotErasedAndEraseFillsFF) {
  EXPECT_TRUE(
      std::all_of(model.flash().begin(), model.flash().end(), [](uint8_t b) { return b == 0x00; }));
  EXPECT_FALSE(model.isErased(0, 1));
  link.erase(0x1000, 0x3000);
  EXPECT_EQ(link.status(), 0);
  EXPECT_TRUE(model.isErased(0x1000, 0x3000));
  EXPECT_FALSE(model.isErased(0xFFF, 2));
  EXPECT_FALSE(model.isErased(0x3FFF, 2));
  EXPECT_EQ(model.flash()[0xFFF], 0x00);
  EXPECT_EQ(model.flash()[0x1000], 0xFF);
  EXPECT_EQ(model.flash()[0x3FFF], 0xFF);
  EXPECT_EQ(model.flash()[0x4000], 0x00);
}

TEST_F(Flash, WriteIntoErasedRangeStoresChunk) {
  link.erase(0x40000, 0xB0000);
  const Bytes chunk = pattern(2048, 5);
  link.write(0x40800, chunk);
  EXPECT_EQ(link.status(), 0);  // the bytes themselves: test_round_trip.cpp
  EXPECT_TRUE(model.isErased(0x40000, 0x800));
  EXPECT_TRUE(model.isErased(0x41000, 0x800));
  const SeenMessage& seen = model.messages().back();
  EXPECT_EQ(seen.kind, MessageKind::WriteData);
  EXPECT_EQ(seen.address, 0x40800u);
  EXPECT_EQ(seen.length, 2048u);
  EXPECT_EQ(seen.model, 0x58);
  EXPECT_TRUE(seen.ok);
  EXPECT_EQ(seen.answer, Answer::Status);
  EXPECT_EQ(seen.status, 0);
  EXPECT_TRUE(model.violations().empty());
}

TEST_F(Flash, WriteIntoNeverErasedRangeRefused) {
  link.write(0x1000, pattern(2048, 6));
  EXPECT_EQ(link.status(), kStatusNotErased);
  EXPECT_EQ(model.flash()[0x1000], 0x00);
  EXPECT_FALSE(model.isWritten(0x1000, 1));
  EXPECT_EQ(model.failed(MessageKind::WriteData), 1u);
  EXPECT_FALSE(model.messages().back().ok);
}

TEST_F(Flash, WriteOverlappingErasedEdgeRefused) {
  link.erase(0x2000, 0x800);
  link.write(0x2400, pattern(2048, 7));  // runs 0x400 past the erased region
  EXPECT_EQ(link.status(), kStatusNotErased);
  EXPECT_TRUE(model.isErased(0x2000, 0x800));
}

TEST_F(Flash, SecondWriteAfterOneEraseRefused) {
  link.erase(0, 0x1000);
  const Bytes first = pattern(2048, 8);
  link.write(0, first);
  EXPECT_EQ(link.status(), 0);
  link.write(0, pattern(2048, 9));
  EXPECT_EQ(link.status(), kStatusNotErased);
  EXPECT_TRUE(std::equal(first.begin(), first.end(), model.flash().begin()));
  // Overlapping by one byte is refused as well.
  link.write(2047, pattern(16, 10));
  EXPECT_EQ(link.status(), kStatusNotErased);
  // After a new erase the range takes data again.
  link.erase(0, 0x1000);
  link.write(0, pattern(2048, 9));
  EXPECT_EQ(link.status(), 0);
}

TEST_F(Flash, IdenticalResendAcceptedUnlessStrict) {
  link.erase(0, 0x1000);
  const Bytes chunk = pattern(2048, 11);
  link.write(0, chunk);
  link.write(0, chunk);  // as after a lost answer
  EXPECT_EQ(link.status(), 0);
  EXPECT_TRUE(model.violations().empty());

  model.config().acceptIdenticalRewrite = false;
  link.write(0, chunk);
  EXPECT_EQ(link.status(), kStatusNotErased);
}

TEST_F(Flash, OutOfRangeRefused) {
  link.erase(kFlashSize - 0x1000, 0x1000);
  EXPECT_EQ(link.status(), 0);
  link.erase(kFlashSize - 0x1000, 0x1001);
  EXPECT_EQ(link.status(), kStatusOutOfRange);
  link.erase(0xFFFFF000u, 0x2000);  // wraps around 32 bits
  EXPECT_EQ(link.status(), kStatusOutOfRange);
  link.write(kFlashSize - 0x800, pattern(0x800, 12));
  EXPECT_EQ(link.status(), 0);
  link.write(kFlashSize - 0x7FF, pattern(0x800, 13));
  EXPECT_EQ(link.status(), kStatusOutOfRange);
  link.write(0xFFFFFFFFu, pattern(2, 14));
  EXPECT_EQ(link.status(), kStatusOutOfRange);
  EXPECT_EQ(model.failed(MessageKind::EraseFlash), 2u);
  EXPECT_EQ(model.failed(MessageKind::WriteData), 2u);
}

TEST_F(Flash, CorruptedPackedByteFailsCrcAndLeavesFlash) {
  link.erase(0, 0x1000);
  const Bytes chunk = pattern(2048, 15);
  testing::RecordingSender capture;
  sendWriteData(link.work(), capture, 0x58, chunk.data(), 0x800, 2048);
  for (std::size_t at : {std::size_t{12}, std::size_t{13}, std::size_t{500}, std::size_t{2352}}) {
    Bytes spoilt = capture.last();
    spoilt[at] ^= 0x01;
    link.raw(spoilt);
    EXPECT_EQ(link.status(), kStatusCrcMismatch) << "flipped byte " << at;
    EXPECT_TRUE(model.isErased(0x800, 2048));
  }
  // A spoilt check value is caught as well.
  Bytes spoilt = capture.last();
  spoilt[2359 - 6] ^= 0x40;
  link.raw(spoilt);
  EXPECT_EQ(link.status(), kStatusCrcMismatch);
  EXPECT_TRUE(model.isErased(0x800, 2048));
  EXPECT_EQ(model.violations().size(), 5u);
  EXPECT_NE(model.violations()[0].find("check value"), std::string::npos);
  // The intact message still goes through.
  link.raw(capture.last());
  EXPECT_EQ(link.status(), 0);
  EXPECT_TRUE(std::equal(chunk.begin(), chunk.end(), model.flash().begin() + 0x800));
}

TEST(ForeignModel, MessagesForAnotherModelUnansweredAndRecorded) {
  DeviceModel model;
  ModelLink link(model);
  const ModelScope other(0x57);
  sendIdentityRequest(link);  // universal: answered whatever model the updater thinks of
  EXPECT_EQ(link.replies.size(), 1u);
  link.begin();
  EXPECT_TRUE(link.replies.empty());
  link.erase(0, 0x1000);
  EXPECT_TRUE(link.replies.empty());
  link.write(0, pattern(2048, 16));
  EXPECT_TRUE(link.replies.empty());
  link.end();
  EXPECT_TRUE(link.replies.empty());
  EXPECT_FALSE(model.inUpdateMode());
  EXPECT_FALSE(model.isErased(0, 1));
  EXPECT_EQ(model.ignored(), 4u);
  EXPECT_EQ(model.count(MessageKind::BeginUpdate), 0u);
  EXPECT_EQ(model.messages().size(), 5u);
  const SeenMessage& seen = model.messages()[3];
  EXPECT_EQ(seen.kind, MessageKind::WriteData);
  EXPECT_EQ(seen.model, 0x57);
  EXPECT_FALSE(seen.forThisDevice);
  EXPECT_EQ(seen.answer, Answer::None);
  EXPECT_TRUE(model.violations().empty());
}

TEST(UpdaterAnswers, AckNakAndIdentityReplyRecordedNotAnswered) {
  DeviceModel model;
  ModelLink link(model);
  sendAck(link.work(), link);
  EXPECT_TRUE(link.replies.empty());
  sendNak(link.work(), link, 0x01);
  EXPECT_TRUE(link.replies.empty());
  sendIdentityReply(link);
  EXPECT_TRUE(link.replies.empty());
  EXPECT_EQ(model.count(MessageKind::Ack), 1u);
  EXPECT_EQ(model.count(MessageKind::Nak), 1u);
  EXPECT_EQ(model.count(MessageKind::IdentityReply), 1u);
  EXPECT_EQ(model.messages()[2].model, identityReplyModel.load());
  EXPECT_TRUE(model.messages()[2].ok);
  EXPECT_TRUE(model.violations().empty());
}

TEST(DeviceRequests, DeviceCodesAndIdentityRequest) {
  DeviceModel::Config config;
  config.model = 0x57;
  const DeviceModel model(config);
  for (uint8_t code : {0x01, 0x03, 0x04, 0x05, 0x06}) {
    EXPECT_EQ(model.deviceRequest(code), (Bytes{0xF0, 0x52, 0x00, 0x57, code, 0xF7}));
  }
  EXPECT_EQ(DeviceModel::identityRequest(), (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7}));
  EXPECT_EQ(model.deviceStatus(0x0B), (Bytes{0xF0, 0x52, 0x00, 0x57, 0x00, 0x0B, 0xF7}));
  EXPECT_EQ(model.deviceDone(), (Bytes{0xF0, 0x52, 0x00, 0x57, 0x02, 0xF7}));
}

TEST(Record, ReportNamesCountsAndDeviations) {
  DeviceModel model;
  ModelLink link(model);
  sendIdentityRequest(link);
  link.begin();
  link.erase(0, 0x1000);
  link.write(0, pattern(2048, 17));
  link.write(0, pattern(2048, 18));  // refused
  link.raw({0xF0, 0x52, 0x00, 0x58, 0x09, 0xF7});
  const std::string report = model.report();
  EXPECT_NE(report.find(" 2 (1 failed or refused)"), std::string::npos) << report;
  EXPECT_NE(report.find("unknown command 09"), std::string::npos) << report;
  EXPECT_NE(report.find("Deviations from the protocol: 2"), std::string::npos) << report;
  EXPECT_NE(report.find("Flash: differs"), std::string::npos) << report;

  model.clearRecord();
  EXPECT_TRUE(model.messages().empty());
  EXPECT_TRUE(model.violations().empty());
  EXPECT_EQ(model.count(MessageKind::WriteData), 0u);
  EXPECT_TRUE(model.isWritten(0, 2048));
}

}  // namespace
}  // namespace rt88h::sim
