// The dispatcher draining a queue of arbitrary entries (1 to 8192 bytes, each in a heap block of
// exactly its size). Every entry is popped once, each has the effect the message table gives it,
// replyStatus only ever holds 0..255, and a failed answer shows "Midi Out Error".
//
// Input: model byte, our Identity Reply's model byte, flags, then entries, each a 2-byte length
// (1 + value % 8192) and its bytes.
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/dispatcher.h"
#include "protocol/messages.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/expected_reaction.h"
#include "tests/support/recording_view.h"
#include "tests/support/sysex_support.h"

using namespace rt88h;
using namespace rt88h::fuzz;
using namespace rt88h::testing;

namespace {

constexpr std::size_t kMaxEntry = 8192;

constexpr uint8_t kFlagStopLatched = 0x01;   // the window asked for a stop before this tick
constexpr uint8_t kFlagSendsFail = 0x02;     // every answer fails
constexpr uint8_t kFlagSomeFail = 0x04;      // every other answer fails
constexpr uint8_t kFlagLateArrivals = 0x08;  // half the entries arrive while the tick runs

class QueueHost final : public UpdateLink {
 public:
  QueueHost(uint8_t model, uint8_t flags) : model_(model), flags_(flags) {}

  UpdateSignals& signals() { return signals_; }
  testing::RecordingView& view() { return view_; }

  int sendLong(const uint8_t* bytes, uint32_t length) override {
    FUZZ_REQUIRE(bytes != nullptr && length > 0 && length <= kWorkBufferSize);
    sent_.emplace_back(bytes, bytes + length);
    ++attempts_;
    const bool fails =
        (flags_ & kFlagSendsFail) != 0 || ((flags_ & kFlagSomeFail) != 0 && attempts_ % 2 == 0);
    if (fails) ++failed_;
    return fails ? 0 : 1;
  }

  bool peekSysEx(const uint8_t** bytes, uint32_t* count, Arrival* /*arrival*/) override {
    checkStatusRange();
    if (queue_.empty()) return false;
    *bytes = queue_.front()->data();
    *count = static_cast<uint32_t>(queue_.front()->size());
    return true;
  }

  void popSysEx() override {
    FUZZ_REQUIRE(!queue_.empty());
    checkEffect(*queue_.front());
    queue_.pop_front();
    ++popped_;
    // Messages that arrive while the tick runs are taken in the same tick.
    if (!held_.empty()) {
      queue_.push_back(std::move(held_.front()));
      held_.pop_front();
    }
  }

  void add(std::span<const uint8_t> entry, bool arrivesDuringTick) {
    auto copy = std::make_unique<ExactCopy>(entry);
    if (arrivesDuringTick) {
      held_.push_back(std::move(copy));
    } else {
      queue_.push_back(std::move(copy));
    }
    ++added_;
  }

  void latchStop() {
    signals_.replyStatus.store(kStatusStop);
    lastStatus_ = kStatusStop;
  }

  void checkDrained() {
    FUZZ_REQUIRE(queue_.empty() && held_.empty());
    FUZZ_REQUIRE(popped_ == added_);
    const std::vector<std::string> boxes = view_.log();
    FUZZ_REQUIRE(boxes.size() == failed_);
    for (const std::string& box : boxes) FUZZ_REQUIRE(box == testing::midiOutErrorBox());
  }

 private:
  void checkStatusRange() {
    const int32_t status = signals_.replyStatus.load();
    FUZZ_REQUIRE(status >= 0 && status <= 255);
  }

  // Whatever the dispatcher did since the last pop belongs to the entry being popped.
  void checkEffect(const ExactCopy& entry) {
    checkStatusRange();
    const Expected want = expectedReaction(entry.data(), entry.size(), model_);
    FUZZ_REQUIRE(signals_.replyEvent.tryWait() == wakes(want.reaction));
    const int32_t status = signals_.replyStatus.load();
    FUZZ_REQUIRE(status == statusAfter(want, lastStatus_));
    if (want.reaction == Reaction::IdentityTaken) {
      FUZZ_REQUIRE(signals_.reportedModel.load() == want.value);
    }
    lastStatus_ = status;
    FUZZ_REQUIRE(std::exchange(sent_, {}) ==
                 answersOf(want.reaction, modelId.load(), identityReplyModel.load()));
  }

  uint8_t model_;
  uint8_t flags_;
  UpdateSignals signals_;
  testing::RecordingView view_{signals_};
  std::deque<std::unique_ptr<ExactCopy>> queue_;
  std::deque<std::unique_ptr<ExactCopy>> held_;
  std::vector<std::vector<uint8_t>> sent_;
  int32_t lastStatus_ = 0;
  std::size_t added_ = 0;
  std::size_t popped_ = 0;
  std::size_t attempts_ = 0;
  std::size_t failed_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const uint8_t model = input.byte();
  const uint8_t replyModel = input.byte();
  const uint8_t flags = input.byte();
  const ModelScope models(model, replyModel);

  auto host = std::make_unique<QueueHost>(model, flags);
  if ((flags & kFlagStopLatched) != 0) host->latchStop();
  // A tick's own state (its WorkBuffer) lives as long as the window; one per input here.
  auto dispatcher = std::make_unique<ReplyDispatcher>(*host, host->view(), host->signals());

  bool late = false;
  while (!input.empty()) {
    const std::size_t length = 1 + input.u16() % kMaxEntry;
    const std::span<const uint8_t> entry = input.take(length);
    if (entry.empty()) break;
    host->add(entry, (flags & kFlagLateArrivals) != 0 && late);
    late = !late;
  }
  dispatcher->dispatchReplies();
  host->checkDrained();
  // A tick on an empty queue does nothing.
  dispatcher->dispatchReplies();
  host->checkDrained();
  return 0;
}
