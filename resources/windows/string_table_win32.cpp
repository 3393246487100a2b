#include <windows.h>

#include <map>
#include <mutex>
#include <string>

#include "resources/string_table.h"

namespace rt88h {

std::string_view loadString(int id) {
  if (id < 0 || id > 0xFFFF) return "";
  // Callers keep the view: each text is converted once and never moves or goes away.
  static std::mutex mutex;
  static std::map<int, std::string> loaded;
  const std::lock_guard<std::mutex> lock(mutex);
  if (const auto found = loaded.find(id); found != loaded.end()) return found->second;

  // A buffer size of 0 asks for a pointer into the resource itself, which has no terminator.
  const wchar_t* text = nullptr;
  const int length = LoadStringW(GetModuleHandleW(nullptr), static_cast<UINT>(id),
                                 reinterpret_cast<LPWSTR>(&text), 0);
  if (length <= 0 || text == nullptr) return "";
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return "";
  std::string utf8(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, utf8.data(), bytes, nullptr, nullptr);
  return loaded.emplace(id, std::move(utf8)).first->second;
}

}  // namespace rt88h
