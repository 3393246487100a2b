#pragma once
// The device model behind a MIDI path that loses, repeats and delays messages, in virtual time:
// one whole update, of the built-in plan or a shorter one, and whether its end keeps the
// update's promise. The one harness of the checker, the soak and the attribution cases.
//
// The transport model (docs/architecture.md, "Answers and the transport"):
// - in either direction a message may be lost;
// - messages are read in cycles; an answer may be handed again in each of the next cycles (up
//   to four times in all: a late device client);
// - a request may reach the device twice, the copy a cycle later: answered within a cycle of the
//   first answer unless a late cycle of ours is counted before the send returns (a late call
//   with the request, or one without output right before it), when the second answer may come
//   any time within the bound;
// - the device answers each message it receives once, in order, one at a time, at most 5 s
//   after it was sent; re-writing a chunk with the same bytes is harmless.
#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "protocol/flash_plan.h"
#include "sim/device_model.h"
#include "tests/support/sysex_support.h"
#include "tests/support/virtual_time_link.h"

namespace rt88h::testing {

inline constexpr int64_t kCycleMs = 21;  // 1024 frames at 48 kHz
inline constexpr int64_t kDeviceLatencyMs = 3;
inline constexpr int64_t kProgrammingMs = 60;  // what a chunk takes a slow flash

// Every kind of step boundary: Identity Request → BeginUpdate, BeginUpdate → erase,
// erase → erase, erase → chunk, chunk → chunk, last chunk → erase, last chunk → next write,
// last chunk → EndUpdate.
inline constexpr std::array<FlashStep, 6> kShortPlan{{
    {kStepErase, 0x40000, 0x1000, 0},
    {kStepErase, 0x0, 0x1000, 0},
    {kStepWrite, 0x0, 2 * kChunkLength, 136},
    {kStepErase, 0xF0000, 0x1000, 0},
    {kStepWrite, 0xF0000, 2 * kChunkLength, 137},
    {kStepWrite, 0x40000, 2 * kChunkLength, 129},
}};
// First sends of each step in a run without faults: Identity Request 0, BeginUpdate 1, erases
// 2 and 3, chunks 4 and 5, erase 6, chunks 7 to 10, EndUpdate 11.
inline constexpr std::array<std::size_t, 8> kBoundaries{1, 2, 3, 4, 5, 6, 9, 11};

// What the transport and the device do with one message.
struct Fate {
  bool loseRequest = false;
  bool repeatRequest = false;  // the device receives it again a cycle later
  bool lateCall = false;       // a late cycle of ours is counted before the send returns
  bool refuse = false;         // the first reception is refused with a failure status
  bool loseAnswer = false;     // the first answer is lost
  int copies = 0;              // the first answer is handed again in each of the next cycles
  bool beforeTick = false;     // the first answer comes in the last cycle before a tick
  int64_t stallMs = 0;         // the device answers this much later (and so every answer after)
  int64_t copyLagMs = 0;       // the repeated request takes the device this much longer
  const char* name = "ok";
};

// "ok" first, then every fault and the combinations worth trying.
const std::vector<Fate>& fateSet();

// One message sent, as the transport met it.
struct Sending {
  std::size_t index = 0;  // among every message the host tried to send, replies included
  Sent kind = Sent::Other;
  uint32_t nth = 0;      // among those of its kind, re-sends counted, from 1
  uint32_t address = 0;  // a chunk's
};

// A message the device sends on its own at that time (not an answer: those come from the model).
struct Unasked {
  int64_t atMs = 0;
  Bytes bytes;
};

struct RunSetup {
  std::span<const FlashStep> plan = kShortPlan;
  sim::DeviceModel::Config device{};
  std::vector<sim::Fault> faults{};  // the model's own, by kind and occurrence
  int64_t latencyMs = kDeviceLatencyMs;
  int64_t cycleMs = kCycleMs;                   // 0: a transport that never repeats a message
  std::function<Fate(const Sending&)> fate{};   // none: nothing goes wrong
  std::function<bool(const Sending&)> fails{};  // the port refuses these sends
  std::vector<Unasked> unasked{};
};

enum class RunEnd { Completed, Failed, Broken };

struct RunResult {
  RunEnd end = RunEnd::Broken;
  std::string what;  // the box, or why the run broke the update's promise
  int64_t durationMs = 0;
};

class DeviceRun {
 public:
  explicit DeviceRun(RunSetup setup);
  DeviceRun(const DeviceRun&) = delete;
  DeviceRun& operator=(const DeviceRun&) = delete;

  // Runs the update. Completed: the flash holds the plan and the device carried out EndUpdate;
  // Failed: one of the update's own messages, or closed while BeginUpdate went unanswered (a
  // wait without a limit); anything else is Broken.
  RunResult run();

  VirtualTimeLink& link() { return link_; }
  const sim::DeviceModel& model() const { return model_; }
  // The update's messages that never reached the device: lost, or refused by the port.
  const std::vector<Sending>& losses() const { return losses_; }
  // Each message sent and the fate it met.
  const std::vector<std::pair<Sending, Fate>>& met() const { return met_; }

 private:
  bool attempt(const Bytes& message);
  void deliver(const Bytes& message, std::vector<TimedReply>& replies);
  // When the device is done with a message received at receivedAt.
  int64_t doneAt(int64_t receivedAt, int64_t extraMs);

  RunSetup setup_;
  sim::DeviceModel model_;
  VirtualTimeLink link_;
  Sending current_;
  std::array<uint32_t, 6> counts_{};
  int64_t busyUntilMs_ = 0;
  std::vector<Sending> losses_;
  std::vector<std::pair<Sending, Fate>> met_;
};

// One update of kShortPlan, send n meeting the fate fateOf(n).
RunResult runOnce(const std::function<Fate(std::size_t)>& fateOf,
                  const std::vector<Unasked>& unasked = {});

}  // namespace rt88h::testing
