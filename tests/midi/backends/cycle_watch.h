#pragma once
// A JACK client fed by the same ports as a given input port, so that in every cycle the server
// runs it only after the clients owning those ports have run. With the server stopped, it tells
// when the last cycle the server began has ended in them: from then on none of them runs.
#include <jack/jack.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace rt88h::testing {

class CycleWatch {
 public:
  CycleWatch(const std::string& server, const std::string& name, const std::string& fedPort) {
    jack_status_t status{};
    const auto options =
        static_cast<jack_options_t>(JackNoStartServer | JackServerName | JackUseExactName);
    client_ = jack_client_open(name.c_str(), options, &status, server.c_str());
    ran_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (client_ == nullptr || ran_ < 0) return;
    in_ = jack_port_register(client_, "watch", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (in_ == nullptr) return;
    jack_set_process_callback(client_, &CycleWatch::process, this);
    if (jack_activate(client_) != 0) return;
    jack_port_t* fed = jack_port_by_name(client_, fedPort.c_str());
    if (fed == nullptr) return;
    // A connection made just now shows once the server has taken it into the graph.
    std::vector<std::string> sources;
    const auto fedNow = [&] {
      sources.clear();
      if (const char** names = jack_port_get_all_connections(client_, fed)) {
        for (const char** port = names; *port != nullptr; ++port) sources.emplace_back(*port);
        jack_free(names);
      }
      return !sources.empty();
    };
    if (!waitFor(fedNow, std::chrono::seconds(30))) return;
    bool connected = true;
    for (const std::string& source : sources) {
      connected = jack_connect(client_, source.c_str(), jack_port_name(in_)) == 0 && connected;
    }
    // The connections order the graph only from the cycle that first runs with them.
    ok_ = connected &&
          waitFor([this] { return orderedFrame_.load() >= 0; }, std::chrono::seconds(30));
  }
  ~CycleWatch() {
    if (client_ != nullptr) {
      jack_deactivate(client_);
      jack_client_close(client_);
    }
    if (ran_ >= 0) ::close(ran_);
  }
  CycleWatch(const CycleWatch&) = delete;
  CycleWatch& operator=(const CycleWatch&) = delete;

  bool ok() const { return ok_; }

  // For a stopped server: true once the last cycle it began has run here, hence has ended in
  // every client feeding the port. False when that cycle does not come within `timeout`: the
  // server stopped after beginning it but before starting its clients, or skipped them (xrun).
  bool lastCycleEnded(std::chrono::milliseconds timeout) {
    const int64_t last = jack_last_frame_time(client_);
    return waitFor([&] { return orderedFrame_.load() == last; }, timeout);
  }

 private:
  static int process(jack_nframes_t /*frames*/, void* arg) {
    auto* self = static_cast<CycleWatch*>(arg);
    if (jack_port_connected(self->in_) > 0) {
      self->orderedFrame_.store(jack_last_frame_time(self->client_));
    }
    const uint64_t one = 1;
    const ssize_t written = ::write(self->ran_, &one, sizeof one);
    (void)written;
    return 0;
  }

  template <typename Done>
  bool waitFor(Done done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (done()) return true;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd fd{ran_, POLLIN, 0};
      if (::poll(&fd, 1, static_cast<int>(left.count()) + 1) > 0) {
        uint64_t count = 0;
        const ssize_t got = ::read(ran_, &count, sizeof count);
        (void)got;
      }
    }
  }

  bool ok_ = false;
  jack_client_t* client_ = nullptr;
  jack_port_t* in_ = nullptr;
  int ran_ = -1;
  // Start frame of the latest cycle that ran here after the clients feeding the port; -1 before.
  std::atomic<int64_t> orderedFrame_{-1};
};

}  // namespace rt88h::testing
