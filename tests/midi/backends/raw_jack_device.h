#pragma once
// A JACK client written straight against libjack that plays the device's side in the tests:
// it captures what reaches its input port, joined into F0..F7 messages, and sends messages from
// its output port in events no larger than the buffer allows. It shares no code with the
// back-end on purpose.
#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/watched_api.h"

namespace rt88h::testing {

inline void quietJack(const char* /*message*/) {}

// Whether a client can connect to the named server now.
inline bool jackServerAnswers(const std::string& name) {
  jack_set_error_function(quietJack);  // "cannot connect" is the expected answer at first
  jack_status_t status{};
  const auto options = static_cast<jack_options_t>(JackNoStartServer | JackServerName);
  jack_client_t* probe = jack_client_open("rt88h-probe", options, &status, name.c_str());
  if (probe == nullptr) return false;
  jack_client_close(probe);
  return true;
}

class RawJackDevice {
 public:
  // Ports are made in the order given; messages go out of the first output port and are
  // captured from the first input port.
  RawJackDevice(const std::string& server, const std::string& name,
                const std::vector<std::string>& outputs = {"midi_out"},
                const std::vector<std::string>& inputs = {"midi_in"}) {
    jack_status_t status{};
    const auto options =
        static_cast<jack_options_t>(JackNoStartServer | JackServerName | JackUseExactName);
    client_ = jack_client_open(name.c_str(), options, &status, server.c_str());
    if (client_ == nullptr) return;
    for (const std::string& port : outputs) {
      outs_.push_back(
          jack_port_register(client_, port.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0));
    }
    for (const std::string& port : inputs) {
      ins_.push_back(
          jack_port_register(client_, port.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0));
    }
    incoming_ = jack_ringbuffer_create(1u << 20);
    outgoing_ = jack_ringbuffer_create(4096);
    dataReady_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    stop_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    collector_ = std::thread(&RawJackDevice::collect, this);
    jack_set_process_callback(client_, &RawJackDevice::process, this);
    ok_ = jack_activate(client_) == 0;
  }

  ~RawJackDevice() {
    if (client_ != nullptr) {
      jack_deactivate(client_);
      jack_client_close(client_);
    }
    if (collector_.joinable()) {
      const uint64_t one = 1;
      const ssize_t written = ::write(stop_, &one, sizeof one);
      (void)written;
      collector_.join();
    }
    if (incoming_ != nullptr) jack_ringbuffer_free(incoming_);
    if (outgoing_ != nullptr) jack_ringbuffer_free(outgoing_);
    if (dataReady_ >= 0) ::close(dataReady_);
    if (stop_ >= 0) ::close(stop_);
  }

  RawJackDevice(const RawJackDevice&) = delete;
  RawJackDevice& operator=(const RawJackDevice&) = delete;

  bool ok() const { return ok_; }
  // Connects two ports of the server by their full names.
  bool connect(const std::string& from, const std::string& to) {
    const int result = jack_connect(client_, from.c_str(), to.c_str());
    return result == 0 || result == EEXIST;
  }
  std::string portName(bool output, std::size_t index = 0) const {
    return jack_port_name(output ? outs_[index] : ins_[index]);
  }

  void send(std::vector<uint8_t> message) { queue(std::move(message), false); }

  // Each batch goes out whole in a cycle of its own, the batches in consecutive cycles (unless
  // the server skips one). The cycle numbers they went out in come from sentCycles().
  void sendInCycles(const std::vector<std::vector<std::vector<uint8_t>>>& batches) {
    for (const auto& batch : batches) {
      for (std::size_t i = 0; i < batch.size(); ++i) queue(batch[i], i + 1 == batch.size());
    }
  }
  // frame time / period of the cycle each message sent so far went out in, in sending order.
  std::vector<int64_t> sentCycles() {
    std::lock_guard lock(mutex_);
    std::vector<int64_t> cycles;
    for (const Outgoing& message : kept_) cycles.push_back(message.cycle.load());
    return cycles;
  }

  std::size_t largestEvent() const { return largestEvent_.load(); }
  std::size_t eventsReceived() const { return events_.load(); }
  bool overflowed() const { return overflowed_.load(); }
  std::size_t messagesSent() const { return sent_.load(); }

  Inbox inbox;  // what reached the first input port

 private:
  struct Outgoing {
    Outgoing(std::vector<uint8_t> message, bool last)
        : bytes(std::move(message)), endsCycle(last) {}
    std::vector<uint8_t> bytes;
    bool endsCycle;                  // nothing more goes out in the cycle this one ends in
    std::atomic<int64_t> cycle{-1};  // set by the process thread
  };

  void queue(std::vector<uint8_t> message, bool endsCycle) {
    const Outgoing* kept = nullptr;
    {
      std::lock_guard lock(mutex_);
      kept_.emplace_back(std::move(message), endsCycle);  // stays put until this object goes
      kept = &kept_.back();
    }
    std::lock_guard lock(sendMutex_);
    jack_ringbuffer_write(outgoing_, reinterpret_cast<const char*>(&kept), sizeof kept);
    published_.fetch_add(1, std::memory_order_release);  // the ring's own order is not visible
  }

  static int process(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<RawJackDevice*>(arg);
    bool wrote = false;
    if (!self->ins_.empty()) {
      void* buffer = jack_port_get_buffer(self->ins_[0], frames);
      const uint32_t count = jack_midi_get_event_count(buffer);
      for (uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t event{};
        if (jack_midi_event_get(&event, buffer, i) != 0) continue;
        const uint32_t size = static_cast<uint32_t>(event.size);
        if (jack_ringbuffer_write_space(self->incoming_) < sizeof size + size) {
          self->overflowed_.store(true);
          continue;
        }
        jack_ringbuffer_write(self->incoming_, reinterpret_cast<const char*>(&size), sizeof size);
        jack_ringbuffer_write(self->incoming_, reinterpret_cast<const char*>(event.buffer), size);
        wrote = true;
        self->events_.fetch_add(1);
        if (size > self->largestEvent_.load()) self->largestEvent_.store(size);
      }
    }
    for (jack_port_t* port : self->outs_)
      jack_midi_clear_buffer(jack_port_get_buffer(port, frames));
    if (!self->outs_.empty()) {
      void* buffer = jack_port_get_buffer(self->outs_[0], frames);
      for (;;) {
        if (self->current_ == nullptr) {
          (void)self->published_.load(std::memory_order_acquire);
          if (jack_ringbuffer_read_space(self->outgoing_) < sizeof self->current_) break;
          const Outgoing* next = nullptr;
          jack_ringbuffer_read(self->outgoing_, reinterpret_cast<char*>(&next), sizeof next);
          self->current_ = const_cast<Outgoing*>(next);
          self->offset_ = 0;
        }
        const std::vector<uint8_t>& bytes = self->current_->bytes;
        const std::size_t room = jack_midi_max_event_size(buffer);
        const std::size_t left = bytes.size() - self->offset_;
        const std::size_t piece = std::min(room, left);
        if (piece == 0) break;
        if (jack_midi_event_write(buffer, 0, bytes.data() + self->offset_, piece) != 0) {
          break;
        }
        self->offset_ += piece;
        if (self->offset_ == bytes.size()) {
          Outgoing* done = self->current_;
          done->cycle.store(static_cast<int64_t>(jack_last_frame_time(self->client_) / frames));
          self->current_ = nullptr;
          self->sent_.fetch_add(1);
          if (done->endsCycle) break;
        }
      }
    }
    if (wrote) {
      const uint64_t one = 1;
      const ssize_t written = ::write(self->dataReady_, &one, sizeof one);
      (void)written;
    }
    return 0;
  }

  void collect() {
    std::vector<uint8_t> event(1u << 20);
    pollfd fds[2] = {{stop_, POLLIN, 0}, {dataReady_, POLLIN, 0}};
    for (;;) {
      if (::poll(fds, 2, -1) < 0) continue;
      if (fds[0].revents != 0) return;
      uint64_t value = 0;
      const ssize_t got = ::read(dataReady_, &value, sizeof value);
      (void)got;
      for (;;) {
        uint32_t size = 0;
        const std::size_t available = jack_ringbuffer_read_space(incoming_);
        if (available < sizeof size) break;
        jack_ringbuffer_peek(incoming_, reinterpret_cast<char*>(&size), sizeof size);
        if (available < sizeof size + size) break;
        jack_ringbuffer_read_advance(incoming_, sizeof size);
        jack_ringbuffer_read(incoming_, reinterpret_cast<char*>(event.data()), size);
        inbox.addPiece(event.data(), size);
      }
    }
  }

  bool ok_ = false;
  jack_client_t* client_ = nullptr;
  std::vector<jack_port_t*> outs_;
  std::vector<jack_port_t*> ins_;
  jack_ringbuffer_t* incoming_ = nullptr;
  jack_ringbuffer_t* outgoing_ = nullptr;
  int dataReady_ = -1;
  int stop_ = -1;
  std::thread collector_;
  std::mutex sendMutex_;
  std::mutex mutex_;
  std::deque<Outgoing> kept_;
  // Process thread.
  Outgoing* current_ = nullptr;
  std::size_t offset_ = 0;
  std::atomic<std::size_t> largestEvent_{0};
  std::atomic<std::size_t> events_{0};
  std::atomic<std::size_t> sent_{0};
  std::atomic<std::size_t> published_{0};
  std::atomic<bool> overflowed_{false};
};

}  // namespace rt88h::testing
