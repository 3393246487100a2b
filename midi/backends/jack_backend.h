#pragma once
// MIDI ports on a JACK server that is already running; a server is never started from here.
#include <poll.h>

#include <memory>
#include <string>
#include <string_view>

#include "midi/midi_service.h"

namespace rt88h::midi {

// One client for the program's life, opened on first use (clientName empty: the program's name;
// serverName empty: JACK's own choice, JACK_DEFAULT_SERVER or "default"). Lists nothing while no
// server runs; rescan() tries again.
std::shared_ptr<MidiBackend> makeJackBackend(std::string clientName = {},
                                             std::string serverName = {});

// A client of its own whose ports others connect to: how the device simulator plays a device.
class JackEndpoint {
 public:
  virtual ~JackEndpoint() = default;
  virtual std::string clientName() const = 0;
  // An unconnected port "<client>:<portName>" with the back-end's device semantics.
  virtual int openInput(const std::string& portName, InCallback callback, void* instance,
                        std::unique_ptr<InDevice>& device) = 0;
  virtual int openOutput(const std::string& portName, std::unique_ptr<OutDevice>& device) = 0;
  virtual bool serverGone() const = 0;
  // Cycles the server reported as overrun (xruns) since the client opened.
  virtual uint64_t xruns() const = 0;
  // Process calls whose frame time did not move on by exactly one period: a cycle run twice or
  // one skipped.
  virtual uint64_t irregularCycles() const = 0;
  // Calls made late on purpose (RT88H_TEST_JACK_LATE) that the server's next cycle began in;
  // always 0 but in test builds.
  virtual uint64_t lateCyclesMade() const = 0;
};

// The reason openJackEndpoint gives when no server runs.
inline constexpr std::string_view kNoJackServer = "no JACK server is running";

// Null with the reason when no server runs or the name is taken.
std::unique_ptr<JackEndpoint> openJackEndpoint(const std::string& clientName, std::string* reason,
                                               const std::string& serverName = {});

// Test builds only (rt88h_midi_testhooks): the poll(2) that JACK input threads wait with from
// now on; null: the system's.
using PollFunction = int (*)(pollfd* fds, nfds_t count, int timeoutMs);
void setJackInputPollForTesting(PollFunction poll);

}  // namespace rt88h::midi
