#pragma once
// The command line of rt88h-update.
#include <string>
#include <string_view>

#include "app/core/command_line.h"

namespace rt88h::cli {

struct Options {
  std::string in;  // a name or key; empty: the one the window would pre-select
  std::string out;
  bool list = false;
  bool json = false;
  bool yes = false;
};

app::CommandLineRequest parseOptions(int argc, const char* const* argv, Options& options,
                                     std::string* error);
std::string usage(std::string_view program);

}  // namespace rt88h::cli
