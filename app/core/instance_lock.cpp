#include "app/core/instance_lock.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "resources/string_table.h"

namespace rt88h::app {

InstanceLock::InstanceLock(InstanceLock&& other) noexcept : handle_(other.handle_) {
  other.handle_ = kNone;
}

InstanceLock& InstanceLock::operator=(InstanceLock&& other) noexcept {
  if (this != &other) {
    release();
    handle_ = other.handle_;
    other.handle_ = kNone;
  }
  return *this;
}

InstanceLock::~InstanceLock() {
  release();
}

int takeInstanceNumber(InstanceLock& lock) {
  for (int n = 1; n <= kMaxInstances; ++n) {
    if (lock.tryTake(instanceName(n))) return n;
  }
  return 0;
}

#ifdef _WIN32

std::string lockDirectory() {
  return {};
}

void InstanceLock::release() {
  if (handle_ != kNone) CloseHandle(handle_);
  handle_ = kNone;
}

bool InstanceLock::tryTake(const std::string& name) {
  release();
  HANDLE mutex = CreateMutexA(nullptr, TRUE, name.c_str());
  if (mutex == nullptr) return false;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return false;
  }
  handle_ = mutex;
  return true;
}

#else

namespace {

// Ours, a directory, and nobody else can plant files in it. The fallback is one we make where
// others could have planted a link, so there a link counts as foreign; $XDG_RUNTIME_DIR is set
// by the session, and Qt follows a link there too.
bool isPrivateDirectory(const std::string& path, bool followLink) {
  struct stat st {};
  if ((followLink ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) return false;
  if (!S_ISDIR(st.st_mode)) return false;
  if (st.st_uid != ::geteuid()) return false;
  return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

std::string lockDirectory() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
      runtime != nullptr && *runtime != 0 && isPrivateDirectory(runtime, true)) {
    return runtime;
  }
  std::error_code error;
  std::filesystem::path temp = std::filesystem::temp_directory_path(error);
  if (error) temp = "/tmp";
  const std::string path = (temp / ("rt88h-updater-" + std::to_string(::geteuid()))).string();
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return {};
  return isPrivateDirectory(path, false) ? path : std::string();
}

void InstanceLock::release() {
  if (handle_ != kNone) ::close(handle_);
  handle_ = kNone;
}

bool InstanceLock::tryTake(const std::string& name) {
  release();
  const std::string directory = lockDirectory();
  if (directory.empty()) return false;
  const std::string path = directory + "/" + name + ".lock";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  // flock belongs to the open file description: it goes with the last descriptor, i.e. with
  // the process, even after SIGKILL.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  handle_ = fd;
  return true;
}

#endif

}  // namespace rt88h::app
