// Injected faults: which occurrence they hit and what the answer becomes. Drops, late and
// garbage answers and the occurrences re-sends count are also what the soak's endings rest on.
#include <gtest/gtest.h>

#include <vector>

#include "protocol/messages.h"
#include "sim/device_model.h"
#include "tests/sim/model_link.h"

namespace rt88h::sim {
namespace {

using testing::ModelLink;
using testing::pattern;
using Bytes = std::vector<uint8_t>;

class Faults : public ::testing::Test {
 protected:
  Faults() : link(model) {}

  // Enters update mode and erases enough room for `chunks` chunks of 2048 at 0.
  void prepare(uint32_t chunks) {
    link.begin();
    ASSERT_EQ(link.status(), 0);
    link.erase(0, chunks * 2048);
    ASSERT_EQ(link.status(), 0);
  }
  void writeChunk(uint32_t i) { link.write(i * 2048, pattern(2048, i)); }

  DeviceModel model;
  ModelLink link;
};

TEST_F(Faults, DropHitsOccurrencesKToKPlusCountMinusOne) {
  model.addFault(Fault::drop(MessageKind::WriteData, 5, 6));
  prepare(12);
  for (uint32_t i = 0; i < 12; ++i) {
    writeChunk(i);
    const bool dropped = i + 1 >= 5 && i + 1 <= 10;
    if (dropped) {
      EXPECT_TRUE(link.replies.empty()) << "occurrence " << i + 1;
    } else {
      EXPECT_EQ(link.status(), 0) << "occurrence " << i + 1;
    }
    // The message took effect even when its answer was lost.
    EXPECT_TRUE(model.isWritten(i * 2048, 2048)) << "occurrence " << i + 1;
  }
  const SeenMessage& fifth = model.messages()[2 + 4];
  EXPECT_EQ(fifth.occurrence, 5u);
  EXPECT_TRUE(fifth.faulted);
  EXPECT_EQ(fifth.fault, FaultAction::Drop);
  EXPECT_EQ(fifth.answer, Answer::None);
  EXPECT_FALSE(model.messages()[2 + 10].faulted);
}

TEST_F(Faults, StatusAnswersInsteadAndHasNoEffect) {
  model.addFault(Fault::withStatus(MessageKind::WriteData, 1, 0x33, 2));
  model.addFault(Fault::withStatus(MessageKind::EraseFlash, 2, 0x21));
  prepare(2);
  writeChunk(0);
  EXPECT_EQ(link.status(), 0x33);
  EXPECT_TRUE(model.isErased(0, 2048));
  writeChunk(0);
  EXPECT_EQ(link.status(), 0x33);
  writeChunk(0);
  EXPECT_EQ(link.status(), 0);
  EXPECT_TRUE(model.isWritten(0, 2048));

  link.erase(0, 2048);
  EXPECT_EQ(link.status(), 0x21);
  EXPECT_TRUE(model.isWritten(0, 2048));  // the erase was not carried out
  EXPECT_EQ(model.failed(MessageKind::WriteData), 2u);
  EXPECT_EQ(model.failed(MessageKind::EraseFlash), 1u);
}

TEST_F(Faults, StatusOnBeginUpdateKeepsDeviceOutOfUpdateMode) {
  model.addFault(Fault::withStatus(MessageKind::BeginUpdate, 1, 11));
  link.begin();
  EXPECT_EQ(link.status(), 11);
  EXPECT_FALSE(model.inUpdateMode());
  link.begin();
  EXPECT_EQ(link.status(), 0);
  EXPECT_TRUE(model.inUpdateMode());
}

TEST_F(Faults, StatusOnIdentityRequestAnswersDeviceStatus) {
  model.addFault(Fault::withStatus(MessageKind::IdentityRequest, 1, 0));
  sendIdentityRequest(link);
  EXPECT_EQ(link.status(), 0);
}

TEST_F(Faults, TwiceAnswersTwoIdenticalRepliesApart) {
  model.addFault(Fault::twice(MessageKind::EraseFlash, 1));
  model.addFault(Fault::twice(MessageKind::EndUpdate, 1, 1, 250));
  link.begin();
  link.erase(0, 2048);
  ASSERT_EQ(link.replies.size(), 2u);
  EXPECT_EQ(link.replies[0].bytes, model.deviceStatus(0));
  EXPECT_EQ(link.replies[1].bytes, model.deviceStatus(0));
  EXPECT_EQ(link.replies[0].delayMs, 0u);
  EXPECT_EQ(link.replies[1].delayMs, kTwiceGapMs);
  link.end();
  ASSERT_EQ(link.replies.size(), 2u);
  EXPECT_EQ(link.replies[1].delayMs - link.replies[0].delayMs, 250u);
}

TEST_F(Faults, TruncatedCutsBeforeTheByteTheUpdaterReads) {
  model.addFault(Fault::truncated(MessageKind::EndUpdate, 1));
  model.addFault(Fault::truncated(MessageKind::IdentityRequest, 1));
  model.addFault(Fault::truncated(MessageKind::IdentityRequest, 2, 1, 3));
  link.begin();
  link.end();
  ASSERT_EQ(link.replies.size(), 1u);
  EXPECT_EQ(link.replies[0].bytes, (Bytes{0xF0, 0x52, 0x00, 0x58}));
  sendIdentityRequest(link);
  ASSERT_EQ(link.replies.size(), 1u);
  EXPECT_EQ(link.replies[0].bytes, (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x52}));
  sendIdentityRequest(link);
  ASSERT_EQ(link.replies.size(), 1u);
  EXPECT_EQ(link.replies[0].bytes, (Bytes{0xF0, 0x7E, 0x00}));
  sendIdentityRequest(link);
  EXPECT_EQ(link.replies[0].bytes.size(), 15u);
}

TEST_F(Faults, FirstAddedFaultWinsAndOtherKindsUntouched) {
  model.addFault(Fault::drop(MessageKind::WriteData, 1, 3));
  model.addFault(Fault::withStatus(MessageKind::WriteData, 2, 0x22));
  prepare(4);  // BeginUpdate and EraseFlash answered normally
  writeChunk(0);
  EXPECT_TRUE(link.replies.empty());
  writeChunk(1);
  EXPECT_TRUE(link.replies.empty());
  model.clearFaults();
  writeChunk(2);
  EXPECT_EQ(link.status(), 0);
}

TEST_F(Faults, ForeignModelMessagesDoNotCountAsOccurrences) {
  model.addFault(Fault::drop(MessageKind::BeginUpdate, 1));
  {
    const testing::ModelScope other(0x57);
    link.begin();
    EXPECT_TRUE(link.replies.empty());
  }
  link.begin();
  EXPECT_TRUE(link.replies.empty());  // the first BeginUpdate for this device
  link.begin();
  EXPECT_EQ(link.status(), 0);
}

TEST_F(Faults, OccurrencesSurviveClearRecord) {
  model.addFault(Fault::drop(MessageKind::BeginUpdate, 2));
  link.begin();
  EXPECT_EQ(link.status(), 0);
  model.clearRecord();
  link.begin();
  EXPECT_TRUE(link.replies.empty());
  EXPECT_EQ(model.messages().back().occurrence, 2u);
  EXPECT_EQ(model.count(MessageKind::BeginUpdate), 1u);
}

}  // namespace
}  // namespace rt88h::sim
