#pragma once
// What both About boxes say about the images built in, written once.
#include <string>

namespace rt88h::app {

// The one-line text under the title: what the images are.
std::string aboutImagesLine();
// Every image's whole SHA-256 and file name, one image a line ("\n" between lines), to be
// compared with the published digests before an update; a build with test images says so first.
std::string aboutImagesDigests();

}  // namespace rt88h::app
