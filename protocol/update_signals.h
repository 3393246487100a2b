#pragma once
// What the dispatcher, the update procedure and the window share.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "protocol/answer_ledger.h"

namespace rt88h {

inline constexpr int32_t kStatusOk = 0;
inline constexpr int32_t kStatusNotInUpdateMode = 11;
inline constexpr int32_t kStatusStop = 255;

// Auto-reset event: a signal nobody waits for stays pending; several count as one.
class AutoResetEvent {
 public:
  void set();
  void reset();
  // Waits up to timeoutMs (negative: no limit); true when signalled (and consumes the signal).
  bool wait(int64_t timeoutMs);
  // Consumes a pending signal without waiting.
  bool tryWait();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool signalled_ = false;
};

struct UpdateSignals {
  std::atomic<int32_t> replyStatus{0};
  std::atomic<uint8_t> reportedModel{0x00};  // 0x00, which the model check rejects, until a reply
  AutoResetEvent replyEvent;
  std::atomic<int32_t> busy{0};
  AnswerLog answers;  // every reply with its arrival, for telling whose answer it is
};

}  // namespace rt88h
