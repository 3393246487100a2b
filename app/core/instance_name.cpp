#include "app/core/instance_name.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "resources/string_table.h"

namespace rt88h::app {

std::string instanceName(int number) {
  if (number == 1) return std::string(kProductTitle);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%s (%d)", std::string(kProductTitle).c_str(), number);
  return buffer;
}

bool testImagesAllowedByEnvironment() {
  const char* value = std::getenv("RT88H_ALLOW_TEST_IMAGES");
  return value != nullptr && std::string_view(value) == "1";
}

}  // namespace rt88h::app
