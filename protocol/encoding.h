#pragma once
// The pure encodings inside device-specific messages.
#include <cstddef>
#include <cstdint>

namespace rt88h {

// Writes `groups` 7-bit groups of `value`, least significant first.
void Num7(uint32_t value, int groups, uint8_t* out);

// Inverse of Num7 over `groups` bytes (bits above 32 are dropped).
uint32_t ReadNum7(const uint8_t* in, int groups);

// 7-to-8 packing: one header byte per group of up to 7 bytes. Returns n + ceil(n / 7).
std::size_t Pack7(const uint8_t* source, std::size_t n, uint8_t* destination);

// Bytes that Pack7 writes for n source bytes.
constexpr std::size_t packedLength(std::size_t n) {
  return n + (n + 6) / 7;
}

// Inverse of Pack7: unpacks `p` packed bytes into `destination`, returns the count written.
// A trailing lone header byte (p % 8 == 1) yields nothing.
std::size_t Unpack7(const uint8_t* packed, std::size_t p, uint8_t* destination);

// Reflected CRC-32 (0xEDB88320), register starts at 0xFFFFFFFF, no final inversion.
uint32_t Crc32NoXor(const uint8_t* bytes, std::size_t n);

}  // namespace rt88h
