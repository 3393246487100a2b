#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "protocol/encoding.h"

namespace rt88h {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes num7(uint32_t value, int groups) {
  Bytes out(static_cast<std::size_t>(groups), 0xEE);
  Num7(value, groups, out.data());
  return out;
}

Bytes pack7(const Bytes& source) {
  // Room for one stray byte past the end, to catch a write beyond the promised length.
  Bytes out(packedLength(source.size()) + 1, 0xEE);
  const std::size_t written = Pack7(source.data(), source.size(), out.data());
  EXPECT_EQ(written, packedLength(source.size()));
  EXPECT_EQ(out.back(), 0xEE) << "Pack7 wrote past its result";
  out.resize(written);
  return out;
}

Bytes unpack7(const Bytes& packed) {
  Bytes out(packed.size() + 1, 0xEE);
  out.resize(Unpack7(packed.data(), packed.size(), out.data()));
  return out;
}

const Bytes kSevenMixed{0x80, 0x81, 0x02, 0x83, 0x04, 0x05, 0xFF};
const Bytes kSevenMixedPacked{0x69, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x7F};
const Bytes kNineMixed{0x80, 0x81, 0x02, 0x83, 0x04, 0x05, 0xFF, 0x90, 0x10};
const Bytes kNineMixedPacked{0x69, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x7F, 0x40, 0x10, 0x10};

TEST(Num7, KnownVectors) {
  EXPECT_EQ(num7(0x12345678, 5), (Bytes{0x78, 0x2C, 0x51, 0x11, 0x01}));
  EXPECT_EQ(num7(2048, 2), (Bytes{0x00, 0x10}));
  EXPECT_EQ(num7(0xFFFFFFFF, 5), (Bytes{0x7F, 0x7F, 0x7F, 0x7F, 0x0F}));
  EXPECT_EQ(num7(0, 5), (Bytes{0, 0, 0, 0, 0}));
  EXPECT_EQ(num7(0x40000, 5), (Bytes{0x00, 0x00, 0x10, 0x00, 0x00}));
}

TEST(Num7, TwoGroupsKeepOnlyTheLowFourteenBits) {
  EXPECT_EQ(num7(16383, 2), (Bytes{0x7F, 0x7F}));
  EXPECT_EQ(num7(16384, 2), (Bytes{0x00, 0x00}));
}

TEST(Num7, EveryGroupIsASevenBitDataByte) {
  for (const uint32_t v : {0xFFFFFFFFu, 0x80808080u, 0xDEADBEEFu}) {
    for (const uint8_t b : num7(v, 5)) EXPECT_LT(b, 0x80) << std::hex << v;
  }
}

TEST(Num7, ReadNum7IsItsInverse) {
  for (const uint32_t v : {0u, 1u, 0x7Fu, 0x80u, 0x12345678u, 0xCADBBE3Du, 0xFFFFFFFFu}) {
    EXPECT_EQ(ReadNum7(num7(v, 5).data(), 5), v) << std::hex << v;
  }
  EXPECT_EQ(ReadNum7(num7(2048, 2).data(), 2), 2048u);
}

TEST(Pack7, NoBytesWritesNothing) {
  std::array<uint8_t, 1> out{0xEE};
  EXPECT_EQ(Pack7(nullptr, 0, out.data()), 0u);
  EXPECT_EQ(out[0], 0xEE);
}

TEST(Pack7, KnownVectors) {
  EXPECT_EQ(pack7({0x80}), (Bytes{0x40, 0x00}));
  EXPECT_EQ(pack7(kSevenMixed), kSevenMixedPacked);
  EXPECT_EQ(pack7(kNineMixed), kNineMixedPacked);
}

TEST(Pack7, LengthIsNPlusOneHeaderPerGroupOfSeven) {
  EXPECT_EQ(packedLength(0), 0u);
  EXPECT_EQ(packedLength(1), 2u);
  EXPECT_EQ(packedLength(7), 8u);
  EXPECT_EQ(packedLength(8), 10u);
  EXPECT_EQ(packedLength(2048), 2341u);
  EXPECT_EQ(packedLength(16383), 18724u);
}

TEST(Pack7, OutputIsSevenBitClean) {
  const Bytes allHigh(50, 0xFF);
  for (const uint8_t b : pack7(allHigh)) EXPECT_LT(b, 0x80);
}

TEST(Unpack7, KnownVectors) {
  EXPECT_EQ(unpack7({0x40, 0x00}), (Bytes{0x80}));
  EXPECT_EQ(unpack7(kSevenMixedPacked), kSevenMixed);
  EXPECT_EQ(unpack7(kNineMixedPacked), kNineMixed);
}

TEST(Unpack7, TrailingLoneHeaderYieldsNothing) {
  EXPECT_EQ(unpack7({0x40}), Bytes{});
  Bytes packed = kSevenMixedPacked;
  packed.push_back(0x7F);
  EXPECT_EQ(unpack7(packed), kSevenMixed);
}

TEST(Unpack7, RoundTripsEveryLengthAndByteValue) {
  for (std::size_t n = 0; n <= 70; ++n) {
    Bytes source(n);
    for (std::size_t i = 0; i < n; ++i) source[i] = static_cast<uint8_t>(i * 37 + n * 101);
    EXPECT_EQ(unpack7(pack7(source)), source) << "n = " << n;
  }
  Bytes everyValue(256);
  for (std::size_t i = 0; i < everyValue.size(); ++i) everyValue[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(unpack7(pack7(everyValue)), everyValue);
}

TEST(Crc32NoXor, OfNoBytesIsTheInitialRegister) {
  EXPECT_EQ(Crc32NoXor(nullptr, 0), 0xFFFFFFFFu);
  EXPECT_EQ(num7(Crc32NoXor(nullptr, 0), 5), (Bytes{0x7F, 0x7F, 0x7F, 0x7F, 0x0F}));
}

TEST(Crc32NoXor, KnownVectors) {
  const Bytes abc{0x61, 0x62, 0x63};
  EXPECT_EQ(Crc32NoXor(abc.data(), abc.size()), 0xCADBBE3Du);
  EXPECT_EQ(num7(0xCADBBE3Du, 5), (Bytes{0x3D, 0x7C, 0x6E, 0x56, 0x0C}));
  const Bytes chunk{0x00, 0x01, 0x7F, 0x80, 0xFF, 0x12, 0xC3, 0x41};
  EXPECT_EQ(Crc32NoXor(chunk.data(), chunk.size()), 0x5793A0C0u);
}

TEST(Crc32NoXor, IsTheComplementOfTheStandardCrc32) {
  const Bytes abc{0x61, 0x62, 0x63};
  EXPECT_EQ(~Crc32NoXor(abc.data(), abc.size()), 0x352441C2u);
  // The usual check string "123456789" has the standard CRC-32 0xCBF43926.
  const Bytes digits{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(~Crc32NoXor(digits.data(), digits.size()), 0xCBF43926u);
}

}  // namespace
}  // namespace rt88h
