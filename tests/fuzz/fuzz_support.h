#pragma once
// What every fuzz target shares: reading the input as a stream of choices, exact-size heap
// copies (so that one byte read past the end is an AddressSanitizer report), and a check that
// ends the run loudly.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

namespace rt88h::fuzz {

[[noreturn]] inline void broken(const char* file, int line, const char* what) {
  std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
  std::abort();
}

#define FUZZ_REQUIRE(condition) \
  ((condition) ? static_cast<void>(0) : ::rt88h::fuzz::broken(__FILE__, __LINE__, #condition))

// The fuzzer's bytes as a stream of choices; an exhausted stream answers zeros.
class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool empty() const { return offset_ >= size_; }
  std::size_t remaining() const { return size_ - offset_; }

  uint8_t byte() { return empty() ? 0 : data_[offset_++]; }
  uint16_t u16() {
    const uint16_t high = byte();
    return static_cast<uint16_t>(high << 8 | byte());
  }
  uint32_t u32() {
    const uint32_t high = u16();
    return high << 16 | u16();
  }
  // Up to n bytes; fewer at the end of the input.
  std::span<const uint8_t> take(std::size_t n) {
    const std::size_t k = n < remaining() ? n : remaining();
    const std::span<const uint8_t> bytes(data_ + offset_, k);
    offset_ += k;
    return bytes;
  }
  std::span<const uint8_t> rest() { return take(remaining()); }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
};

// A heap block of exactly the bytes given.
class ExactCopy {
 public:
  explicit ExactCopy(std::span<const uint8_t> bytes)
      : size_(bytes.size()), bytes_(new uint8_t[bytes.size()]) {
    if (size_ != 0) std::memcpy(bytes_.get(), bytes.data(), size_);
  }
  explicit ExactCopy(std::size_t size) : size_(size), bytes_(new uint8_t[size]()) {}

  uint8_t* data() { return bytes_.get(); }
  const uint8_t* data() const { return bytes_.get(); }
  std::size_t size() const { return size_; }
  std::span<const uint8_t> span() const { return {bytes_.get(), size_}; }

 private:
  std::size_t size_;
  std::unique_ptr<uint8_t[]> bytes_;
};

}  // namespace rt88h::fuzz
