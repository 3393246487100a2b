#pragma once
// Per-name process lock standing in for a named mutex: taken only while no live process holds
// the name, released by the kernel however the holder ends.
#include <string>

#include "app/core/instance_name.h"

namespace rt88h::app {

// Where the lock files live: $XDG_RUNTIME_DIR when it is a private directory of this user, else
// a private directory of ours under the temp directory. Empty when neither can be had safely.
std::string lockDirectory();

class InstanceLock {
 public:
  InstanceLock() = default;
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;
  InstanceLock(InstanceLock&& other) noexcept;
  InstanceLock& operator=(InstanceLock&& other) noexcept;
  ~InstanceLock();

  // Takes the lock of that name; false when another process holds it or it cannot be made.
  bool tryTake(const std::string& name);

 private:
  void release();
  int fd_ = -1;
};

}  // namespace rt88h::app
