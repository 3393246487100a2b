// classifyReceived on any bytes, against the message table: it never reads at or past the count
// (the message sits in a heap block of exactly its size) and agrees with the table.
#include <cstddef>
#include <cstdint>

#include "protocol/received.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/expected_reaction.h"

using namespace rt88h;
using namespace rt88h::fuzz;
using namespace rt88h::testing;

namespace {

Expected asReaction(const Received& r) {
  switch (r.kind) {
    case ReceivedKind::Ignored:
    case ReceivedKind::DeviceSilent: return {};
    case ReceivedKind::DeviceStatus: return {Reaction::Status, r.value};
    case ReceivedKind::DeviceDone: return {Reaction::Status, 0};
    case ReceivedKind::DeviceAckRequest: return {Reaction::Ack, 0};
    case ReceivedKind::DeviceNakRequest:
    case ReceivedKind::UniversalNakRequest: return {Reaction::Nak, 0};
    case ReceivedKind::IdentityRequest: return {Reaction::IdentityReply, 0};
    case ReceivedKind::IdentityReply: return {Reaction::IdentityTaken, r.value};
  }
  broken(__FILE__, __LINE__, "unknown kind");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const uint8_t model = input.byte();
  const ExactCopy message(input.rest());

  const Received received = classifyReceived(message.data(), message.size(), model);
  const Expected got = asReaction(received);
  const Expected want = expectedReaction(message.data(), message.size(), model);
  FUZZ_REQUIRE(got.reaction == want.reaction);
  FUZZ_REQUIRE(got.value == want.value);
  // Code 03 and the ignored messages differ in kind only.
  if (received.kind == ReceivedKind::DeviceSilent) {
    FUZZ_REQUIRE(message.size() >= 5 && message.data()[4] == 0x03);
  }
  return 0;
}
