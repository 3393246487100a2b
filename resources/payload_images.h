#pragma once
// The firmware images linked into the program as read-only data (ids 129, 136, 137).
#include <cstdint>
#include <span>

namespace rt88h {

// The image built in under that id; empty for any other id. Valid for the life of the process.
std::span<const uint8_t> payloadImage(uint32_t id);
// Lower-case hex SHA-256 of that image, taken when it was built in; "" for any other id.
const char* payloadImageSha256(uint32_t id);
// True when the build generated placeholder images because no firmware was given.
bool payloadImagesAreGenerated();

}  // namespace rt88h
