// Cost of assembling the update's messages: one WriteData per 2048 payload bytes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "protocol/encoding.h"
#include "protocol/messages.h"

namespace {

constexpr std::size_t kChunk = 2048;

// Hands nothing on, so only the assembly is measured.
class NullSender final : public rt88h::MessageSender {
 public:
  int sendUpdateMessage(const uint8_t* bytes, uint32_t length) override {
    benchmark::DoNotOptimize(bytes);
    benchmark::DoNotOptimize(length);
    return 0;
  }
};

std::vector<uint8_t> chunkBytes() {
  std::vector<uint8_t> chunk(kChunk);
  uint32_t state = 0x12345678u;
  for (auto& b : chunk) {
    state = state * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(state >> 24);
  }
  return chunk;
}

void BM_WriteData2048(benchmark::State& state) {
  const std::vector<uint8_t> chunk = chunkBytes();
  auto work = std::make_unique<rt88h::WorkBuffer>();
  NullSender sender;
  uint32_t address = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        rt88h::sendWriteData(*work, sender, 0x58, chunk.data(), address, kChunk));
    address += kChunk;
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kChunk);
}
BENCHMARK(BM_WriteData2048);

void BM_Pack7_2048(benchmark::State& state) {
  const std::vector<uint8_t> chunk = chunkBytes();
  std::vector<uint8_t> packed(rt88h::packedLength(kChunk));
  for (auto _ : state) {
    benchmark::DoNotOptimize(rt88h::Pack7(chunk.data(), chunk.size(), packed.data()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kChunk);
}
BENCHMARK(BM_Pack7_2048);

void BM_Crc32NoXor_2048(benchmark::State& state) {
  const std::vector<uint8_t> chunk = chunkBytes();
  for (auto _ : state) {
    benchmark::DoNotOptimize(rt88h::Crc32NoXor(chunk.data(), chunk.size()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kChunk);
}
BENCHMARK(BM_Crc32NoXor_2048);

}  // namespace
