#include "resources/payload_images.h"

#include <cstddef>

// Defined by the generated payloads.S.
extern "C" {
extern const uint8_t rt88h_payload_129_begin[];
extern const uint8_t rt88h_payload_129_end[];
extern const uint8_t rt88h_payload_136_begin[];
extern const uint8_t rt88h_payload_136_end[];
extern const uint8_t rt88h_payload_137_begin[];
extern const uint8_t rt88h_payload_137_end[];
}

namespace rt88h {
namespace {

std::span<const uint8_t> between(const uint8_t* begin, const uint8_t* end) {
  // Two symbols, not one array: measure by address.
  const auto size = static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(end) -
                                             reinterpret_cast<std::uintptr_t>(begin));
  return {begin, size};
}

}  // namespace

std::span<const uint8_t> payloadImage(uint32_t id) {
  switch (id) {
    case 129: return between(rt88h_payload_129_begin, rt88h_payload_129_end);
    case 136: return between(rt88h_payload_136_begin, rt88h_payload_136_end);
    case 137: return between(rt88h_payload_137_begin, rt88h_payload_137_end);
    default: return {};
  }
}

}  // namespace rt88h
