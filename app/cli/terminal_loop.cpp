#include "app/cli/terminal_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace rt88h::cli {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM};
constexpr int kIgnoredSignals[] = {SIGPIPE, SIGHUP};

// The self-pipe the handler writes the signal's number to; the loop reads it.
int signalPipe[2] = {-1, -1};

extern "C" void onStopSignal(int number) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(number);
  [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
  errno = saved;
}

bool makePipe(int (&ends)[2]) {
  return ::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0;
}

void closePipe(int (&ends)[2]) {
  for (int& end : ends) {
    if (end >= 0) ::close(end);
    end = -1;
  }
}

// Reads what is there; the last byte read, or 0.
int emptyPipe(int end) {
  unsigned char bytes[64];
  int last = 0;
  for (ssize_t n; (n = ::read(end, bytes, sizeof bytes)) > 0;) last = bytes[n - 1];
  return last;
}

void setHandler(int number, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(number, &action, nullptr);
}

}  // namespace

TerminalLoop::TerminalLoop() {
  makePipe(wake_);
  makePipe(signalPipe);
  for (const int number : kStopSignals) setHandler(number, onStopSignal);
  for (const int number : kIgnoredSignals) setHandler(number, SIG_IGN);
}

TerminalLoop::~TerminalLoop() {
  for (const int number : kStopSignals) setHandler(number, SIG_DFL);
  closePipe(signalPipe);
  closePipe(wake_);
}

bool TerminalLoop::onWindowThread() const {
  return std::this_thread::get_id() == mainThread_;
}

void TerminalLoop::post(std::shared_ptr<Request> request) {
  queue([this, request] { run(*request); });
}

void TerminalLoop::queue(std::function<void()> work) {
  bool wasEmpty = false;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    wasEmpty = queued_.empty();
    queued_.push_back(std::move(work));
  }
  // One byte wakes the loop for everything queued until it runs.
  if (wasEmpty) {
    const unsigned char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_[1], &byte, 1);
  }
}

bool TerminalLoop::runQueued() {
  std::deque<std::function<void()>> work;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    work.swap(queued_);
  }
  for (std::function<void()>& item : work) item();
  return !work.empty();
}

void TerminalLoop::drain() {
  while (runQueued()) {
  }
}

void TerminalLoop::waitForWake(int input, bool* inputReady) {
  pollfd fds[3] = {{wake_[0], POLLIN, 0}, {signalPipe[0], POLLIN, 0}, {input, POLLIN, 0}};
  const nfds_t count = input >= 0 ? 3 : 2;
  if (::poll(fds, count, -1) < 0) return;  // EINTR: look again
  if (fds[1].revents != 0) {
    const int number = emptyPipe(signalPipe[0]);
    if (stopSignal_ == 0) stopSignal_ = number;
  }
  // The pipe is emptied before the queue is taken: a byte written after that finds work.
  if (fds[0].revents != 0) emptyPipe(wake_[0]);
  *inputReady = count == 3 && fds[2].revents != 0;
}

TerminalLoop::Woken TerminalLoop::runUntil(const std::function<bool()>& done, int input) {
  for (;;) {
    runQueued();
    if (stopSignal_ != 0) return Woken::Signal;
    if (done && done()) return Woken::Done;
    bool inputReady = false;
    waitForWake(input, &inputReady);
    if (inputReady) return Woken::Input;
  }
}

}  // namespace rt88h::cli
