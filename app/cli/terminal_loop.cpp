#include "app/cli/terminal_loop.h"

#include <atomic>
#include <csignal>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace rt88h::cli {
namespace {

// The first stop signal; lock-free, so that a handler may set it.
std::atomic<int> caughtSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

void catchSignal(int number) {
  int none = 0;
  caughtSignal.compare_exchange_strong(none, number);
}

#ifdef _WIN32

std::atomic<TerminalLoop*> currentLoop{nullptr};

#else

constexpr int kStopSignals[] = {SIGINT, SIGTERM};
constexpr int kIgnoredSignals[] = {SIGPIPE, SIGHUP};

// The write end of the loop's self-pipe, for the handler.
int handlerWake = -1;

void writeWake(int end) {
  const unsigned char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(end, &byte, 1);
}

extern "C" void onStopSignal(int number) {
  const int saved = errno;
  catchSignal(number);
  writeWake(handlerWake);
  errno = saved;
}

void makePipe(int (&ends)[2]) {
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) ends[0] = ends[1] = -1;
}

void closePipe(int (&ends)[2]) {
  for (int& end : ends) {
    if (end >= 0) ::close(end);
    end = -1;
  }
}

void emptyPipe(int end) {
  unsigned char bytes[64];
  while (::read(end, bytes, sizeof bytes) > 0) {
  }
}

void setHandler(int number, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(number, &action, nullptr);
}

#endif

}  // namespace

int TerminalLoop::stopSignal() const {
  return caughtSignal.load();
}

#ifdef _WIN32

// On a thread of its own: flags and wakes the loop, nothing more.
int __stdcall onConsoleEvent(unsigned long event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  catchSignal(event == CTRL_C_EVENT ? SIGINT : SIGTERM);
  if (TerminalLoop* loop = currentLoop.load()) {
    {
      std::lock_guard<std::mutex> lock(loop->queueMutex_);
      loop->wake_ = true;
    }
    loop->woken_.notify_one();
  }
  return TRUE;
}

bool isTerminal(std::FILE* stream) {
  return _isatty(_fileno(stream)) != 0;
}

void prepareConsole() {
  SetConsoleOutputCP(CP_UTF8);
}

TerminalLoop::TerminalLoop() {
  currentLoop = this;
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

TerminalLoop::~TerminalLoop() {
  SetConsoleCtrlHandler(onConsoleEvent, FALSE);
  currentLoop = nullptr;
}

void TerminalLoop::queue(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    queued_.push_back(std::move(work));
    wake_ = true;
  }
  woken_.notify_one();
}

bool TerminalLoop::waitForWake(bool /*input*/) {
  std::unique_lock<std::mutex> lock(queueMutex_);
  woken_.wait(lock, [this] { return wake_; });
  wake_ = false;
  return false;
}

// The console reads a line by itself; Ctrl-C ends the read.
bool TerminalLoop::readLine(std::string* line) {
  char bytes[256];
  const bool read = std::fgets(bytes, sizeof bytes, stdin) != nullptr;
  if (read) *line = bytes;
  return read && stopSignal() == 0;
}

#else

bool isTerminal(std::FILE* stream) {
  return ::isatty(::fileno(stream)) != 0;
}

void prepareConsole() {}

TerminalLoop::TerminalLoop() {
  makePipe(wake_);
  handlerWake = wake_[1];
  for (const int number : kStopSignals) setHandler(number, onStopSignal);
  for (const int number : kIgnoredSignals) setHandler(number, SIG_IGN);
}

TerminalLoop::~TerminalLoop() {
  for (const int number : kStopSignals) setHandler(number, SIG_DFL);
  handlerWake = -1;
  closePipe(wake_);
}

void TerminalLoop::queue(std::function<void()> work) {
  bool wasEmpty = false;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    wasEmpty = queued_.empty();
    queued_.push_back(std::move(work));
  }
  // One byte wakes the loop for everything queued until it runs.
  if (wasEmpty) writeWake(wake_[1]);
}

bool TerminalLoop::waitForWake(bool input) {
  pollfd fds[2] = {{wake_[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
  if (::poll(fds, input ? 2 : 1, -1) < 0) return false;  // EINTR: look again
  // The pipe is emptied before the queue is taken: a byte written after that finds work.
  if (fds[0].revents != 0) emptyPipe(wake_[0]);
  return input && fds[1].revents != 0;
}

bool TerminalLoop::readLine(std::string* line) {
  line->clear();
  char bytes[128];
  while (line->find('\n') == std::string::npos) {
    runQueued();
    if (stopSignal() != 0) return false;
    if (!waitForWake(true)) continue;
    const ssize_t n = ::read(STDIN_FILENO, bytes, sizeof bytes);
    if (n <= 0) return false;
    line->append(bytes, static_cast<std::size_t>(n));
  }
  return true;
}

#endif

bool TerminalLoop::onWindowThread() const {
  return std::this_thread::get_id() == mainThread_;
}

void TerminalLoop::post(std::shared_ptr<Request> request) {
  queue([this, request] { run(*request); });
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

TerminalLoop::Woken TerminalLoop::runUntil(const std::function<bool()>& done) {
  for (;;) {
    runQueued();
    if (stopSignal() != 0) return Woken::Signal;
    if (done()) return Woken::Done;
    waitForWake(false);
  }
}

}  // namespace rt88h::cli
