#include "app/cli/json_line.h"

#include <cstdio>

namespace rt88h::cli {
namespace {

// UTF-8 passes as it is; quotes, backslashes and control characters are escaped.
std::string quoted(std::string_view value) {
  std::string out = "\"";
  for (const char c : value) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

}  // namespace

JsonLine::JsonLine(std::string_view event) : object_("{\"event\":" + quoted(event)) {}

JsonLine& JsonLine::field(std::string_view name, std::string_view json) {
  object_ += ",";
  object_ += quoted(name);
  object_ += ":";
  object_ += json;
  return *this;
}

JsonLine& JsonLine::text(std::string_view name, std::string_view value) {
  return field(name, quoted(value));
}

JsonLine& JsonLine::number(std::string_view name, int64_t value) {
  return field(name, std::to_string(value));
}

JsonLine& JsonLine::seconds(std::string_view name, double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return field(name, text);
}

JsonLine& JsonLine::flag(std::string_view name, bool value) {
  return field(name, value ? "true" : "false");
}

}  // namespace rt88h::cli
