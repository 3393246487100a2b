#pragma once
// Tests only: JACK process cycles in which a client is made late on purpose, so that the
// transport's own faults (an event lost, another read twice) can be brought about at will.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace rt88h::midi {

// The environment variable the JACK back-end reads when it opens its client.
inline constexpr const char* kLateCyclesVariable = "RT88H_TEST_JACK_LATE";

struct LateCycles {
  // What the numbers count: the client's process calls, or the messages it sends.
  enum class Counts : uint8_t { Calls, Sends };

  bool active = false;
  bool random = false;
  uint32_t percent = 0;          // random: share of cycles made late
  uint64_t seed = 0;             // random: the same seed makes the same cycles late
  std::vector<uint64_t> cycles;  // otherwise: these, sorted; 1 is the client's first cycle
  double periods = 1.5;          // how long the callback then takes, in periods
  Counts counts = Counts::Calls;
  // Sends: the chosen message waits two calls, the second of them late (a late call without
  // output, after one without output), and goes out in the next; else the call it goes out in
  // is late.
  bool beforeSend = false;

  // Whether the client's n-th cycle or message (from 1) is chosen. No allocation, no lock.
  bool lateIn(uint64_t cycle) const noexcept;
};

// "random:PERCENT:SEED[:PERIODS]" or "N[,N...][:PERIODS]", either after "send:" or
// "before-send:" to count messages (see docs/man/rt88h-devsim.1). False with the reason for
// anything else.
bool parseLateCycles(std::string_view pattern, LateCycles* late, std::string* error);

}  // namespace rt88h::midi
