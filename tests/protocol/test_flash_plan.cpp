#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "protocol/encoding.h"
#include "protocol/flash_plan.h"
#include "protocol/messages.h"
#include "tests/support/sysex_support.h"

#ifdef _WIN32
#include <windows.h>
// windows.h first.
#include <bcrypt.h>
#endif

namespace rt88h {
namespace {

using Kind = PlannedMessage::Kind;
using Bytes = std::vector<uint8_t>;

#ifdef _WIN32
// What Windows' own SHA-256 (CNG) says of a file: a digest not taken by the build's own means.
std::string sha256sumOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  UCHAR digest[32] = {};
  bool ok = in &&
            BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 &&
            BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0;
  std::vector<char> block(1 << 16);
  while (ok && in.read(block.data(), static_cast<std::streamsize>(block.size())).gcount() > 0) {
    ok = BCryptHashData(hash, reinterpret_cast<PUCHAR>(block.data()),
                        static_cast<ULONG>(in.gcount()), 0) == 0;
  }
  ok = ok && BCryptFinishHash(hash, digest, sizeof digest, 0) == 0;
  if (hash != nullptr) BCryptDestroyHash(hash);
  if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
  if (!ok) return {};
  std::string hex;
  for (const UCHAR byte : digest) {
    hex += "0123456789abcdef"[byte >> 4];
    hex += "0123456789abcdef"[byte & 15];
  }
  return hex;
}
#else
// What coreutils' sha256sum says of a file: a digest not taken by the build's own means.
std::string sha256sumOf(const std::string& path) {
  const std::string command = "sha256sum '" + path + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return {};
  char hex[65] = {};
  const std::size_t n = std::fread(hex, 1, 64, pipe);
  ::pclose(pipe);
  return std::string(hex, n);
}
#endif

std::vector<PlannedMessage> messagesOfStep(const std::vector<PlannedMessage>& plan, int step) {
  std::vector<PlannedMessage> out;
  std::copy_if(plan.begin(), plan.end(), std::back_inserter(out),
               [step](const PlannedMessage& m) { return m.step == step; });
  return out;
}

std::size_t countOf(const std::vector<PlannedMessage>& plan, Kind kind) {
  return static_cast<std::size_t>(std::count_if(
      plan.begin(), plan.end(), [kind](const PlannedMessage& m) { return m.kind == kind; }));
}

TEST(FlashPlanTable, RegionsAreContiguousAndEachWriteFillsItsErasedRegion) {
  std::map<uint32_t, uint32_t> erased;   // address -> length
  std::map<uint32_t, uint32_t> written;  // address -> payload size
  for (const FlashStep& step : FlashPlan) {
    if (step.kind == kStepErase) erased[step.address] = step.length;
    if (step.kind == kStepWrite) written[step.address] = payload(step.payload).size;
  }
  EXPECT_EQ(erased, written);
  uint32_t next = 0;
  for (const auto& [address, length] : erased) {
    EXPECT_EQ(address, next);
    next = address + length;
  }
  EXPECT_EQ(next, kFlashSize);
}

TEST(Payloads, SizesMatchTheirRegions) {
  EXPECT_EQ(payload(129).size, 720896u);
  EXPECT_EQ(payload(136).size, 262144u);
  EXPECT_EQ(payload(137).size, 2912256u);
  for (const uint32_t id : {129u, 136u, 137u}) {
    EXPECT_NE(payload(id).bytes, nullptr) << id;
    EXPECT_EQ(payload(id).size % kChunkLength, 0u) << id;
  }
}

TEST(Payloads, UnknownIdIsEmpty) {
  for (const uint32_t id : {0u, 1u, 128u, 130u, 135u, 138u, 0xFFFFFFFFu}) {
    EXPECT_EQ(payload(id).bytes, nullptr) << id;
    EXPECT_EQ(payload(id).size, 0u) << id;
    EXPECT_STREQ(payloadSha256(id), "") << id;
  }
}

// The procedure keeps pointers into the images: each is one fixed place, apart from the others.
TEST(Payloads, EachIsOneFixedPlaceApartFromTheOthers) {
  const uint32_t ids[] = {129, 136, 137};
  const Payload first[] = {payload(129), payload(136), payload(137)};
  for (int i = 2; i >= 0; --i) EXPECT_EQ(payload(ids[i]).bytes, first[i].bytes) << ids[i];
  for (int i = 0; i < 3; ++i) {
    for (int j = i + 1; j < 3; ++j) {
      EXPECT_TRUE(first[i].bytes + first[i].size <= first[j].bytes ||
                  first[j].bytes + first[j].size <= first[i].bytes)
          << ids[i] << " overlaps " << ids[j];
    }
  }
}

TEST(Payloads, Sha256IsLowerCaseHexAndDiffersPerImage) {
  std::vector<std::string> digests;
  for (const uint32_t id : {129u, 136u, 137u}) {
    const std::string digest = payloadSha256(id);
    EXPECT_EQ(digest.size(), 64u) << id;
    EXPECT_EQ(digest.find_first_not_of("0123456789abcdef"), std::string::npos) << digest;
    digests.push_back(digest);
  }
  std::sort(digests.begin(), digests.end());
  EXPECT_EQ(std::unique(digests.begin(), digests.end()), digests.end());
}

// The build takes the digests from the image files: the bytes linked in must be those files, and
// another SHA-256 must agree with the build's.
TEST(Payloads, Sha256DescribesTheBytesLinkedIn) {
  for (const uint32_t id : {129u, 136u, 137u}) {
    const std::string path = std::string(RT88H_IMAGE_DIR) + "/" + std::to_string(id) + ".bin";
    std::ifstream in(path, std::ios::binary);
    ASSERT_TRUE(in) << path;
    const Bytes file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const Payload p = payload(id);
    ASSERT_EQ(file.size(), p.size) << id;
    EXPECT_TRUE(std::equal(file.begin(), file.end(), p.bytes)) << id;
    EXPECT_EQ(sha256sumOf(path), payloadSha256(id)) << id;
  }
}

TEST(Payloads, TestImagesVaryWithinAndBetweenImages) {
  if (!payloadsAreTestImages()) GTEST_SKIP() << "built with firmware images";
  for (const uint32_t id : {129u, 136u, 137u}) {
    const Payload p = payload(id);
    EXPECT_FALSE(std::all_of(p.bytes, p.bytes + p.size, [](uint8_t b) { return b == 0xFF; }));
    EXPECT_NE(std::memcmp(p.bytes, p.bytes + kChunkLength, kChunkLength), 0) << id;
    EXPECT_NE(std::memcmp(p.bytes, p.bytes + p.size - kChunkLength, kChunkLength), 0) << id;
  }
  EXPECT_NE(std::memcmp(payload(129).bytes, payload(136).bytes, kChunkLength), 0);
  EXPECT_NE(std::memcmp(payload(136).bytes, payload(137).bytes, kChunkLength), 0);
  EXPECT_NE(std::memcmp(payload(129).bytes, payload(137).bytes, kChunkLength), 0);
}

TEST(PlanWalk, TotalsOfACompleteUpdate) {
  const std::vector<PlannedMessage> plan = planWalk();
  EXPECT_EQ(plan.size(), 1908u);
  EXPECT_EQ(countOf(plan, Kind::IdentityRequest), 1u);
  EXPECT_EQ(countOf(plan, Kind::BeginUpdate), 1u);
  EXPECT_EQ(countOf(plan, Kind::EraseFlash), 3u);
  EXPECT_EQ(countOf(plan, Kind::WriteData), 1902u);
  EXPECT_EQ(countOf(plan, Kind::EndUpdate), 1u);
}

TEST(PlanWalk, OpensWithIdentityAndBeginAndClosesWithEnd) {
  const std::vector<PlannedMessage> plan = planWalk();
  ASSERT_GE(plan.size(), 3u);
  EXPECT_EQ(plan[0].kind, Kind::IdentityRequest);
  EXPECT_EQ(plan[0].step, 0);
  EXPECT_EQ(plan[1].kind, Kind::BeginUpdate);
  EXPECT_EQ(plan[1].step, 0);
  EXPECT_EQ(plan.back().kind, Kind::EndUpdate);
  EXPECT_EQ(plan.back().step, 7);
}

TEST(PlanWalk, ErasesComeFirstInTheirSteps) {
  const std::vector<PlannedMessage> plan = planWalk();
  const struct {
    int step;
    uint32_t address;
    uint32_t length;
  } erases[] = {{1, 0x40000, 0xB0000}, {2, 0x0, 0x40000}, {4, 0xF0000, 0x2C7000}};
  for (const auto& e : erases) {
    const std::vector<PlannedMessage> step = messagesOfStep(plan, e.step);
    ASSERT_EQ(step.size(), 1u) << "step " << e.step;
    EXPECT_EQ(step[0].kind, Kind::EraseFlash);
    EXPECT_EQ(step[0].address, e.address);
    EXPECT_EQ(step[0].length, e.length);
  }
}

TEST(PlanWalk, WriteStepsChunkTheirPayloadsInOrder) {
  const std::vector<PlannedMessage> plan = planWalk();
  const struct {
    int step;
    uint32_t payloadId;
    std::size_t chunks;
    uint32_t first;
    uint32_t last;
  } writes[] = {{3, 136, 128, 0x0, 0x3F800},
                {5, 137, 1422, 0xF0000, 0x3B6800},
                {6, 129, 352, 0x40000, 0xEF800}};
  for (const auto& w : writes) {
    SCOPED_TRACE("step " + std::to_string(w.step));
    const std::vector<PlannedMessage> step = messagesOfStep(plan, w.step);
    ASSERT_EQ(step.size(), w.chunks);
    EXPECT_EQ(step.front().address, w.first);
    EXPECT_EQ(step.back().address, w.last);
    for (std::size_t i = 0; i < step.size(); ++i) {
      ASSERT_EQ(step[i].kind, Kind::WriteData);
      ASSERT_EQ(step[i].payloadId, w.payloadId);
      ASSERT_EQ(step[i].length, kChunkLength);
      ASSERT_EQ(step[i].offset, i * kChunkLength);
      ASSERT_EQ(step[i].address, w.first + step[i].offset);
    }
  }
}

TEST(PlanWalk, WritesCoverTheFlashExactlyOnce) {
  std::vector<std::pair<uint32_t, uint32_t>> ranges;
  for (const PlannedMessage& m : planWalk()) {
    if (m.kind == Kind::WriteData) ranges.emplace_back(m.address, m.address + m.length);
  }
  std::sort(ranges.begin(), ranges.end());
  uint32_t next = 0;
  for (const auto& [begin, end] : ranges) {
    ASSERT_EQ(begin, next);
    next = end;
  }
  EXPECT_EQ(next, kFlashSize);
}

TEST(PlanWalk, FirstAndLastWriteOfStepSixCarryTheirPayloadBytes) {
  const std::vector<PlannedMessage> step = messagesOfStep(planWalk(), 6);
  ASSERT_FALSE(step.empty());
  const Payload image = payload(129);
  ASSERT_NE(image.bytes, nullptr);

  WorkBuffer work;
  testing::RecordingSender sender;
  for (const PlannedMessage* m : {&step.front(), &step.back()}) {
    SCOPED_TRACE(m->offset);
    sendWriteData(work, sender, 0x58, image.bytes + m->offset, m->address, m->length);
    const Bytes& message = sender.last();
    ASSERT_EQ(message.size(), writeDataLength(kChunkLength));
    Bytes carried(kChunkLength);
    Unpack7(&message[12], packedLength(kChunkLength), carried.data());
    EXPECT_EQ(ReadNum7(&message[5], 5), m->address);
    EXPECT_TRUE(std::equal(carried.begin(), carried.end(), image.bytes + m->offset));
  }
  EXPECT_EQ(step.front().address, 0x40000u);
  EXPECT_EQ(step.front().offset, 0u);
  EXPECT_EQ(step.back().address, 0xEF800u);
  EXPECT_EQ(step.back().offset, image.size - kChunkLength);
}

}  // namespace
}  // namespace rt88h
