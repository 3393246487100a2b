#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "encoding.h"
#include "flash_plan.h"
#include "messages.h"
#include "sysex_support.h"

namespace rt88h {
namespace {

using Kind = PlannedMessage::Kind;
using Bytes = std::vector<uint8_t>;

// Plain SHA-256, to check the digest taken at build time against the bytes linked in.
std::string sha256Hex(const uint8_t* data, std::size_t n) {
  static constexpr uint32_t k[64] = {
      0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
      0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
      0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
      0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
      0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
      0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
      0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
      0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
      0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
      0xc67178f2};
  uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  const auto rotr = [](uint32_t x, int r) { return (x >> r) | (x << (32 - r)); };
  Bytes tail(data + n - n % 64, data + n);
  tail.push_back(0x80);
  while (tail.size() % 64 != 56) tail.push_back(0);
  for (int i = 7; i >= 0; --i) tail.push_back(static_cast<uint8_t>((uint64_t{n} * 8) >> (8 * i)));
  const auto block = [&](const uint8_t* p) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
      w[i] = uint32_t{p[4 * i]} << 24 | uint32_t{p[4 * i + 1]} << 16 | uint32_t{p[4 * i + 2]} << 8 |
             p[4 * i + 3];
    }
    for (int i = 16; i < 64; ++i) {
      const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
    for (int i = 0; i < 64; ++i) {
      const uint32_t t1 =
          hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
      const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      hh = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += hh;
  };
  for (std::size_t off = 0; off + 64 <= n; off += 64) block(data + off);
  for (std::size_t off = 0; off < tail.size(); off += 64) block(tail.data() + off);
  std::string hex;
  for (const uint32_t word : h) {
    char part[9];
    std::snprintf(part, sizeof part, "%08x", word);
    hex += part;
  }
  return hex;
}

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

TEST(Payloads, Sha256DescribesTheBytesLinkedIn) {
  const std::string abc = "abc";
  ASSERT_EQ(sha256Hex(reinterpret_cast<const uint8_t*>(abc.data()), abc.size()),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  for (const uint32_t id : {129u, 136u, 137u}) {
    const Payload p = payload(id);
    EXPECT_EQ(sha256Hex(p.bytes, p.size), payloadSha256(id)) << id;
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
