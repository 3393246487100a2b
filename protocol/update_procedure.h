#pragma once
// The whole update from the host's side; runs on the worker thread.
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "answer_ledger.h"
#include "dispatcher.h"
#include "flash_plan.h"
#include "update_clock.h"
#include "update_host.h"

namespace rt88h {

// A chunk or an erase is sent at most this often before the step fails.
inline constexpr int kMaxSendsPerStep = 7;

class UpdateProcedure {
 public:
  // `plan` stays the built-in one in the program; tests give shorter plans.
  UpdateProcedure(UpdateHost& window, UpdateClock& clock,
                  std::span<const FlashStep> plan = FlashPlan);
  int runUpdate();  // 0 in every case
  int runPlan();
  int eraseStep(uint32_t address, uint32_t length);
  int writeStep(uint32_t address, uint32_t length, uint32_t payloadId);

 private:
  // Doubtful: this step's success answer may have been an earlier request's second answer.
  // Stopped: the run ends, quietly or with its box already shown.
  enum class Outcome { Answered, TimedOut, Stopped, Doubtful };

  void failWith(int messageId);
  // The window closed (quietly) or the device vanished (its box shown here): the run ends.
  bool mustEnd();
  // Sends through `send` (0 sent, -1 not) and notes the send for the answers to come.
  template <typename Send>
  void sendTracked(Send send);
  // Starts the next step once no earlier send can still be answered; -1 on a stop.
  int beginStep();
  // Lets every owed answer arrive, or the time in which it could pass; -1 on a stop.
  int settleOwedAnswers();
  // The answers received since the last call that may answer a send of the current step.
  std::vector<Answer> takeAnswers();
  // Waits up to timeoutMs (kNoTimeLimit: no limit) for an answer to this step's sends.
  Outcome awaitOwnAnswer(int64_t timeoutMs, Answer* answer);

  UpdateHost& window_;
  UpdateClock& clock_;
  std::span<const FlashStep> plan_;
  HostSender sender_;
  std::unique_ptr<WorkBuffer> work_;  // the worker's own
  AnswerLedger ledger_;
  uint64_t troublesAtStepStart_ = 0;
  uint64_t troublesBefore_ = 0;  // at the start of the step before
  uint64_t troublesAtLastSend_ = 0;
  // Steps begun after the Identity Request's: each is answered with a DeviceStatus (or
  // DeviceDone), so from the second on the step before was answered with one too.
  int stepsBegun_ = 0;
};

// The worker thread's entry.
int runUpdate(UpdateHost& window, UpdateClock& clock = realClock());

}  // namespace rt88h
