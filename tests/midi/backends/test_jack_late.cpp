// Clients made late on purpose (RT88H_TEST_JACK_LATE) against a private server in its default
// asynchronous mode: one numbered message per cycle from one client of the back-end to
// another, and what the receiver got. The numbers lost and read twice are printed; what must
// hold is that a message read twice comes again exactly one cycle later, and that a client
// counts each of its late calls that had output of its own at stake, never more than the
// server's own record shows.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "midi/backends/jack_backend.h"
#include "midi/backends/late_cycles.h"
#include "midi/midi_in_port.h"
#include "midi/midi_service.h"
#include "tests/midi/backends/jack_suite.h"
#include "tests/midi/backends/raw_jack_device.h"
#include "tests/support/watched_api.h"

namespace rt88h::testing {
namespace {

using namespace std::chrono_literals;

constexpr int kMessages = 600;  // one per cycle: about 3.2 s at 256 frames and 48 kHz

// A client of the back-end opened with that lateness (or none), the variable then unset again.
std::unique_ptr<midi::JackEndpoint> endpointLate(const std::string& name, const char* late,
                                                 const std::string& server) {
  if (late != nullptr) ::setenv(midi::kLateCyclesVariable, late, 1);
  std::string reason;
  auto endpoint = midi::openJackEndpoint(name, &reason, server);
  ::unsetenv(midi::kLateCyclesVariable);
  return endpoint;
}

struct Outcome {
  int received = 0;
  int lost = 0;
  int repeated = 0;
  int repeatsOneCycleLater = 0;
  int cut = 0;
  uint64_t troubles = 0;
  uint64_t senderTroubles = 0;  // what an input on the sender's own client reports
  uint64_t senderLate = 0;
  // Messages chosen by a send pattern whose late call was not yet counted when they were done.
  int doneBeforeCounted = 0;
  // Cycles the server itself ran irregularly for the sender, or reported as overrun.
  uint64_t senderServerTroubles = 0;
};

class JackLate : public JackServerSuite {
 protected:
  static void SetUpTestSuite() { startSuiteServer("rt88h-late"); }

  // Sends kMessages numbered messages, each waiting for the one before to be written into a
  // cycle, and collects what the receiver queued with the cycle it was read in.
  Outcome run(const char* senderLate, const char* receiverLate, const std::string& tag) {
    Outcome outcome;
    auto sender = endpointLate("rt88h-late-sender-" + tag, senderLate, server_->name());
    EXPECT_TRUE(sender);
    if (!sender) return outcome;
    std::unique_ptr<midi::OutDevice> out;
    EXPECT_EQ(sender->openOutput("out", out), midi::kMidiOk);
    std::unique_ptr<midi::InDevice> senderIn;
    auto ignore = [](midi::InMessage, void*, midi::MidiHeader*, uint32_t) {};
    EXPECT_EQ(sender->openInput("in", ignore, nullptr, senderIn), midi::kMidiOk);
    midi::MidiService service;
    service.addBackend(midi::makeJackBackend("rt88h-late-host-" + tag, server_->name()));
    if (receiverLate != nullptr) ::setenv(midi::kLateCyclesVariable, receiverLate, 1);
    WatchedApi api(service);
    midi::MidiInPort in(api);
    const int index = indexOf(in, "rt88h-late-sender-" + tag);  // opens the host's client
    ::unsetenv(midi::kLateCyclesVariable);
    EXPECT_GE(index, 0);
    if (!out || index < 0 || in.openAndStart(index) != 1) return outcome;

    for (int n = 0; n < kMessages; ++n) {
      const uint64_t troublesBefore = senderIn ? senderIn->transportTroubles() : 0;
      const uint64_t lateBefore = sender->lateCyclesMade();
      uint8_t bytes[] = {0xF0, 0x7D, static_cast<uint8_t>(n >> 7), static_cast<uint8_t>(n & 0x7F),
                         0xF7};
      midi::MidiHeader header{bytes, sizeof bytes};
      out->prepare(&header);
      if (out->longMsg(&header) != midi::kMidiOk) break;
      // The back-end sets the flag from the process thread and tells nobody.
      while ((header.flags.load() & midi::kHeaderDone) == 0) std::this_thread::sleep_for(200us);
      out->unprepare(&header);
      // What the update procedure relies on: a send's late call is counted before it is done.
      if (sender->lateCyclesMade() != lateBefore && senderIn &&
          senderIn->transportTroubles() == troublesBefore) {
        ++outcome.doneBeforeCounted;
      }
    }

    std::map<int, std::vector<int64_t>> cycles;  // number -> cycles it was read in
    auto take = [&] {
      const uint8_t* bytes = nullptr;
      uint32_t count = 0;
      Arrival arrival;
      while (in.peekSysEx(&bytes, &count, &arrival)) {
        if (count == 5) cycles[bytes[2] << 7 | bytes[3]].push_back(arrival.cycle);
        in.popSysEx();
        ++outcome.received;
      }
      return cycles.count(kMessages - 1) != 0;
    };
    api.waitFor(take, 2s);  // the last one may itself be lost: then the time runs out
    take();
    outcome.troubles = in.transportTroubles();
    for (int n = 0; n < kMessages; ++n) {
      const auto found = cycles.find(n);
      if (found == cycles.end()) {
        ++outcome.lost;
        continue;
      }
      const std::vector<int64_t>& seen = found->second;
      for (std::size_t i = 1; i < seen.size(); ++i) {
        ++outcome.repeated;
        if (seen[i] == seen[i - 1] + 1) ++outcome.repeatsOneCycleLater;
        if (seen[i] != seen[i - 1] + 1) {
          std::cout << "[ info ] " << tag << ": message " << n << " read in cycle " << seen[i - 1]
                    << " and again " << seen[i] - seen[i - 1] << " cycles later\n";
        }
      }
    }
    outcome.senderLate = sender->lateCyclesMade();
    outcome.senderServerTroubles = sender->irregularCycles() + sender->xruns();
    if (senderIn) outcome.senderTroubles = senderIn->transportTroubles();
    in.close();
    out->close();
    if (senderIn) senderIn->close();
    std::cout << "[ info ] " << tag << ": " << kMessages << " sent, " << outcome.received
              << " received, " << outcome.lost << " lost, " << outcome.repeated << " read twice ("
              << outcome.repeatsOneCycleLater << " exactly one cycle later), "
              << "sender late in " << outcome.senderLate << " cycles, sender's irregular cycles "
              << sender->irregularCycles() << ", sender's troubles " << outcome.senderTroubles
              << ", receiver's troubles " << outcome.troubles << "\n";
    return outcome;
  }
};

TEST_F(JackLate, AClientClosedWhileItsCycleOverrunsClosesCleanly) {
  // Late in every cycle by ten periods: its process thread is nearly always inside the callback.
  auto endpoint = endpointLate("rt88h-late-closing", "random:100:1:10", server_->name());
  ASSERT_TRUE(endpoint);
  // Readiness: the first late call is over and the next one is late too (bounded, every ms).
  for (int i = 0; i < 5000 && endpoint->lateCyclesMade() == 0; ++i) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_GT(endpoint->lateCyclesMade(), 0u);
  endpoint.reset();  // libjack cancels the process thread in the middle of that cycle
  // The process lives on, and the name is free again: the client is really gone.
  std::string reason;
  EXPECT_TRUE(midi::openJackEndpoint("rt88h-late-closing", &reason, server_->name())) << reason;
}

TEST_F(JackLate, OnTimeClientsLoseAndRepeatNothing) {
  const Outcome outcome = run(nullptr, nullptr, "none");
  EXPECT_EQ(outcome.repeated, 0);
  // A doubt costs the update seconds: lateness is the server's cycle count, never a guess. A
  // busy machine may make the server itself skip or overrun a cycle; only those may count.
  EXPECT_LE(outcome.senderTroubles, outcome.senderServerTroubles);
  if (outcome.lost != 0) std::cout << "[ note ] lost without lateness: the dummy driver's xrun\n";
}

TEST_F(JackLate, ALateSenderOrReceiverRepeatsOnlyOneCycleLater) {
  // The sender late in the call that writes a chosen message ("send:"), or ("before-send:") in
  // the call it would have gone out in, which then writes nothing: the message goes out in the
  // next call, where JACK may read it twice.
  for (const auto& [sender, receiver, tag] :
       {std::tuple<const char*, const char*, const char*>{"send:random:10:7", nullptr, "sender"},
        {"before-send:random:10:11", nullptr, "quiet"},
        {nullptr, "random:10:8", "receiver"},
        {"send:random:10:9", "random:10:10", "both"}}) {
    SCOPED_TRACE(tag);
    const Outcome outcome = run(sender, receiver, tag);
    EXPECT_GT(outcome.received, 0);
    // What the update's answer attribution relies on: a copy is never further than a cycle.
    EXPECT_EQ(outcome.repeatsOneCycleLater, outcome.repeated);
    // Only a client's own late cycles with its own output in them can repeat its messages: a
    // receiver that sends nothing has nothing to doubt, however late it is.
    EXPECT_EQ(outcome.troubles, 0u);
    // Output of its own is at stake in every call it was made late in, so each counts; and
    // nothing the server itself did not record as late.
    EXPECT_GE(outcome.senderTroubles, outcome.senderLate);
    EXPECT_LE(outcome.senderTroubles, outcome.senderServerTroubles);
    EXPECT_EQ(outcome.doneBeforeCounted, 0);
  }
}

}  // namespace
}  // namespace rt88h::testing
