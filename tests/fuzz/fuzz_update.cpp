// A whole update of a short plan against the device model, over a transport whose every fault
// the fuzzer chooses, with messages of its own making that the device sends unasked. Every run
// ends; one that says "Version update completed." leaves the plan in flash; one that fails says
// so with one of the update's own messages.
//
// Input: one byte per send (its fate: index into the fate set, zero and anything beyond meaning
// none), ended by 0xFF; then unasked messages, each a 2-byte time in ms, a 1-byte length and
// its bytes. An unasked message that would read as an answer is left out: answers come only
// from the device model, which answers each message once.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/messages.h"
#include "protocol/received.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/fault_transport.h"
#include "tests/support/sysex_support.h"

using namespace rt88h;
using namespace rt88h::fuzz;

namespace {

constexpr uint8_t kEndOfFates = 0xFF;
constexpr std::size_t kMaxUnasked = 64;

bool readsAsAnswer(const testing::Bytes& bytes) {
  const ReceivedKind kind = classifyReceived(bytes.data(), bytes.size(), 0x58).kind;
  return kind == ReceivedKind::DeviceStatus || kind == ReceivedKind::DeviceDone ||
         kind == ReceivedKind::IdentityReply;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  std::vector<uint8_t> fates;
  while (!input.empty()) {
    const uint8_t choice = input.byte();
    if (choice == kEndOfFates) break;
    fates.push_back(choice);
  }
  std::vector<testing::Unasked> unasked;
  while (!input.empty() && unasked.size() < kMaxUnasked) {
    testing::Unasked message;
    message.atMs = input.u16();
    const std::size_t length = input.byte();
    for (std::size_t i = 0; i < length && !input.empty(); ++i)
      message.bytes.push_back(input.byte());
    if (!message.bytes.empty() && !readsAsAnswer(message.bytes))
      unasked.push_back(std::move(message));
  }

  const std::vector<testing::Fate>& set = testing::fateSet();
  const testing::ModelScope models;
  const testing::RunResult result = testing::runOnce(
      [&](std::size_t send) {
        const std::size_t choice = send < fates.size() ? fates[send] : 0;
        return choice < set.size() ? set[choice] : testing::Fate{};
      },
      unasked);
  if (result.end == testing::RunEnd::Broken) broken(__FILE__, __LINE__, result.what.c_str());
  return 0;
}
