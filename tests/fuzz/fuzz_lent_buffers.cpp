// The SysEx piece joiner under any sequence of pieces, short messages, cuts, stops, resets and
// re-lends, with 1 to 3 exact-size buffers of 16 to 300 bytes: nothing is written past a
// buffer, a buffer comes back done and is never handed back twice, and no more bytes come back
// than were fed.
//
// Input: buffer count and re-lend mode, the buffer sizes, then operations.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/lent_harness.h"

using namespace rt88h;
using namespace rt88h::fuzz;

namespace {

constexpr std::size_t kMaxOperations = 4096;
constexpr std::size_t kMaxPiece = 64;

std::vector<uint8_t> pieceOf(FuzzInput& input, uint8_t shape) {
  const std::span<const uint8_t> raw = input.take(input.byte() % kMaxPiece);
  std::vector<uint8_t> piece(raw.begin(), raw.end());
  if (shape == 0) return piece;  // anything, status and real-time bytes included
  for (uint8_t& b : piece) b &= 0x7F;
  if (shape == 2) piece.insert(piece.begin(), 0xF0);
  if (shape == 3) piece.push_back(0xF7);
  return piece;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const uint8_t setup = input.byte();
  const std::size_t count = 1 + setup % 3;
  const auto relend = static_cast<LentHarness::Relend>((setup / 3) % 3);
  std::vector<uint32_t> sizes;
  for (std::size_t i = 0; i < count; ++i) sizes.push_back(16 + input.u16() % 285);

  LentHarness harness(sizes, relend);
  for (std::size_t op = 0; op < kMaxOperations && !input.empty(); ++op) {
    const uint8_t what = input.byte();
    switch (what % 11) {
      case 0:
      case 1:
      case 2:
      case 3: harness.feedSysEx(pieceOf(input, what % 11)); break;
      case 4: harness.feedShort(input.u32() & 0xFFFFFFu); break;
      case 5: harness.buffers().endMessage(); break;
      case 6: harness.buffers().stop(); break;
      case 7: harness.reset(); break;
      case 8: harness.buffers().start(); break;
      case 9: harness.relendHeld(); break;
      default: harness.probeHeaders(); break;
    }
  }
  harness.close();
  return 0;
}
