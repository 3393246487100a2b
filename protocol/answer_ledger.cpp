#include "protocol/answer_ledger.h"

#include <algorithm>

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

std::vector<Answer> AnswerLog::takeAll() {
  std::vector<Answer> taken;
  std::lock_guard<std::mutex> lock(mutex_);
  taken.swap(answers_);
  return taken;
}

void AnswerLog::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  answers_.clear();
}

void AnswerLedger::sent(int64_t startUs, int64_t endUs) {
  if (sendEnds_.empty()) firstSendStartUs_ = startUs;
  sendEnds_.push_back(endUs);
}

void AnswerLedger::nextStep() {
  const int sends = static_cast<int>(sendEnds_.size());
  // Answers come in order, so the sends left without one are the step's last ones.
  for (int i = std::min(ownAnswers_, sends); i < sends; ++i) {
    owe(sendEnds_[static_cast<std::size_t>(i)]);
  }
  previousSendEnds_.swap(sendEnds_);
  sendEnds_.clear();
  ownAnswers_ = 0;
  firstSendStartUs_ = 0;
}

void AnswerLedger::doubt() {
  for (const int64_t end : previousSendEnds_) owe(end);
  for (const int64_t end : sendEnds_) {
    owe(end);
    owe(end);
  }
  previousSendEnds_.clear();
  sendEnds_.clear();
  ownAnswers_ = 0;
  firstSendStartUs_ = 0;
}

void AnswerLedger::owe(int64_t sendEndUs) {
  const int64_t expiry = sendEndUs + kAnswerBoundUs;
  owed_.insert(std::upper_bound(owed_.begin(), owed_.end(), expiry), expiry);
}

bool AnswerLedger::mayBeRepeat(const Answer& answer) const {
  // A copy comes at most one cycle after its original, and so does the answer to a repeated
  // request; two answers of the device's own are at least two cycles apart.
  return hasLast_ && answer.cycle >= 0 && last_.cycle >= 0 && answer.cycle - last_.cycle <= 1;
}

AnswerLedger::Verdict AnswerLedger::take(const Answer& answer) {
  const bool repeat = mayBeRepeat(answer);
  last_ = answer;
  hasLast_ = true;
  if (repeat) return Verdict::Ignored;

  // An answer arriving later than the bound cannot be an owed one.
  std::erase_if(owed_, [&](int64_t expiry) { return expiry < answer.atUs; });
  if (!owed_.empty()) {
    // Whichever earlier send it answers, one fewer answer can still come from them.
    owed_.pop_front();
    return Verdict::Earlier;
  }
  if (sendEnds_.empty() || answer.atUs < firstSendStartUs_) return Verdict::Ignored;
  ++ownAnswers_;
  return Verdict::Own;
}

bool AnswerLedger::owes(int64_t nowUs) const {
  return std::any_of(owed_.begin(), owed_.end(), [&](int64_t expiry) { return expiry >= nowUs; });
}

int64_t AnswerLedger::owedUntilUs() const {
  return owed_.empty() ? 0 : *std::max_element(owed_.begin(), owed_.end());
}

}  // namespace rt88h
