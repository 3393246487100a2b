#pragma once
// The device model behind a MIDI path that loses, repeats and delays messages, in virtual time:
// one whole update of a short plan, and whether its end keeps the update's promise.
//
// The transport model:
// - in either direction a message may be lost;
// - a message may arrive twice, the copy one cycle later; a request that reaches the device twice
//   is answered twice, the second answer one cycle after the first, unless the transport reports
//   the late cycle (over JACK: the sending client overstayed one), when it may come much later;
// - the device answers each message it receives once, in order, at most 5 s after it was sent;
// - re-writing a chunk with the same bytes is harmless.
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "protocol/flash_plan.h"
#include "tests/support/virtual_time_link.h"

namespace rt88h::testing {

inline constexpr int64_t kCycleMs = 21;  // 1024 frames at 48 kHz

// Every kind of step boundary: BeginUpdate → erase, erase → erase, erase → chunk, chunk → chunk,
// last chunk → erase, last chunk → next write, last chunk → EndUpdate.
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
inline constexpr std::array<std::size_t, 7> kBoundaries{2, 3, 4, 5, 6, 9, 11};

struct Fate {
  bool loseRequest = false;
  bool repeatRequest = false;  // the device receives it again one cycle later
  bool refuse = false;         // the first reception is refused with a failure status
  bool loseAnswer = false;     // the first answer is lost
  bool repeatAnswer = false;   // the first answer arrives again one cycle later
  int64_t stallMs = 0;         // the device answers this much later (and so every answer after)
  int64_t copyLagMs = 0;       // a repeated request's second answer comes this much later
  const char* name = "ok";
};

// "ok" first, then every fault and the combinations worth trying.
const std::vector<Fate>& fateSet();

enum class RunEnd { Completed, Failed, Broken };

struct RunResult {
  RunEnd end = RunEnd::Broken;
  std::string what;  // the box, or why the run broke the update's promise
  int64_t durationMs = 0;
};

// A message the device sends on its own at that time (not an answer: those come from the model).
struct Unasked {
  int64_t atMs = 0;
  Bytes bytes;
};

// One update of kShortPlan, send n meeting the fate fateOf(n). Completed: the flash holds the
// plan and the device carried out EndUpdate; Failed: one of the update's own messages, or closed
// while BeginUpdate went unanswered (a wait without a limit); anything else is Broken.
RunResult runOnce(const std::function<Fate(std::size_t)>& fateOf,
                  const std::vector<Unasked>& unasked = {});

}  // namespace rt88h::testing
