#include "protocol/answer_ledger.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace rt88h {
namespace {

constexpr std::size_t kAnswerLogLimit = 4096;

}  // namespace

void AnswerLog::append(const Answer& answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Nobody reads while no update runs; a lost answer only makes the procedure wait longer.
  if (answers_.size() >= kAnswerLogLimit) answers_.erase(answers_.begin());
  answers_.push_back(answer);
}

bool AnswerLog::drained(int64_t startedUs) {
  std::lock_guard<std::mutex> lock(mutex_);
  completeUntilUs_ = std::max(completeUntilUs_, startedUs);
  if (wakeFromUs_ < 0 || startedUs < wakeFromUs_) return false;
  wakeFromUs_ = -1;
  return true;
}

bool AnswerLog::drainedFrom(int64_t fromUs) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (completeUntilUs_ >= fromUs) return true;
  wakeFromUs_ = fromUs;
  return false;
}

AnswerLog::Taken AnswerLog::takeAll() {
  Taken taken;
  std::lock_guard<std::mutex> lock(mutex_);
  taken.answers.swap(answers_);
  taken.completeUntilUs = completeUntilUs_;
  return taken;
}

void AnswerLog::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  answers_.clear();
  wakeFromUs_ = -1;
}

bool AnswerLedger::sent(int64_t startUs, int64_t endUs, uint64_t troubles) {
  if (sends_.empty()) firstSendStartUs_ = startUs;
  const bool twice = troubles != troubles_;
  troubles_ = troubles;
  sends_.push_back({endUs, twice});
  return twice;
}

void AnswerLedger::nextStep() {
  // Answers come in order, so the answers still missing are the step's last ones.
  int answered = ownAnswers_;
  for (const Send& send : sends_) {
    for (int answer = 0; answer < (send.twice ? 2 : 1); ++answer) {
      if (answered > 0) {
        --answered;
      } else {
        owe(send.endUs);
      }
    }
  }
  sends_.clear();
  ownAnswers_ = 0;
  firstSendStartUs_ = 0;
  ++step_;
}

void AnswerLedger::owe(int64_t sendEndUs) {
  const int64_t expiry = sendEndUs + kAnswerBoundUs;
  owed_.insert(std::upper_bound(owed_.begin(), owed_.end(), expiry), expiry);
}

bool AnswerLedger::mayBeCopy(const Answer& answer) const {
  // A copy comes one cycle after its original or the copy before it, and so does the answer to
  // a repeated request that the device answers at once: compared with the answer right before,
  // each of a chain counts for nobody.
  return hasLast_ && answer.arrival.cycle >= 0 && last_.arrival.cycle >= 0 &&
         answer.arrival.cycle - last_.arrival.cycle <= 1;
}

AnswerLedger::Verdict AnswerLedger::take(const Answer& answer) {
  // An Identity Reply answers nothing but the Identity Request, however late it comes.
  if (answer.kind == AnswerKind::Identity && step_ > 0) return Verdict::Ignored;
  const bool copy = mayBeCopy(answer);
  last_ = answer;
  hasLast_ = true;
  if (copy) return Verdict::Ignored;

  // An answer arriving later than the bound cannot be an owed one.
  std::erase_if(owed_, [&](int64_t expiry) { return expiry < answer.arrival.atUs; });
  if (!owed_.empty()) {
    // Whichever earlier send it answers, one fewer answer can still come from them.
    owed_.pop_front();
    return Verdict::Earlier;
  }
  if (sends_.empty() || answer.arrival.atUs < firstSendStartUs_) return Verdict::Ignored;
  ++ownAnswers_;
  return Verdict::Own;
}

bool AnswerLedger::owes(int64_t nowUs) const {
  return std::any_of(owed_.begin(), owed_.end(), [&](int64_t expiry) { return expiry >= nowUs; });
}

int64_t AnswerLedger::owedUntilUs() const {
  return owed_.empty() ? 0 : *std::max_element(owed_.begin(), owed_.end());
}

int64_t AnswerLedger::quietFromUs() const {
  if (!hasLast_ || last_.arrival.cycle < 0) return std::numeric_limits<int64_t>::min();
  const int64_t cycleUs = last_.arrival.cycleUs > 0 ? last_.arrival.cycleUs : kLongestCycleUs;
  // A copy comes in the next cycle, which begins a cycle after the last answer's began.
  return last_.arrival.atUs + cycleUs + kHandOverUs;
}

}  // namespace rt88h
