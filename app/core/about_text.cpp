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
}

std::string aboutLine() {
  std::string line = std::string(kVersion) + " \xE2\x80\x94 ";
  if (payloadsAreTestImages()) return line + std::string(loadString(IDS_ABOUT_TEST_IMAGES_LINE));
  // The full digests are in the details.
  for (const uint32_t id : kImageIds) {
    if (id != kImageIds[0]) line += ' ';
    line += std::to_string(id) + ':' + std::string(payloadSha256(id)).substr(0, kAboutDigestDigits);
  }
  return line;
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

std::string imagesDetails() {
  std::string details(payloadsAreTestImages() ? loadString(IDS_ABOUT_TEST_IMAGES_DETAILS)
                                              : loadString(IDS_ABOUT_FIRMWARE_DETAILS));
  for (const uint32_t id : kImageIds) {
    details += '\n' + std::to_string(id) + "  " + payloadSha256(id);
  }
  return details;
}

}  // namespace rt88h::app
