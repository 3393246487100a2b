#include "protocol/encoding.h"

#include <array>

namespace rt88h {
namespace {

constexpr uint32_t kCrcPolynomial = 0xEDB88320u;

constexpr std::array<uint32_t, 256> makeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i;
    for (int bit = 0; bit < 8; ++bit) r = (r & 1u) ? (r >> 1) ^ kCrcPolynomial : r >> 1;
    table[i] = r;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = makeCrcTable();
static_assert(kCrcTable[1] == 0x77073096u && kCrcTable[255] == 0x2D02EF8Du);

constexpr std::size_t kGroupBytes = 7;

}  // namespace

void Num7(uint32_t value, int groups, uint8_t* out) {
  for (int i = 0; i < groups; ++i) {
    const int shift = 7 * i;
    out[i] = shift < 32 ? static_cast<uint8_t>((value >> shift) & 0x7Fu) : 0;
  }
}

uint32_t ReadNum7(const uint8_t* in, int groups) {
  uint32_t value = 0;
  for (int i = 0; i < groups; ++i) {
    const int shift = 7 * i;
    if (shift < 32) value |= static_cast<uint32_t>(in[i] & 0x7Fu) << shift;
  }
  return value;
}

std::size_t Pack7(const uint8_t* source, std::size_t n, uint8_t* destination) {
  uint8_t* out = destination;
  for (std::size_t start = 0; start < n; start += kGroupBytes) {
    const std::size_t k = n - start < kGroupBytes ? n - start : kGroupBytes;
    uint8_t header = 0;
    for (std::size_t j = 0; j < k; ++j) {
      const uint8_t b = source[start + j];
      header = static_cast<uint8_t>(header | ((b >> 7) << (6 - j)));
      out[1 + j] = static_cast<uint8_t>(b & 0x7Fu);
    }
    out[0] = header;
    out += k + 1;
  }
  return static_cast<std::size_t>(out - destination);
}

std::size_t Unpack7(const uint8_t* packed, std::size_t p, uint8_t* destination) {
  std::size_t written = 0;
  for (std::size_t start = 0; start < p; start += kGroupBytes + 1) {
    const std::size_t k = p - start - 1 < kGroupBytes ? p - start - 1 : kGroupBytes;
    const uint8_t header = packed[start];
    for (std::size_t j = 0; j < k; ++j) {
      const uint8_t high = static_cast<uint8_t>(((header >> (6 - j)) & 1u) << 7);
      destination[written++] = static_cast<uint8_t>(high | (packed[start + 1 + j] & 0x7Fu));
    }
  }
  return written;
}

uint32_t Crc32NoXor(const uint8_t* bytes, std::size_t n) {
  uint32_t r = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) r = (r >> 8) ^ kCrcTable[(r ^ bytes[i]) & 0xFFu];
  return r;
}

}  // namespace rt88h
