#pragma once
// logind's "block" inhibitor of sleep, shutdown and idle, held as the descriptor Inhibit returns:
// closing it ends the inhibition, and the kernel closes it if the process dies.
#include <QDBusUnixFileDescriptor>
#include <string>

#include "app/core/sleep_inhibitor.h"

namespace rt88h::app {

class LogindInhibitor final : public SleepInhibitor {
 public:
  // `program` names the line on stderr; empty: the application's name.
  explicit LogindInhibitor(std::string program = {}) : program_(std::move(program)) {}
  // Without a system bus or logind the update goes on; one line on stderr says so.
  void take() override;
  void release() override;

 private:
  QDBusUnixFileDescriptor held;
  std::string program_;
};

}  // namespace rt88h::app
