// rt88h-devsim: the device model on the machine's MIDI service, so that the updater (or anything
// else) can talk to a device that is not there.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <queue>
#include <string>
#include <thread>
#include <vector>

#include "app/core/command_line.h"
#include "midi/midi_service.h"
#include "sim/device_model.h"
#include "sim/devsim/options.h"
#ifdef DEVSIM_WITH_JACK
#include "midi/backends/jack_backend.h"
#include "midi/backends/late_cycles.h"
#endif
#ifdef DEVSIM_WITH_ALSA
#include "midi/backends/alsa_backend.h"
#include "sim/devsim/rawmidi_device.h"
#endif

namespace rt88h::devsim {
namespace {

using Clock = std::chrono::steady_clock;
using midi::MidiHeader;

constexpr std::string_view kBuiltWithoutJack = "built without JACK";

// Exit status when the device cannot be played: that of a wrong command line, as it always was.
constexpr int kExitNoPorts = 2;

constexpr std::size_t kLentBuffers = 4;
constexpr uint32_t kLentBufferSize = 65536;  // larger than any message of the protocol
constexpr auto kReopenInterval = std::chrono::milliseconds(100);

// There is no JACK to play on, rather than a JACK that refused: the reason to take ALSA instead.
bool noJack(const std::string& reason) {
#ifdef DEVSIM_WITH_JACK
  if (reason == midi::kNoJackServer) return true;
#endif
  return reason == kBuiltWithoutJack;
}

double secondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

class Player {
 public:
  Player(const Options& options, int finishedFd)
      : options_(options), finishedFd_(finishedFd), model_(options.config) {
    for (const sim::Fault& fault : options.faults) model_.addFault(fault);
  }

  ~Player() { stop(); }
  Player(const Player&) = delete;
  Player& operator=(const Player&) = delete;

  // Auto takes JACK when a server runs, else ALSA.
  bool open(std::string* reason) {
    backend_ = options_.backend == Backend::Auto ? Backend::Jack : options_.backend;
    if (!openPorts(reason)) {
      if (options_.backend != Backend::Auto || !noJack(*reason)) return false;
      backend_ = Backend::Alsa;
      withoutJack_ = *reason;
      if (!openPorts(reason)) {
        *reason = "JACK: " + withoutJack_ + "; ALSA: " + *reason;
        return false;
      }
    }
    if (!lendBuffers()) {
      *reason = "no receive buffer";
      return false;
    }
    thread_ = std::thread(&Player::run, this);
    in_->start();
    return true;
  }

  // The service open() took, and why JACK was passed over ("" when it was not).
  Backend backend() const { return backend_; }
  const std::string& withoutJack() const { return withoutJack_; }

  void stop() {
    {
      // Closed where it stands: a callback under way still hands its buffer back through in_.
      std::lock_guard lock(devicesMutex_);
      devicesStopped_ = true;
      if (in_) {
        in_->stop();
        in_->close();  // no callback from here on
        in_.reset();
      }
    }
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      changed_.notify_all();
    }
    {
      std::lock_guard lock(devicesMutex_);
      if (out_) out_->reset();  // a send under way ends now
    }
    if (thread_.joinable()) thread_.join();
    if (out_) {
      out_->close();
      out_.reset();
    }
  }

  // After stop().
  std::string report() const {
    std::string text = "rt88h-devsim report for \"" + options_.name + "\"\n";
    text += "Messages seen: " + std::to_string(model_.messages().size()) + " (" +
            std::to_string(model_.ignored()) + " not for this device)\n";
    text += "Layout violations: " + std::to_string(model_.violations().size()) + "\n";
    text +=
        "Messages cut short in transport (dropped): " + std::to_string(cutMessages_.load()) + "\n";
#ifdef DEVSIM_WITH_JACK
    if (jack_) {
      text += "JACK cycles made late: " + std::to_string(jack_->lateCyclesMade()) +
              ", xruns: " + std::to_string(jack_->xruns()) +
              ", irregular cycles: " + std::to_string(jack_->irregularCycles()) + "\n";
    }
#endif
    std::string difference;
    const bool matches = model_.flashMatchesPayloads(&difference);
    text += std::string("Flash equals the embedded payloads: ") +
            (matches ? "yes" : "no (" + difference + ")") + "\n";
    if (updateBegan_ && updateEnded_) {
      char line[64];
      std::snprintf(line, sizeof line, "Update duration: %.3f s\n",
                    secondsBetween(updateStart_, updateEnd_));
      text += line;
    } else if (updateBegan_) {
      text += "Update duration: not finished\n";
    } else {
      text += "Update duration: no update\n";
    }
    text += model_.report();
    return text;
  }

  bool sawViolations() const {
    return !model_.violations().empty();
  }
  bool flashComplete() const {
    return model_.flashMatchesPayloads();
  }

 private:
  bool openPorts(std::string* reason) {
    int result = midi::kMidiErrorNotReady;
    if (backend_ == Backend::Jack) {
#ifdef DEVSIM_WITH_JACK
      jack_ = midi::openJackEndpoint(options_.name, reason);
      if (!jack_) return false;
      result = jack_->openInput("midi_in", &Player::onInput, this, in_);
      if (result == midi::kMidiOk) result = jack_->openOutput("midi_out", out_);
#else
      *reason = std::string(kBuiltWithoutJack);
      return false;
#endif
    } else if (backend_ == Backend::RawMidi) {
#ifdef DEVSIM_WITH_ALSA
      if (!openRawMidi(options_.rawMidiDevice, &Player::onInput, this, in_, out_, reason)) {
        return false;
      }
      result = midi::kMidiOk;
      reattachable_ = true;
#else
      *reason = "built without ALSA";
      return false;
#endif
    } else {
#ifdef DEVSIM_WITH_ALSA
      alsa_ = midi::openAlsaEndpoint(options_.name, reason);
      if (!alsa_) return false;
      const bool named = !options_.portName.empty();
      result = alsa_->openInput(named ? options_.portName : "MIDI in", &Player::onInput, this, in_);
      if (result == midi::kMidiOk) {
        result = alsa_->openOutput(named ? options_.portName : "MIDI out", out_);
      }
#else
      *reason = "built without ALSA";
      return false;
#endif
    }
    if (result != midi::kMidiOk) {
      *reason = "the ports could not be made (error " + std::to_string(result) + ")";
      return false;
    }
    return true;
  }

  struct Arrived {
    std::vector<uint8_t> bytes;
    Clock::time_point at;
  };
  struct Outgoing {
    Clock::time_point due;
    uint64_t order;
    std::vector<uint8_t> bytes;
    bool endsUpdate;
    bool operator>(const Outgoing& other) const {
      return due != other.due ? due > other.due : order > other.order;
    }
  };
  struct LentBuffer {
    std::vector<uint8_t> bytes;
    MidiHeader header;
  };

  bool lendBuffers() {
    for (auto& buffer : buffers_) {
      buffer.bytes.resize(kLentBufferSize);
      buffer.header.flags.store(0);
      buffer.header.data = buffer.bytes.data();
      buffer.header.bufferLength = kLentBufferSize;
      if (in_->prepare(&buffer.header) != midi::kMidiOk ||
          in_->addBuffer(&buffer.header) != midi::kMidiOk) {
        return false;
      }
    }
    return true;
  }

  // The back-end's receiving thread: copy, hand the buffer back, wake the device thread.
  static void onInput(midi::InMessage message, void* instance, MidiHeader* header,
                      uint32_t /*shortMessage*/) {
    auto* self = static_cast<Player*>(instance);
    if (message == midi::InMessage::DeviceRemoved) {
      std::lock_guard lock(self->mutex_);
      self->unplugged_ = true;
      self->changed_.notify_all();
      return;
    }
    if (message == midi::InMessage::ShortData || header == nullptr) return;
    if (header->bytesRecorded == 0) return;  // given back by a reset: it stays with us
    if (message == midi::InMessage::LongData) {
      self->joinPiece(header->data, header->bytesRecorded);
    } else {
      self->dropCut();  // a message cut short never reaches the device
    }
    self->in_->addBuffer(header);
  }

  void dropCut() {
    joining_.clear();
    cutMessages_.fetch_add(1, std::memory_order_relaxed);
  }

  // A message longer than a buffer comes in several entries: they are joined up to the F7.
  void joinPiece(const uint8_t* bytes, std::size_t count) {
    try {
      if (bytes[0] == 0xF0 && !joining_.empty()) deliver();
      joining_.insert(joining_.end(), bytes, bytes + count);
      if (bytes[count - 1] == 0xF7) deliver();
    } catch (const std::bad_alloc&) {
      joining_.clear();
    }
  }

  void deliver() {
    std::lock_guard lock(mutex_);
    inbox_.push_back(Arrived{std::move(joining_), Clock::now()});
    joining_.clear();
    changed_.notify_all();
  }

  void run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      if (unplugged_) {
        lock.unlock();
        reattach();
        lock.lock();
      } else if (!inbox_.empty()) {
        Arrived arrived = std::move(inbox_.front());
        inbox_.pop_front();
        lock.unlock();
        answer(arrived);
        lock.lock();
      } else if (!outbox_.empty() && outbox_.top().due <= Clock::now()) {
        Outgoing outgoing = outbox_.top();
        outbox_.pop();
        lock.unlock();
        send(outgoing);
        lock.lock();
      } else if (outbox_.empty()) {
        changed_.wait(lock);
      } else {
        changed_.wait_until(lock, outbox_.top().due);
      }
    }
  }

  // Device thread; the model is only ever used here (and by report() after the thread ends).
  void answer(const Arrived& arrived) {
    std::vector<sim::Reply> replies;
    model_.receive(arrived.bytes.data(), arrived.bytes.size(), replies);
    if (model_.messages().empty()) return;
    const sim::SeenMessage& seen = model_.messages().back();
    if (seen.forThisDevice && seen.kind == sim::MessageKind::BeginUpdate && !updateBegan_) {
      updateBegan_ = true;
      updateStart_ = arrived.at;
    }
    if (seen.forThisDevice && seen.kind == sim::MessageKind::WriteData) {
      for (const Request& request : options_.requests) {
        if (request.write != seen.occurrence) continue;
        schedule(arrived.at,
                 request.identity ? sim::DeviceModel::identityRequest()
                                  : model_.deviceRequest(request.code),
                 false);
      }
    }
    // One message at a time: a copy of a chunk is programmed again after the first, so its
    // second answer comes a whole programming time after the first.
    Clock::time_point ready = std::max(arrived.at, busyUntil_);
    if (seen.forThisDevice && seen.kind == sim::MessageKind::WriteData) {
      ready += std::chrono::milliseconds(options_.programMs);
      busyUntil_ = ready;
    }
    for (sim::Reply& reply : replies) {
      schedule(ready + std::chrono::milliseconds(reply.delayMs), std::move(reply.bytes),
               seen.kind == sim::MessageKind::EndUpdate);
    }
    if (options_.verbose) {
      std::printf("%8.3f #%u %s", secondsBetween(started_, arrived.at), seen.index,
                  sim::kindName(seen.kind));
      if (seen.occurrence != 0) std::printf(" %u", seen.occurrence);
      std::printf(", %u bytes", seen.size);
      if (!seen.forThisDevice) std::printf(", not for this device");
      if (!seen.ok) std::printf(", not accepted");
      if (seen.faulted) std::printf(", fault");
      switch (seen.answer) {
        case sim::Answer::None: std::printf(", no answer"); break;
        case sim::Answer::Status: std::printf(", status %u", seen.status); break;
        case sim::Answer::Done: std::printf(", done"); break;
        case sim::Answer::IdentityReply: std::printf(", identity reply"); break;
        case sim::Answer::Other: std::printf(", other answer"); break;
      }
      std::printf("\n");
      std::fflush(stdout);
    }
  }

  // Device thread. Unplugged, the device forgets what it was about to say (its flash and state
  // stay) and waits for its raw MIDI device to come back.
  void reattach() {
    std::fprintf(stderr, "rt88h-devsim: unplugged\n");
    std::unique_ptr<midi::InDevice> in;
    std::unique_ptr<midi::OutDevice> out;
    {
      std::lock_guard lock(devicesMutex_);
      if (devicesStopped_) return;
      if (in_) in_->close();  // as in stop(): a callback under way still uses in_
      in_.reset();
      out = std::move(out_);
    }
    if (out) out->close();  // the kernel may drain a writer for up to 10 s
    out.reset();
    joining_.clear();
    updateBegan_ = false;  // the duration reported is the next update's
    {
      std::lock_guard lock(mutex_);
      unplugged_ = false;
      inbox_.clear();
      outbox_ = {};
    }
    if (!reattachable_) return;
    for (;;) {
      {
        std::unique_lock lock(mutex_);
        if (changed_.wait_for(lock, kReopenInterval, [this] { return stopping_; })) return;
      }
      std::string reason;
      if (!openRawMidi(options_.rawMidiDevice, &Player::onInput, this, in, out, &reason)) {
        continue;
      }
      std::lock_guard lock(devicesMutex_);
      if (devicesStopped_) return;  // in and out close on their way out
      in_ = std::move(in);
      out_ = std::move(out);
      if (!lendBuffers()) {
        std::fprintf(stderr, "rt88h-devsim: no receive buffer after the device came back\n");
        return;
      }
      in_->start();
      std::fprintf(stderr, "rt88h-devsim: plugged in again on %s\n",
                   options_.rawMidiDevice.c_str());
      return;
    }
  }

  void schedule(Clock::time_point due, std::vector<uint8_t> bytes, bool endsUpdate) {
    std::lock_guard lock(mutex_);
    outbox_.push(Outgoing{due, nextOrder_++, std::move(bytes), endsUpdate});
  }

  void send(Outgoing& outgoing) {
    MidiHeader header;
    header.data = outgoing.bytes.data();
    header.bufferLength = static_cast<uint32_t>(outgoing.bytes.size());
    if (out_->prepare(&header) != midi::kMidiOk) return;
    const int result = out_->longMsg(&header);
    if (result == midi::kMidiOk) {
      // The service sets the flag from its own thread and tells nobody.
      while ((header.flags.load() & midi::kHeaderDone) == 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    } else {
      std::fprintf(stderr, "rt88h-devsim: a reply of %zu bytes was not sent (error %d)\n",
                   outgoing.bytes.size(), result);
    }
    out_->unprepare(&header);
    if (outgoing.endsUpdate && !updateEnded_) {
      updateEnded_ = true;
      updateEnd_ = Clock::now();
      if (options_.exitAfterEnd) {
        const uint64_t one = 1;
        const ssize_t written = ::write(finishedFd_, &one, sizeof one);
        (void)written;
      }
    }
  }

  const Options& options_;
  Backend backend_ = Backend::Auto;
  std::string withoutJack_;
  int finishedFd_;
  sim::DeviceModel model_;
#ifdef DEVSIM_WITH_JACK
  std::unique_ptr<midi::JackEndpoint> jack_;
#endif
#ifdef DEVSIM_WITH_ALSA
  std::unique_ptr<midi::AlsaEndpoint> alsa_;
#endif
  std::mutex devicesMutex_;  // in_ and out_ against their replacement after an unplug
  bool devicesStopped_ = false;
  bool reattachable_ = false;  // a raw MIDI device, which comes back when plugged in again
  std::unique_ptr<midi::InDevice> in_;
  std::unique_ptr<midi::OutDevice> out_;
  std::array<LentBuffer, kLentBuffers> buffers_;
  std::vector<uint8_t> joining_;  // receiving thread
  std::atomic<uint64_t> cutMessages_{0};

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Arrived> inbox_;
  std::priority_queue<Outgoing, std::vector<Outgoing>, std::greater<>> outbox_;
  uint64_t nextOrder_ = 0;
  bool stopping_ = false;
  bool unplugged_ = false;
  std::thread thread_;

  // Device thread.
  const Clock::time_point started_ = Clock::now();
  bool updateBegan_ = false;
  bool updateEnded_ = false;
  Clock::time_point busyUntil_;  // the end of the chunk being programmed
  Clock::time_point updateStart_;
  Clock::time_point updateEnd_;
};

std::string serviceName(Backend backend, const Options& options) {
  switch (backend) {
    case Backend::Auto: return "JACK or ALSA";
    case Backend::Jack: return "JACK";
    case Backend::Alsa: return "ALSA";
    case Backend::RawMidi: return "raw MIDI device " + options.rawMidiDevice;
  }
  return "?";
}

int run(int argc, char** argv) {
  const std::string program = app::programName(argv[0]);
  Options options;
  std::string error;
  if (!parseOptions(argc, argv, options, &error)) {
    std::fputs(app::wrongCommandLineText(program, error).c_str(), stderr);
    return app::kExitWrongCommandLine;
  }
  if (options.help || options.version) {
    std::fputs((options.help ? usage(program) : app::versionText(program)).c_str(), stdout);
    return 0;
  }
  if (!options.jackServer.empty()) ::setenv("JACK_DEFAULT_SERVER", options.jackServer.c_str(), 1);
#ifdef DEVSIM_WITH_JACK
  // Read by the back-end when it opens the client.
  if (!options.lateCycles.empty()) {
    ::setenv(midi::kLateCyclesVariable, options.lateCycles.c_str(), 1);
  }
#endif

  // Every thread started from here on leaves these signals to the signalfd.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  const int signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC);
  const int finishedFd = ::eventfd(0, EFD_CLOEXEC);
  if (signalFd < 0 || finishedFd < 0) {
    std::fprintf(stderr, "rt88h-devsim: no signalfd or eventfd\n");
    return kExitNoPorts;
  }

  int status = 0;
  {
    Player player(options, finishedFd);
    std::string reason;
    if (!player.open(&reason)) {
      std::fprintf(stderr, "rt88h-devsim: cannot play \"%s\" on %s: %s\n", options.name.c_str(),
                   serviceName(options.backend, options).c_str(), reason.c_str());
      return kExitNoPorts;
    }
    // One line that says which service it took, and why not JACK when it chose.
    const std::string why =
        player.withoutJack().empty() ? "" : " (JACK: " + player.withoutJack() + ")";
    std::fprintf(stderr, "rt88h-devsim: playing \"%s\" (model %02X) on %s%s\n",
                 options.name.c_str(), options.config.model,
                 serviceName(player.backend(), options).c_str(), why.c_str());

    pollfd fds[2] = {{signalFd, POLLIN, 0}, {finishedFd, POLLIN, 0}};
    while (::poll(fds, 2, -1) < 0 && errno == EINTR) {
    }
    player.stop();
    std::printf("%s", player.report().c_str());
    std::fflush(stdout);
    if (player.sawViolations()) status = 1;
    if (options.expectComplete && !player.flashComplete()) status = 1;
  }
  ::close(signalFd);
  ::close(finishedFd);
  return status;
}

}  // namespace
}  // namespace rt88h::devsim

int main(int argc, char** argv) {
  return rt88h::devsim::run(argc, argv);
}
