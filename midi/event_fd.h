#pragma once
// The wake-up every service thread polls besides its own descriptors, so it stops at once.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace rt88h::midi {

class EventFd {
 public:
  EventFd() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~EventFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  EventFd(const EventFd&) = delete;
  EventFd& operator=(const EventFd&) = delete;
  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // write(2) on an eventfd neither allocates nor blocks: fit for a real-time thread.
  void signal() noexcept {
    const uint64_t one = 1;
    const ssize_t written = ::write(fd_, &one, sizeof one);
    (void)written;
  }
  void drain() noexcept {
    uint64_t value = 0;
    const ssize_t got = ::read(fd_, &value, sizeof value);
    (void)got;
  }

 private:
  int fd_;
};

}  // namespace rt88h::midi
