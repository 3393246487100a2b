#pragma once
// What the About box and --version say about the build: the version and the images built in.
#include <cstddef>
#include <string>

namespace rt88h::app {

// Enough to tell the images apart, and few enough for the line to hold the version too.
inline constexpr std::size_t kAboutDigestDigits = 6;

// The About box's one line: the version, then "test images, not firmware" or the first
// kAboutDigestDigits of each image's SHA-256.
std::string aboutLine();

// Where the support logs are: "Support logs: ~/.local/state/rt88h-updater".
std::string supportLogLine();

// Which images are built in, then each image's id and full SHA-256 on a line of its own.
std::string imagesDetails();

}  // namespace rt88h::app
