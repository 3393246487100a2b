#pragma once
// logind's "block" inhibitor of sleep, shutdown and idle, held as the descriptor Inhibit returns:
// closing it ends the inhibition, and the kernel closes it if the process dies.
#include <QDBusUnixFileDescriptor>

#include "app/core/sleep_inhibitor.h"

namespace rt88h::app {

class LogindInhibitor final : public SleepInhibitor {
 public:
  // Without a system bus or logind the update goes on; one line on stderr says so.
  void take() override;
  void release() override;

 private:
  QDBusUnixFileDescriptor held;
};

}  // namespace rt88h::app
