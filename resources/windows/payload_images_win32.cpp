#include <windows.h>

#include "resources/payload_images.h"

namespace rt88h {

std::span<const uint8_t> payloadImage(uint32_t id) {
  if (id != 129 && id != 136 && id != 137) return {};
  // The program's own resources (no module handle); loaded resources stay for the process's life.
  HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(id), "BIN");
  if (found == nullptr) return {};
  HGLOBAL loaded = LoadResource(nullptr, found);
  if (loaded == nullptr) return {};
  const void* bytes = LockResource(loaded);
  const DWORD size = SizeofResource(nullptr, found);
  if (bytes == nullptr || size == 0) return {};
  return {static_cast<const uint8_t*>(bytes), size};
}

}  // namespace rt88h
