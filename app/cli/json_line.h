#pragma once
// One JSON object on one line: {"event":"NAME",...}.
#include <cstdint>
#include <string>
#include <string_view>

namespace rt88h::cli {

class JsonLine {
 public:
  explicit JsonLine(std::string_view event);
  JsonLine& text(std::string_view name, std::string_view value);
  JsonLine& number(std::string_view name, int64_t value);
  JsonLine& seconds(std::string_view name, double value);  // three decimals
  JsonLine& flag(std::string_view name, bool value);
  // The object and its newline.
  std::string line() const { return object_ + "}\n"; }

 private:
  JsonLine& field(std::string_view name, std::string_view json);
  std::string object_;
};

}  // namespace rt88h::cli
