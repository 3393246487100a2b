#include "app/qt/stop_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace rt88h::app {

namespace {

// The write end for the handler; one StopSignals at a time.
volatile sig_atomic_t writeEnd = -1;

void onSignal(int) {
  const int saved = errno;
  const char byte = 1;
  if (writeEnd >= 0) {
    [[maybe_unused]] const ssize_t written = write(writeEnd, &byte, 1);
  }
  errno = saved;
}

}  // namespace

StopSignals::StopSignals() {
  if (pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  writeEnd = pipeEnds[1];
  notifier = std::make_unique<QSocketNotifier>(pipeEnds[0], QSocketNotifier::Read);
  connect(notifier.get(), &QSocketNotifier::activated, this, [this] { drain(); });
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

StopSignals::~StopSignals() {
  if (pipeEnds[0] < 0) return;
  writeEnd = -1;
  notifier.reset();
  close(pipeEnds[0]);
  close(pipeEnds[1]);
}

void StopSignals::drain() {
  char bytes[16];
  while (read(pipeEnds[0], bytes, sizeof bytes) > 0) {
  }
  Q_EMIT received();
}

}  // namespace rt88h::app
