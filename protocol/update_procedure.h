#pragma once
// The whole update from the host's side; runs on the worker thread.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "protocol/answer_ledger.h"
#include "protocol/dispatcher.h"
#include "protocol/flash_plan.h"
#include "protocol/update_clock.h"
#include "protocol/update_host.h"

namespace rt88h {

// A chunk or an erase is sent at most this often before the step fails.
inline constexpr int kMaxSendsPerStep = 7;

class UpdateProcedure {
 public:
  // `plan` stays the built-in one in the program; tests give shorter plans.
  UpdateProcedure(const UpdateHost& host, UpdateClock& clock,
                  std::span<const FlashStep> plan = FlashPlan);
  // Identify, begin, the plan's steps, end; 0 in every case.
  int runUpdate();

 private:
  enum class Outcome { Answered, TimedOut, Stopped };

  // Each step of the update: 0 to go on; -1 when the update has ended (a box, or a stop).
  int identify();
  int begin();
  int runPlan();
  int eraseStep(uint32_t address, uint32_t length);
  int writeStep(uint32_t address, uint32_t length, uint32_t payloadId);
  int end();

  void failWith(int messageId);
  // Tells the host's report, if any, what just happened in the current step.
  void report(UpdateEvent event, int32_t value = 0, int messageId = 0);
  // Where an update ends without a box: completed (IDS_UPDATE_COMPLETED) or stopped (0).
  void finish(int messageId);
  bool stopRequested();
  // Sends through `send` (0 sent, -1 not) and notes the send for the answers to come.
  template <typename Send>
  void sendTracked(Send send);
  // Starts the next step; -1 on a stop.
  int beginStep();
  // Before a send: every owed answer arrived, or the time in which it could passed, and the line
  // was quiet for a cycle after the last answer; -1 on a stop.
  int readyToSend();
  // Hands what the dispatcher recorded to the ledger, keeping the step's latest own answer.
  void takeAnswers();
  // Waits up to timeoutMs (kNoTimeLimit: no limit) for an answer to this step's sends.
  Outcome awaitOwnAnswer(int64_t timeoutMs, Answer* answer);

  UpdateHost host_;
  UpdateClock& clock_;
  std::span<const FlashStep> plan_;
  HostSender sender_;
  std::unique_ptr<WorkBuffer> work_;  // the worker's own
  AnswerLedger ledger_;
  std::optional<Answer> ownAnswer_;  // taken, not yet waited for
  int64_t completeUntilUs_ = -1;     // the answers taken so far hold the queue up to here
  // What the report says the current step is.
  int reportedStep_ = 0;
  uint32_t reportedAddress_ = 0;
};

// The worker thread's entry.
int runUpdate(const UpdateHost& host, UpdateClock& clock = realClock());

}  // namespace rt88h
