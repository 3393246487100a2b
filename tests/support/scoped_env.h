#pragma once
// An environment variable set (or, with nullptr or "", removed) for the life of the object.
#include <cstdlib>
#include <optional>
#include <string>

namespace rt88h::testing {

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) previous_ = old;
    set(value);
  }
  ~ScopedEnv() { set(previous_ ? previous_->c_str() : nullptr); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void set(const char* value) {
    const bool remove = value == nullptr || *value == 0;
#ifdef _WIN32
    _putenv_s(name_.c_str(), remove ? "" : value);
#else
    if (remove) {
      unsetenv(name_.c_str());
    } else {
      setenv(name_.c_str(), value, 1);
    }
#endif
  }
  std::string name_;
  std::optional<std::string> previous_;
};

}  // namespace rt88h::testing
