// The encodings on any bytes: Pack7 then Unpack7 gives the input back (up to 16,383 bytes);
// Unpack7 of anything writes exactly what its length allows, and packing that again gives the
// input with the bits Unpack7 cannot carry cleared; Crc32NoXor agrees with a bitwise CRC; a
// WriteData of the input is framed, 7-bit clean and carries the chunk and its check value.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "protocol/encoding.h"
#include "protocol/messages.h"
#include "tests/fuzz/fuzz_support.h"

using namespace rt88h;
using namespace rt88h::fuzz;

namespace {

uint32_t bitwiseCrc(std::span<const uint8_t> bytes) {
  uint32_t r = 0xFFFFFFFFu;
  for (const uint8_t b : bytes) {
    r ^= b;
    for (int bit = 0; bit < 8; ++bit) r = (r >> 1) ^ ((r & 1u) ? 0xEDB88320u : 0u);
  }
  return r;
}

// Bytes Unpack7 writes for p packed bytes: 7 per full group, one less than the group otherwise.
std::size_t unpackedLength(std::size_t p) {
  return p - (p + 7) / 8;
}

// The packed form Unpack7 reads the same: data bytes 7-bit, header bits only for present bytes,
// and no lone trailing header.
std::vector<uint8_t> canonical(std::span<const uint8_t> packed) {
  std::vector<uint8_t> out;
  for (std::size_t start = 0; start < packed.size(); start += 8) {
    const std::size_t k = std::min<std::size_t>(packed.size() - start - 1, 7);
    if (k == 0) break;
    const auto present = static_cast<uint8_t>(((1u << k) - 1u) << (7 - k));
    out.push_back(static_cast<uint8_t>(packed[start] & present));
    for (std::size_t j = 0; j < k; ++j) out.push_back(packed[start + 1 + j] & 0x7Fu);
  }
  return out;
}

class Capture final : public MessageSender {
 public:
  int sendUpdateMessage(const uint8_t* bytes, uint32_t length) override {
    message.assign(bytes, bytes + length);
    return 0;
  }
  std::vector<uint8_t> message;
};

void roundTrip(std::span<const uint8_t> source) {
  const ExactCopy input(source);
  const std::size_t n = input.size();
  ExactCopy packed(packedLength(n));
  FUZZ_REQUIRE(Pack7(input.data(), n, packed.data()) == packed.size());
  for (std::size_t i = 0; i < packed.size(); ++i) FUZZ_REQUIRE(packed.data()[i] < 0x80);
  ExactCopy unpacked(n);
  FUZZ_REQUIRE(Unpack7(packed.data(), packed.size(), unpacked.data()) == n);
  FUZZ_REQUIRE(n == 0 || std::memcmp(unpacked.data(), input.data(), n) == 0);
}

void unpackAnything(std::span<const uint8_t> source) {
  const ExactCopy packed(source);
  ExactCopy unpacked(unpackedLength(packed.size()));
  const std::size_t n = Unpack7(packed.data(), packed.size(), unpacked.data());
  FUZZ_REQUIRE(n == unpacked.size());
  ExactCopy repacked(packedLength(n));
  FUZZ_REQUIRE(Pack7(unpacked.data(), n, repacked.data()) == repacked.size());
  const std::vector<uint8_t> expected = canonical(packed.span());
  FUZZ_REQUIRE(expected.size() == repacked.size());
  FUZZ_REQUIRE(std::equal(expected.begin(), expected.end(), repacked.data()));
}

void numbers(uint32_t value) {
  uint8_t groups[5];
  Num7(value, 5, groups);
  for (const uint8_t g : groups) FUZZ_REQUIRE(g < 0x80);
  FUZZ_REQUIRE(groups[4] <= 0x0F);
  FUZZ_REQUIRE(ReadNum7(groups, 5) == value);
  Num7(value, 2, groups);
  FUZZ_REQUIRE(ReadNum7(groups, 2) == (value & 0x3FFFu));
}

void writeData(uint8_t model, uint32_t address, std::span<const uint8_t> chunk) {
  const ExactCopy bytes(chunk);
  const auto n = static_cast<uint32_t>(bytes.size());
  auto work = std::make_unique<WorkBuffer>();
  Capture capture;
  FUZZ_REQUIRE(sendWriteData(*work, capture, model, bytes.data(), address, n) == 0);
  const std::vector<uint8_t>& m = capture.message;
  const std::size_t p = packedLength(n);
  FUZZ_REQUIRE(m.size() == writeDataLength(n) && m.size() == p + 18);
  FUZZ_REQUIRE(m.front() == 0xF0 && m.back() == 0xF7);
  FUZZ_REQUIRE(m[1] == 0x52 && m[2] == 0x00 && m[3] == model && m[4] == 0x02);
  FUZZ_REQUIRE(ReadNum7(&m[5], 5) == address);
  FUZZ_REQUIRE(ReadNum7(&m[10], 2) == n);
  FUZZ_REQUIRE(ReadNum7(&m[12 + p], 5) == bitwiseCrc(bytes.span()));
  // A model byte above 7F is the caller's to avoid; everything the encoder adds is 7-bit.
  for (std::size_t i = 4; i + 1 < m.size(); ++i) FUZZ_REQUIRE(m[i] < 0x80);
  ExactCopy unpacked(n);
  FUZZ_REQUIRE(Unpack7(&m[12], p, unpacked.data()) == n);
  FUZZ_REQUIRE(n == 0 || std::memcmp(unpacked.data(), bytes.data(), n) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::span<const uint8_t> all(data, size);
  const std::span<const uint8_t> chunk = all.first(std::min<std::size_t>(size, kMaxChunkLength));

  roundTrip(chunk);
  unpackAnything(all);
  FUZZ_REQUIRE(Crc32NoXor(data, size) == bitwiseCrc(all));

  FuzzInput input(data, size);
  const uint32_t value = input.u32();
  numbers(value);
  writeData(static_cast<uint8_t>(value & 0x7Fu), value, chunk);
  return 0;
}
