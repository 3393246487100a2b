// Build tool: writes a deterministic placeholder payload image when no firmware is given.
// Usage: rt88h_make_test_image <id> <size> <output>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <id> <size> <output>\n", argv[0]);
    return 2;
  }
  const unsigned long id = std::strtoul(argv[1], nullptr, 10);
  const unsigned long size = std::strtoul(argv[2], nullptr, 10);

  // Seeded per id so that the images differ from each other and a chunk from any other
  // offset or image shows up as a mismatch.
  uint32_t state = 0x9E3779B9u ^ static_cast<uint32_t>(id * 0x85EBCA6Bu);
  std::vector<unsigned char> image(size);
  for (auto& byte : image) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<unsigned char>(state >> 24);
  }

  std::FILE* out = std::fopen(argv[3], "wb");
  if (out == nullptr) {
    std::perror(argv[3]);
    return 1;
  }
  const bool written = std::fwrite(image.data(), 1, image.size(), out) == image.size();
  if (std::fclose(out) != 0 || !written) {
    std::fprintf(stderr, "%s: write failed\n", argv[3]);
    std::remove(argv[3]);
    return 1;
  }
  return 0;
}
