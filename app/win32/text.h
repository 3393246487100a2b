#pragma once
// The program holds UTF-8; the W functions of Windows take UTF-16.
#include <string>
#include <string_view>

namespace rt88h::win32 {

std::wstring wide(std::string_view utf8);
std::string narrow(std::wstring_view utf16);

}  // namespace rt88h::win32
