#pragma once
// What the About boxes and --version say about the build, written once.
#include <string>

namespace rt88h::app {

// The About box's one line: the version, then what the images are.
std::string aboutLine();
// Every image's whole SHA-256 and file name, one image a line ("\n" between lines), to be
// compared with the published digests before an update; a build with test images says so first.
std::string aboutImagesDigests();
// Where the support logs are: "Support logs: ~/.local/state/rt88h-updater".
std::string supportLogLine();

}  // namespace rt88h::app
