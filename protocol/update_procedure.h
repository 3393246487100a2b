#pragma once
// The whole update from the host's side; runs on the worker thread.
#include <cstdint>
#include <memory>

#include "dispatcher.h"
#include "update_clock.h"
#include "update_host.h"

namespace rt88h {

inline constexpr int kPlanSteps = 6;

class UpdateProcedure {
 public:
  UpdateProcedure(UpdateHost& window, UpdateClock& clock);
  int runUpdate();  // 0 in every case
  int runPlan();
  int eraseStep(uint32_t address, uint32_t length);
  int writeStep(uint32_t address, uint32_t length, uint32_t payloadId);

 private:
  void failWith(int messageId);
  bool waitReply(int64_t timeoutMs);
  UpdateHost& window_;
  UpdateClock& clock_;
  HostSender sender_;
  std::unique_ptr<WorkBuffer> work_;  // the worker's own
};

// The worker thread's entry.
int runUpdate(UpdateHost& window, UpdateClock& clock = realClock());

}  // namespace rt88h
