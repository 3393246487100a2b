#pragma once
// Which received answer belongs to which send. Answers carry no chunk number, and the MIDI path
// may lose a message, deliver it twice (the copy a transport cycle later, up to four times) or
// deliver an answer late; the ledger takes an answer as the current step's only when no earlier
// send can have produced it.
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "base/arrival.h"

namespace rt88h {

// Longest time from a request leaving to its answer arriving, with room for a copy of the
// request one transport cycle later (4096 frames at 44.1 kHz is 93 ms).
inline constexpr int64_t kAnswerBoundUs = 5'000'000 + 100'000;
// The cycle assumed where a transport that repeats messages does not say how long its cycle is.
inline constexpr int64_t kLongestCycleUs = 100'000;
// A cycle's messages reach the receive queue within this of its start (a hand-over thread's
// wake-up: well under a millisecond on an idle machine).
inline constexpr int64_t kHandOverUs = 5'000;

enum class AnswerKind { Status, Identity };

struct Answer {
  AnswerKind kind = AnswerKind::Status;
  int32_t value = 0;  // Status: the status (DeviceDone: 0); Identity: the reported model
  Arrival arrival;    // on the update clock
};

// What the dispatcher records for the procedure, in arrival order.
class AnswerLog {
 public:
  struct Taken {
    std::vector<Answer> answers;
    // Every answer that reached the receive queue before this is among the answers taken so far.
    int64_t completeUntilUs = -1;
  };

  void append(const Answer& answer);
  // The dispatcher emptied the queue in a pass begun at startedUs. True when the procedure waits
  // for that pass.
  bool drained(int64_t startedUs);
  // True when a pass begun at fromUs or later has emptied the queue; else the first such pass
  // wakes the procedure.
  bool drainedFrom(int64_t fromUs);
  Taken takeAll();
  void clear();

 private:
  std::mutex mutex_;
  std::vector<Answer> answers_;
  int64_t completeUntilUs_ = -1;
  int64_t wakeFromUs_ = -1;  // the procedure waits for a pass begun then or later
};

class AnswerLedger {
 public:
  enum class Verdict {
    Own,      // answers a send of the current step
    Earlier,  // taken as the answer to a send of an earlier step that still owed one
    Ignored,  // may be a copy, or arrived before this step's first send: nobody's answer
  };

  // `troubles`: the link's count of transport troubles when the update starts.
  explicit AnswerLedger(uint64_t troubles = 0) : troubles_(troubles) {}

  // A send of the current step left between startUs and endUs; `troubles` is the link's count
  // right after it returned. A late cycle that repeats a request is counted before that send
  // returns, and one counted after a send returned can only repeat a later one: a count risen
  // since the last send means this one may have reached the device twice, and be answered
  // twice. True then. A send that failed owes nothing and is not told.
  bool sent(int64_t startUs, int64_t endUs, uint64_t troubles);
  // The current step is over: the answers its sends may still owe are owed from now on.
  void nextStep();
  Verdict take(const Answer& answer);
  // True while an earlier step's answer may still arrive after nowUs.
  bool owes(int64_t nowUs) const;
  // When the last owed answer stops being possible.
  int64_t owedUntilUs() const;
  // The line is quiet once the receive queue has been taken up to this time: a cycle after the
  // last answer passed without a copy of it, so no answer can come right behind a copy and be
  // lost to the repeat rule.
  int64_t quietFromUs() const;

 private:
  struct Send {
    int64_t endUs;
    bool twice;  // may have reached the device twice
  };

  bool mayBeCopy(const Answer& answer) const;
  void owe(int64_t sendEndUs);

  std::deque<int64_t> owed_;  // expiry of each owed answer, oldest first
  std::vector<Send> sends_;   // the current step's
  int64_t firstSendStartUs_ = 0;
  int ownAnswers_ = 0;
  int step_ = 0;  // 0: the Identity Request's, answered with the one kind no later step takes
  uint64_t troubles_ = 0;
  bool hasLast_ = false;
  Answer last_;  // the status before, for the repeat rule
};

}  // namespace rt88h
