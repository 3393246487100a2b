#pragma once
// Which received answer belongs to which send. Answers carry no chunk number, and the MIDI path
// may lose a message, deliver it twice (the copy up to one transport cycle later) or deliver an
// answer late; the ledger takes an answer as the current step's only when no earlier send can
// have produced it.
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace rt88h {

// Longest time from a request leaving to its answer arriving, with room for a copy of the
// request one transport cycle later (4096 frames at 44.1 kHz is 93 ms).
inline constexpr int64_t kAnswerBoundUs = 5'000'000 + 100'000;

enum class AnswerKind { Status, Identity };

struct Answer {
  AnswerKind kind = AnswerKind::Status;
  int32_t value = 0;   // Status: the status (DeviceDone: 0); Identity: the reported model
  int64_t atUs = 0;    // when it arrived, on the update clock
  int64_t cycle = -1;  // transport cycle it was read in; -1 where nothing is ever repeated
};

// What the dispatcher records for the procedure, in arrival order.
class AnswerLog {
 public:
  void append(const Answer& answer);
  std::vector<Answer> takeAll();
  void clear();

 private:
  std::mutex mutex_;
  std::vector<Answer> answers_;
};

class AnswerLedger {
 public:
  enum class Verdict {
    Own,      // answers a send of the current step
    Earlier,  // taken as the answer to a send of an earlier step that still owed one
    Ignored,  // may be a repeat, or arrived before this step's first send: nobody's answer
  };

  // A send of the current step left between startUs and endUs. A send that failed owes nothing.
  void sent(int64_t startUs, int64_t endUs);
  // The current step is over: its sends that no own answer matched still owe one.
  void nextStep();
  // The transport may have repeated a request of this step or the one before, and a repeated
  // request is answered twice: every such send may owe one more answer, and the current step's
  // answers prove nothing. The current step starts afresh.
  void doubt();
  Verdict take(const Answer& answer);
  // True while an earlier step's answer may still arrive after nowUs.
  bool owes(int64_t nowUs) const;
  // When the last owed answer stops being possible.
  int64_t owedUntilUs() const;
  int sendsThisStep() const { return static_cast<int>(sendEnds_.size()); }

 private:
  bool mayBeRepeat(const Answer& answer) const;
  void owe(int64_t sendEndUs);

  std::deque<int64_t> owed_;       // expiry of each owed answer, oldest first
  std::vector<int64_t> sendEnds_;  // the current step's sends
  std::vector<int64_t> previousSendEnds_;
  int64_t firstSendStartUs_ = 0;
  int ownAnswers_ = 0;
  bool hasLast_ = false;
  Answer last_;  // the answer before, for the repeat rule
};

}  // namespace rt88h
