#pragma once
// Per-name process lock standing in for a named mutex: taken only while no live process holds
// the name, released by the system however the holder ends. On Windows it is the named mutex.
#include <string>

#include "app/core/instance_name.h"

namespace rt88h::app {

// Where the lock files live: $XDG_RUNTIME_DIR when it is a private directory of this user, else
// a private directory of ours under the temp directory. Empty when neither can be had safely.
// (Windows: none is needed; the mutexes live in the session.)
std::string lockDirectory();

class InstanceLock {
 public:
  InstanceLock() = default;
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;
  InstanceLock(InstanceLock&& other) noexcept;
  InstanceLock& operator=(InstanceLock&& other) noexcept;
  ~InstanceLock();

  // Takes the lock of that name; false when another holder (also in this process) has it or it
  // cannot be made.
  bool tryTake(const std::string& name);
  bool held() const { return handle_ != kNone; }

 private:
  void release();
#ifdef _WIN32
  using Handle = void*;
  static constexpr Handle kNone = nullptr;
#else
  using Handle = int;
  static constexpr Handle kNone = -1;
#endif
  Handle handle_ = kNone;
};

// The lowest free copy number from 1 to kMaxInstances with its lock taken into `lock`; 0 when
// every number is taken.
int takeInstanceNumber(InstanceLock& lock);

}  // namespace rt88h::app
