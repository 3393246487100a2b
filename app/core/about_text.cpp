#include "app/core/about_text.h"

#include <cstdint>
#include <cstdlib>

#include "app/core/support_log.h"
#include "protocol/flash_plan.h"
#include "resources/string_table.h"
#include "resources/version.h"

namespace rt88h::app {

namespace {
constexpr uint32_t kImageIds[] = {129, 136, 137};
}  // namespace

std::string aboutLine() {
  return std::string(kVersion) + " \xE2\x80\x94 " +
         std::string(loadString(payloadsAreTestImages() ? IDS_ABOUT_TEST_IMAGES_LINE
                                                        : IDS_ABOUT_FIRMWARE_DETAILS));
}

std::string supportLogLine() {
  std::string directory = supportLogDirectory();
  // The home folder as a user writes it.
  const char* home = std::getenv("HOME");
  const std::string_view prefix = home != nullptr ? home : "";
  if (!prefix.empty() && directory.starts_with(prefix) && directory.size() > prefix.size() &&
      directory[prefix.size()] == '/') {
    directory.replace(0, prefix.size(), "~");
  }
  return "Support logs: " + (directory.empty() ? std::string("none (no home folder)") : directory);
}

std::string aboutImagesDigests() {
  std::string text;
  if (payloadsAreTestImages()) text = loadString(IDS_ABOUT_TEST_IMAGES_DETAILS);
  for (const uint32_t id : kImageIds) {
    if (!text.empty()) text += '\n';
    // As sha256sum prints the image files, so that the two can be laid side by side.
    text += std::string(payloadSha256(id)) + "  " + std::to_string(id) + ".bin";
  }
  return text;
}

}  // namespace rt88h::app
