#include "resources/string_table.h"

namespace rt88h {

std::string_view loadString(int id) {
  switch (id) {
#define RT88H_STRING(name, id, text) \
  case name:                         \
    return text;
#include "resources/string_table.def"
#undef RT88H_STRING
    default: return "";
  }
}

}  // namespace rt88h
