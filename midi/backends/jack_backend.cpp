#include "midi/backends/jack_backend.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "midi/backends/common.h"
#include "midi/backends/header_flags.h"
#include "midi/backends/jack_splitter.h"
#include "midi/backends/lent_buffers.h"
#if RT88H_TEST_HOOKS
#include "midi/backends/late_cycles.h"
#endif
#include "midi/event_fd.h"

namespace rt88h::midi {
namespace {

constexpr std::size_t kSlots = 64;                 // open devices of one client
constexpr std::size_t kInputRingBytes = 1u << 18;  // several cycles of SysEx at full speed
constexpr std::size_t kSendQueueDepth = 64;        // sends waiting for the process callback
constexpr uint32_t kRecordLost = 0x80000000u;      // events were dropped before this record

// What precedes an event's bytes in the input ring.
struct RecordHeader {
  uint32_t sizeAndLost = 0;
  uint32_t unused = 0;
  Arrival stamp;  // when the cycle ran: taken once at its start, carried with every event
};
constexpr std::size_t kRecordHeader = sizeof(RecordHeader);

void quiet(const char* /*message*/) {}

// What a sender hands the process callback: the bytes stay in the sender's buffer.
// jack_ringbuffer orders its reads and writes with barriers inside libjack, which
// ThreadSanitizer cannot see; these counters repeat that ordering where it can.
class RingOrder {
 public:
  void beforeWrite() noexcept { (void)read_.load(std::memory_order_acquire); }
  void afterWrite() noexcept { written_.fetch_add(1, std::memory_order_release); }
  void beforeRead() noexcept { (void)written_.load(std::memory_order_acquire); }
  void afterRead() noexcept { read_.fetch_add(1, std::memory_order_release); }

 private:
  std::atomic<uint64_t> written_{0};
  std::atomic<uint64_t> read_{0};
};

struct Pending {
  MidiHeader* header;
  uint32_t length;
};

constexpr int kWaitTimedOut = -1;
constexpr int kWaitFailed = -2;  // poll itself failed (not EINTR), or a descriptor is invalid

#if RT88H_TEST_HOOKS
std::atomic<PollFunction> inputPoll{nullptr};  // null: ::poll
PollFunction inputPollFunction() {
  return inputPoll.load();
}
#else
PollFunction inputPollFunction() {
  return nullptr;
}
#endif

// Index of the first readable descriptor, kWaitTimedOut or kWaitFailed (errno says why).
int waitReadable(std::initializer_list<int> fds, int timeoutMs, PollFunction poll = nullptr) {
  std::array<pollfd, 4> set{};
  std::size_t n = 0;
  for (int fd : fds) set[n++] = pollfd{fd, POLLIN, 0};
  for (;;) {
    const int ready =
        poll != nullptr ? poll(set.data(), n, timeoutMs) : ::poll(set.data(), n, timeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return kWaitFailed;
    if (ready == 0) return kWaitTimedOut;
    for (std::size_t i = 0; i < n; ++i) {
      if ((set[i].revents & POLLNVAL) != 0) {
        errno = EBADF;
        return kWaitFailed;
      }
      if ((set[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0) return static_cast<int>(i);
    }
    return kWaitTimedOut;
  }
}

// One of our ports, driven by the client's process callback.
class CycleUser {
 public:
  virtual void process(jack_nframes_t frames, const Arrival& stamp) noexcept = 0;
  // Later in the same call, once its late cycles are counted.
  virtual void callCounted() noexcept {}
  // The server has gone: no cycle runs any more (watcher thread).
  virtual void serverGone() noexcept = 0;

 protected:
  ~CycleUser() = default;
};

class JackClient {
 public:
  static std::shared_ptr<JackClient> open(const std::string& name, const std::string& server,
                                          bool exactName, std::string* reason);
  ~JackClient();
  JackClient(const JackClient&) = delete;
  JackClient& operator=(const JackClient&) = delete;

  jack_client_t* raw() const { return client_; }
  std::string name() const { return jack_get_client_name(client_); }
  bool gone() const { return gone_.load(); }
  uint64_t xruns() const { return xruns_.load(); }
  uint64_t irregularCycles() const { return irregularCycles_.load(); }
  uint64_t lateCyclesMade() const;
  // Late calls with output of ours at stake: what we wrote may be read a second time.
  uint64_t ownLateCycles() const { return lateAtStake_.load(); }
  // Process thread: an output port holds events in this call.
  void noteOutput() noexcept { now_.wrote = true; }
  // Process thread: whether a send may start in this call; false: it waits for the next.
  bool mayStartSend() noexcept;
  std::string nextPortName(const char* prefix) {
    return std::string(prefix) + "_" + std::to_string(++portsMade_);
  }

  bool attach(CycleUser* user, std::size_t* slot);
  // Returns once the process callback no longer sees the user.
  void detach(std::size_t slot);
  // Returns once done() holds, looked at again after every cycle, or the server is gone.
  template <class Done>
  void waitCycles(Done done);
  // Returns once no cycle is running; for the time after the server has gone.
  void settle();

 private:
  JackClient() = default;
  static int processThunk(jack_nframes_t frames, void* arg);
  static int xrunThunk(void* arg) noexcept;
  Arrival beginCall(jack_nframes_t frames) noexcept;
  void endCall() noexcept;
  // Process thread: the server began its next cycle during this call, which makes it late.
  bool nextCycleBegan() const noexcept { return jack_last_frame_time(client_) != lastFrames_; }
#if RT88H_TEST_HOOKS
  void beLate(jack_nframes_t frames) noexcept;
#endif
  static void shutdownThunk(jack_status_t code, const char* reason, void* arg) noexcept;
  void watch();

  jack_client_t* client_ = nullptr;
  std::array<std::atomic<CycleUser*>, kSlots> slots_{};
  std::mutex slotMutex_;  // attach, detach and the watcher; never taken by the process thread
  std::atomic<uint64_t> cycles_{0};  // odd while a cycle runs
  std::atomic<int> waiters_{0};
  std::atomic<bool> gone_{false};
  std::atomic<unsigned> portsMade_{0};
  // Process thread: the calls of the process callback so far, and the frame time of the last.
  int64_t processCycles_ = 0;
  jack_nframes_t lastFrames_ = 0;
  std::atomic<uint64_t> xruns_{0};
  // Calls whose frame time did not advance by exactly one period since the call before: the
  // same cycle run twice, or a cycle skipped. Events read twice were read in such calls.
  std::atomic<uint64_t> irregularCycles_{0};
  // Late calls (begun irregularly, or ended after the next cycle began) with output of ours in
  // them or next to them: that output may reach its peer twice (see endCall).
  std::atomic<uint64_t> lateAtStake_{0};
  struct Call {
    bool wrote = false;  // output of ours went out in it
    bool late = false;
    bool counted = false;  // in lateAtStake_
  };
  Call now_;  // process thread: the call under way, and the one before
  Call before_;
#if RT88H_TEST_HOOKS
  // RT88H_TEST_JACK_LATE: set before activation, then read by the process thread.
  LateCycles late_;
  uint64_t processCalls_ = 0;  // process thread
  uint64_t sendsStarted_ = 0;
  int callsHeld_ = 0;     // calls the next send has waited
  bool lateNow_ = false;  // a send pattern chose this call
  std::atomic<uint64_t> lateMade_{0};
#endif
  jack_nframes_t sampleRate_ = 48000;
  EventFd cycleEnded_;
  EventFd shutdown_;
  EventFd stopWatch_;
  std::thread watcher_;
  bool active_ = false;
};

std::shared_ptr<JackClient> JackClient::open(const std::string& name, const std::string& server,
                                             bool exactName, std::string* reason) {
  jack_set_error_function(quiet);  // the library's own chatter when no server runs
  jack_set_info_function(quiet);
  std::shared_ptr<JackClient> client;
  try {
    client.reset(new JackClient);
  } catch (const std::bad_alloc&) {
    if (reason) *reason = "out of memory";
    return nullptr;
  }
  if (!client->cycleEnded_.valid() || !client->shutdown_.valid() || !client->stopWatch_.valid()) {
    if (reason) *reason = "no eventfd";
    return nullptr;
  }
  std::string clientName = name.substr(0, static_cast<std::size_t>(jack_client_name_size() - 1));
  const auto options =
      static_cast<jack_options_t>(JackNoStartServer | (exactName ? JackUseExactName : 0) |
                                  (server.empty() ? 0 : JackServerName));
  jack_status_t status{};
  client->client_ = server.empty()
                        ? jack_client_open(clientName.c_str(), options, &status)
                        : jack_client_open(clientName.c_str(), options, &status, server.c_str());
  if (client->client_ == nullptr) {
    if (reason) {
      *reason = (status & JackNameNotUnique) != 0  ? "the client name is taken"
                : (status & JackServerFailed) != 0 ? std::string(kNoJackServer)
                                                   : "the JACK server refused the client";
    }
    return nullptr;
  }
#if RT88H_TEST_HOOKS
  if (const char* pattern = std::getenv(kLateCyclesVariable);
      pattern != nullptr && *pattern != '\0') {
    std::string error;
    if (parseLateCycles(pattern, &client->late_, &error)) {
      std::fprintf(stderr, "rt88h: JACK client made late in chosen cycles (%s=%s)\n",
                   kLateCyclesVariable, pattern);
    } else {
      std::fprintf(stderr, "rt88h: %s ignored: %s\n", kLateCyclesVariable, error.c_str());
    }
  }
#endif
  client->sampleRate_ = jack_get_sample_rate(client->client_);
  jack_set_process_callback(client->client_, &JackClient::processThunk, client.get());
  jack_set_xrun_callback(client->client_, &JackClient::xrunThunk, client.get());
  jack_on_info_shutdown(client->client_, &JackClient::shutdownThunk, client.get());
  try {
    client->watcher_ = std::thread(&JackClient::watch, client.get());
  } catch (...) {
    if (reason) *reason = "no thread";
    return nullptr;
  }
  if (jack_activate(client->client_) != 0) {
    if (reason) *reason = "the client could not be activated";
    return nullptr;
  }
  client->active_ = true;
  return client;
}

JackClient::~JackClient() {
  // Each costs an update a wait of seconds: a slow update over a busy server says why.
  if (const uint64_t late = lateAtStake_.load(); late != 0) {
    std::fprintf(stderr, "rt88h: JACK: %llu late cycles with output of ours at stake\n",
                 static_cast<unsigned long long>(late));
  }
  if (watcher_.joinable()) {
    stopWatch_.signal();
    watcher_.join();
  }
  if (client_ != nullptr) {
    // After jack_deactivate returns the process callback is not running and never runs again.
    if (active_ && !gone_.load()) jack_deactivate(client_);
    jack_client_close(client_);
  }
}

int JackClient::processThunk(jack_nframes_t frames, void* arg) {
  auto* self = static_cast<JackClient*>(arg);
  // 1. libjack ends this thread with an asynchronous pthread_cancel when the client deactivates.
  // 2. Mid-cycle that would leave a device's state half changed (consuming_, the ring), so it
  //    is held off until the cycle is done.
  // 3. Let in again at the end, it unwinds from here: hence this function is not noexcept.
  int cancelState = PTHREAD_CANCEL_ENABLE;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancelState);
  self->cycles_.fetch_add(1);
  const Arrival stamp = self->beginCall(frames);
  // The same users to the end of the call: detach() waits for it to end.
  std::array<CycleUser*, kSlots> users{};
  std::size_t count = 0;
  for (auto& slot : self->slots_) {
    if (CycleUser* user = slot.load(std::memory_order_acquire)) users[count++] = user;
  }
  for (std::size_t i = 0; i < count; ++i) users[i]->process(frames, stamp);
#if RT88H_TEST_HOOKS
  if (self->late_.active) self->beLate(frames);
#endif
  self->endCall();
  // Only now are this call's sends done: whoever reads the count once a send returned finds
  // every late call that can have repeated it.
  for (std::size_t i = 0; i < count; ++i) users[i]->callCounted();
  self->cycles_.fetch_add(1);
  if (self->waiters_.load() > 0) self->cycleEnded_.signal();
  pthread_setcancelstate(cancelState, nullptr);
  return 0;
}

// Process thread; no allocation: the clock is a vDSO call. Cycles are this client's calls, not
// the server's frame time over the period: measured with late clients, an event read a second
// time always came in the client's next call, while the frame time had moved by 0 or 2
// periods, never by 1.
Arrival JackClient::beginCall(jack_nframes_t frames) noexcept {
  Arrival stamp;
  stamp.atUs = steadyNowUs();
  stamp.cycle = ++processCycles_;
  stamp.cycleUs = sampleRate_ == 0 ? 0 : int64_t{frames} * 1'000'000 / sampleRate_;
  before_ = now_;
  now_ = Call{};
  const jack_nframes_t nowFrames = jack_last_frame_time(client_);
  if (processCycles_ > 1 && static_cast<jack_nframes_t>(nowFrames - lastFrames_) != frames) {
    irregularCycles_.fetch_add(1, std::memory_order_relaxed);
    now_.late = true;  // a cycle ran without this client, or twice with it
  }
  lastFrames_ = nowFrames;
  return stamp;
}

// Process thread. A late call may make JACK read again what we wrote in it or in the call
// after it (measured: after a late call that wrote nothing, the next call's message was read
// twice). What the call before wrote is gone: every call clears our output first, and the
// device runs on our output only once we end a call. Each late call counts once, as soon as
// output of ours is at stake, here at the end of the call that wrote it, before its sends are
// done; a late call with none near it costs the update nothing. Late is the server's own cycle
// count, not the wall clock: on a busy machine without real-time threads, the clock said
// "late" thousands of times in runs whose server saw no late client.
void JackClient::endCall() noexcept {
  if (nextCycleBegan()) now_.late = true;
  if (before_.late && !before_.counted && now_.wrote) {
    lateAtStake_.fetch_add(1, std::memory_order_relaxed);
  }
  if (now_.late && !now_.counted && now_.wrote) {
    lateAtStake_.fetch_add(1, std::memory_order_relaxed);
    now_.counted = true;
  }
}

int JackClient::xrunThunk(void* arg) noexcept {
  static_cast<JackClient*>(arg)->xruns_.fetch_add(1);
  return 0;
}

#if RT88H_TEST_HOOKS
uint64_t JackClient::lateCyclesMade() const {
  return lateMade_.load();
}

// The send patterns count the messages that start. "before-send:" holds the chosen one back
// two calls, the second of them late: a late call without output after one without output.
bool JackClient::mayStartSend() noexcept {
  if (!late_.active || late_.counts != LateCycles::Counts::Sends) return true;
  if (late_.beforeSend && callsHeld_ < 2 && late_.lateIn(sendsStarted_ + 1)) {
    lateNow_ = ++callsHeld_ == 2;
    return false;
  }
  callsHeld_ = 0;
  ++sendsStarted_;
  if (!late_.beforeSend && late_.lateIn(sendsStarted_)) lateNow_ = true;
  return true;
}

// Overstays the period on purpose. A sleep allocates nothing.
void JackClient::beLate(jack_nframes_t frames) noexcept {
  ++processCalls_;
  const bool chosen = late_.counts == LateCycles::Counts::Calls ? late_.lateIn(processCalls_)
                                                                : std::exchange(lateNow_, false);
  if (!chosen || sampleRate_ == 0) return;
  const auto ns = static_cast<int64_t>(late_.periods * 1e9 * frames / sampleRate_);
  timespec rest{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, 0, &rest, &rest) == EINTR) {
  }
  // A server slowed down itself (a sanitizer, a busy machine) may not have begun the next cycle
  // yet: then the call was not late to it, and nothing of ours can be read twice.
  if (nextCycleBegan()) lateMade_.fetch_add(1);
}
#else
uint64_t JackClient::lateCyclesMade() const {
  return 0;
}

bool JackClient::mayStartSend() noexcept {
  return true;
}
#endif

// Called like a signal handler: only flags and eventfds.
void JackClient::shutdownThunk(jack_status_t /*code*/, const char* /*reason*/, void* arg) noexcept {
  auto* self = static_cast<JackClient*>(arg);
  self->gone_.store(true);
  self->shutdown_.signal();
  self->cycleEnded_.signal();
}

void JackClient::watch() {
  for (;;) {
    const int which = waitReadable({stopWatch_.fd(), shutdown_.fd()}, -1);
    if (which == 0) return;
    if (which == kWaitFailed) {
      // Never a busy loop; the shutdown flag is still seen, a little later.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (!gone_.load()) continue;
    } else if (which != 1) {
      continue;
    }
    shutdown_.drain();
    settle();
    // Sends in progress end now; nothing would ever finish them otherwise.
    std::lock_guard lock(slotMutex_);
    for (auto& slot : slots_) {
      if (CycleUser* user = slot.load()) user->serverGone();
    }
  }
}

bool JackClient::attach(CycleUser* user, std::size_t* slot) {
  std::lock_guard lock(slotMutex_);
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].load() == nullptr) {
      slots_[i].store(user, std::memory_order_release);
      *slot = i;
      return true;
    }
  }
  return false;
}

void JackClient::detach(std::size_t slot) {
  {
    std::lock_guard lock(slotMutex_);
    slots_[slot].store(nullptr);
  }
  // A cycle that began before the store may still hold the pointer: wait for its end.
  const uint64_t seen = cycles_.load();
  if (seen % 2 == 0) return;
  waitCycles([&] { return cycles_.load() != seen; });
  settle();
}

template <class Done>
void JackClient::waitCycles(Done done) {
  waiters_.fetch_add(1);
  while (!done() && !gone_.load()) {
    // The timeout only covers a wake-up that another waiter took.
    if (waitReadable({cycleEnded_.fd()}, 50) == 0) cycleEnded_.drain();
  }
  waiters_.fetch_sub(1);
}

void JackClient::settle() {
  // A cycle under way when the server went still runs to its end in our code; it does not
  // wait on anything, so this is short. Bounded in case the thread was taken down with it.
  for (int i = 0; i < 200 && cycles_.load() % 2 != 0; ++i) {
    waitReadable({cycleEnded_.fd()}, 10);
    cycleEnded_.drain();
  }
}

// A cycle's output buffer for the splitter. Every piece goes at frame 0: events of one cycle
// must not go back in time, and equal times keep their order.
class PortSpace final : public EventSpace {
 public:
  explicit PortSpace(void* buffer) : buffer_(buffer) {}
  std::size_t maxEventSize() override { return jack_midi_max_event_size(buffer_); }
  uint8_t* reserve(std::size_t size) override { return jack_midi_event_reserve(buffer_, 0, size); }

 private:
  void* buffer_;
};

class JackOutDevice final : public OutDevice, public CycleUser {
 public:
  JackOutDevice(std::shared_ptr<JackClient> client, jack_port_t* port, jack_ringbuffer_t* queue)
      : client_(std::move(client)), port_(port), queue_(queue) {}
  ~JackOutDevice() override {
    close();
    jack_ringbuffer_free(queue_);
  }
  JackOutDevice(const JackOutDevice&) = delete;
  JackOutDevice& operator=(const JackOutDevice&) = delete;

  bool begin() {
    attached_ = client_->attach(this, &slot_);
    return attached_;
  }

  int prepare(MidiHeader* header) override { return prepareHeader(header); }

  int longMsg(MidiHeader* header) override {
    if (header == nullptr || (header->data == nullptr && header->bufferLength != 0)) {
      return kMidiErrorInvalidHandle;
    }
    if (const int refused = headerTakeable(header->flags.load()); refused != kMidiOk) {
      return refused;
    }
    std::lock_guard lock(mutex_);
    if (closed_ || client_->gone()) return kMidiErrorNotReady;
    order_.beforeWrite();
    // Full for now, not gone: NotReady would read as an unplugged device.
    if (jack_ringbuffer_write_space(queue_) < sizeof(Pending)) return kMidiErrorNoMemory;
    markQueued(header);
    const Pending pending{header, header->bufferLength};
    jack_ringbuffer_write(queue_, reinterpret_cast<const char*>(&pending), sizeof pending);
    order_.afterWrite();
    return kMidiOk;
  }

  int unprepare(MidiHeader* header) override { return unprepareHeader(header); }

  int reset() override {
    std::lock_guard lock(mutex_);
    finishAllSends();
    return kMidiOk;
  }

  int close() override {
    {
      std::lock_guard lock(mutex_);
      if (closed_) return kMidiOk;
      closed_ = true;
      finishAllSends();
    }
    // Without a slot of its own, slot_ is another device's.
    if (attached_) client_->detach(slot_);
    jack_port_unregister(client_->raw(), port_);
    return kMidiOk;
  }

  // Holds the consumer's part to the end of the call (callCounted).
  void process(jack_nframes_t frames, const Arrival& /*stamp*/) noexcept override {
    void* buffer = jack_port_get_buffer(port_, frames);
    // Cleared in every cycle, else last cycle's events would go out again.
    jack_midi_clear_buffer(buffer);
    if (consuming_.exchange(true, std::memory_order_acquire)) return;  // a reset is at work
    consumingThisCall_ = true;
    PortSpace space(buffer);
    while (finishedCount_ < finished_.size()) {
      if (current_ == nullptr) {
        Pending pending{};
        order_.beforeRead();
        if (jack_ringbuffer_read_space(queue_) < sizeof pending || !client_->mayStartSend()) break;
        jack_ringbuffer_read(queue_, reinterpret_cast<char*>(&pending), sizeof pending);
        order_.afterRead();
        current_ = pending.header;
        splitter_.start(pending.header->data, pending.length);
      }
      if (!splitter_.writeInto(space)) break;  // the rest goes in the next cycle
      finishCurrent();
    }
    if (jack_midi_get_event_count(buffer) > 0) client_->noteOutput();
  }

  // The call's late cycles are counted: the sends it finished are their senders' again.
  void callCounted() noexcept override {
    if (!consumingThisCall_) return;
    consumingThisCall_ = false;
    handBackFinished();
    consuming_.store(false, std::memory_order_release);
  }

  void serverGone() noexcept override {
    std::lock_guard lock(mutex_);
    finishAllSends();
  }

 private:
  // Consumer's part only: written out, handed back with the others once the call is counted.
  void finishCurrent() noexcept {
    finished_[finishedCount_++] = current_;
    current_ = nullptr;
    splitter_.clear();
  }

  // A header is the sender's again the moment the flag is set: not touched after.
  void handBackFinished() noexcept {
    for (std::size_t i = 0; i < finishedCount_; ++i) markDone(finished_[i]);
    finishedCount_ = 0;
  }

  // Consumer's part only.
  void finishQueued() noexcept {
    if (current_ != nullptr) finishCurrent();
    handBackFinished();
    Pending pending{};
    for (;;) {
      order_.beforeRead();
      if (jack_ringbuffer_read_space(queue_) < sizeof pending) break;
      jack_ringbuffer_read(queue_, reinterpret_cast<char*>(&pending), sizeof pending);
      order_.afterRead();
      markDone(pending.header);
    }
  }

  // mutex_ held. Takes the consumer's part from the process thread, which holds it from its
  // process() to the end of that call only, so this works whether cycles run or not.
  void finishAllSends() noexcept {
    while (consuming_.exchange(true, std::memory_order_acquire)) std::this_thread::yield();
    finishQueued();
    consuming_.store(false, std::memory_order_release);
  }

  std::shared_ptr<JackClient> client_;
  jack_port_t* port_;
  jack_ringbuffer_t* queue_;
  RingOrder order_;
  std::size_t slot_ = 0;
  bool attached_ = false;
  std::mutex mutex_;  // senders, reset, close and the watcher
  bool closed_ = false;
  // Held by whoever does the consumer's part: reading the queue, current_, splitter_, finished_.
  std::atomic<bool> consuming_{false};
  bool consumingThisCall_ = false;  // process thread
  MidiHeader* current_ = nullptr;
  MessageSplitter splitter_;
  // Written out in this call, not yet handed back: every queued send and the one under way.
  std::array<MidiHeader*, kSendQueueDepth + 1> finished_{};
  std::size_t finishedCount_ = 0;
};

class JackInDevice final : public LentBuffersInDevice, public CycleUser {
 public:
  JackInDevice(std::shared_ptr<JackClient> client, jack_port_t* port, jack_ringbuffer_t* ring,
               InCallback callback, void* instance)
      : LentBuffersInDevice(callback, instance),
        client_(std::move(client)),
        port_(port),
        ring_(ring),
        lateAtOpen_(client_->ownLateCycles()) {}
  ~JackInDevice() override {
    close();
    jack_ringbuffer_free(ring_);
  }
  JackInDevice(const JackInDevice&) = delete;
  JackInDevice& operator=(const JackInDevice&) = delete;

  bool begin() {
    if (!dataReady_.valid() || !stopReader_.valid()) return false;
    try {
      scratch_.resize(kInputRingBytes);
      reader_ = std::thread(&JackInDevice::readLoop, this);
    } catch (...) {
      return false;
    }
    if (client_->attach(this, &slot_)) {
      attached_ = true;
      return true;
    }
    return false;
  }

  int close() override {
    if (closed_) return kMidiOk;
    closed_ = true;
    if (attached_) client_->detach(slot_);
    if (reader_.joinable()) {
      stopReader_.signal();
      reader_.join();
    }
    lent_->close();
    jack_port_unregister(client_->raw(), port_);
    return kMidiOk;
  }

  // Copies the cycle's events into the ring; the reader thread does the rest.
  void process(jack_nframes_t frames, const Arrival& stamp) noexcept override {
    void* buffer = jack_port_get_buffer(port_, frames);
    bool wrote = false;
    if (lost_) wrote = putRecord(nullptr, 0, stamp);
    const uint32_t count = jack_midi_get_event_count(buffer);
    for (uint32_t i = 0; i < count; ++i) {
      jack_midi_event_t event{};
      if (jack_midi_event_get(&event, buffer, i) != 0) continue;
      wrote = putRecord(event.buffer, event.size, stamp) || wrote;
    }
    if (wrote) dataReady_.signal();
  }

  // Nothing more arrives: the device is as good as unplugged.
  void serverGone() noexcept override { lent_->deviceRemoved(); }

  // Its own losses, and every cycle the client was late in since this device opened. Another
  // client's lateness loses messages but never repeats one of ours (measured), so the server's
  // xruns are not counted: on a busy server they come many times a second.
  uint64_t transportTroubles() const override {
    return troubles_.load() + (client_->ownLateCycles() - lateAtOpen_);
  }

 private:
  // A record: its size with the lost flag, then the bytes. A record that does not fit is
  // dropped, and the next one tells the reader so.
  bool putRecord(const uint8_t* bytes, std::size_t size, const Arrival& stamp) noexcept {
    order_.beforeWrite();
    if (size >= kRecordLost || jack_ringbuffer_write_space(ring_) < kRecordHeader + size) {
      lost_ = true;
      return false;
    }
    RecordHeader header;
    header.sizeAndLost = static_cast<uint32_t>(size) | (lost_ ? kRecordLost : 0);
    header.stamp = stamp;
    jack_ringbuffer_write(ring_, reinterpret_cast<const char*>(&header), kRecordHeader);
    if (size != 0) jack_ringbuffer_write(ring_, reinterpret_cast<const char*>(bytes), size);
    order_.afterWrite();
    lost_ = false;
    return true;
  }

  void readLoop() {
    for (;;) {
      const int which = waitReadable({stopReader_.fd(), dataReady_.fd()}, -1, inputPollFunction());
      if (which == 0) return;
      if (which == kWaitFailed) {
        // Waiting again would fail again at once: input ends here, and says so.
        const int error = errno;
        troubles_.fetch_add(1);
        std::fprintf(stderr, "rt88h: JACK input stopped: poll failed: %s\n", std::strerror(error));
        lent_->endMessage();
        return;
      }
      dataReady_.drain();
      for (;;) {
        order_.beforeRead();
        const std::size_t available = jack_ringbuffer_read_space(ring_);
        if (available < kRecordHeader) break;
        RecordHeader header;
        jack_ringbuffer_peek(ring_, reinterpret_cast<char*>(&header), kRecordHeader);
        const std::size_t size = header.sizeAndLost & ~kRecordLost;
        if (available < kRecordHeader + size) break;  // its bytes follow in a moment
        jack_ringbuffer_read_advance(ring_, kRecordHeader);
        jack_ringbuffer_read(ring_, reinterpret_cast<char*>(scratch_.data()), size);
        order_.afterRead();
        if ((header.sizeAndLost & kRecordLost) != 0) {
          troubles_.fetch_add(1);
          deliverLoss(events_, *lent_);
        }
        if (size != 0) {
          deliverPiece(scratch_.data(), size, events_, *lent_, header.stamp);
        }
      }
    }
  }

  std::shared_ptr<JackClient> client_;
  jack_port_t* port_;
  jack_ringbuffer_t* ring_;
  RingOrder order_;
  std::size_t slot_ = 0;
  bool attached_ = false;
  bool closed_ = false;
  EventFd dataReady_;
  EventFd stopReader_;
  std::thread reader_;
  bool lost_ = false;  // process thread
  std::atomic<uint64_t> troubles_{0};
  const uint64_t lateAtOpen_;
  std::vector<uint8_t> scratch_;  // reader thread
  EventReader events_;            // reader thread
};

int openJackOutput(const std::shared_ptr<JackClient>& client, const char* connectTo,
                   const std::string& portName, std::unique_ptr<OutDevice>& device) {
  jack_port_t* port = jack_port_register(client->raw(), portName.c_str(), JACK_DEFAULT_MIDI_TYPE,
                                         JackPortIsOutput, 0);
  if (port == nullptr) return kMidiErrorNotReady;
  jack_ringbuffer_t* queue = jack_ringbuffer_create(kSendQueueDepth * sizeof(Pending));
  if (queue == nullptr) {
    jack_port_unregister(client->raw(), port);
    return kMidiErrorNoMemory;
  }
  std::unique_ptr<JackOutDevice> out(new (std::nothrow) JackOutDevice(client, port, queue));
  if (!out) {
    jack_ringbuffer_free(queue);
    jack_port_unregister(client->raw(), port);
    return kMidiErrorNoMemory;
  }
  if (!out->begin()) return kMidiErrorNoMemory;  // out's destruction undoes the rest
  if (connectTo != nullptr) {
    const int result = jack_connect(client->raw(), jack_port_name(port), connectTo);
    if (result != 0 && result != EEXIST) return kMidiErrorBadDevice;
  }
  device = std::move(out);
  return kMidiOk;
}

int openJackInput(const std::shared_ptr<JackClient>& client, const char* connectFrom,
                  const std::string& portName, InCallback callback, void* instance,
                  std::unique_ptr<InDevice>& device) {
  jack_port_t* port = jack_port_register(client->raw(), portName.c_str(), JACK_DEFAULT_MIDI_TYPE,
                                         JackPortIsInput, 0);
  if (port == nullptr) return kMidiErrorNotReady;
  jack_ringbuffer_t* ring = jack_ringbuffer_create(kInputRingBytes);
  if (ring == nullptr) {
    jack_port_unregister(client->raw(), port);
    return kMidiErrorNoMemory;
  }
  jack_ringbuffer_mlock(ring);  // best effort: limits may forbid it
  std::unique_ptr<JackInDevice> in(new (std::nothrow)
                                       JackInDevice(client, port, ring, callback, instance));
  if (!in) {
    jack_ringbuffer_free(ring);
    jack_port_unregister(client->raw(), port);
    return kMidiErrorNoMemory;
  }
  if (!in->begin()) return kMidiErrorNoMemory;
  if (connectFrom != nullptr) {
    const int result = jack_connect(client->raw(), connectFrom, jack_port_name(port));
    if (result != 0 && result != EEXIST) return kMidiErrorBadDevice;
  }
  device = std::move(in);
  return kMidiOk;
}

// MIDI ports of the other clients with these flags, in the server's order.
std::vector<std::string> otherPorts(JackClient& client, unsigned long flags) {
  std::vector<std::string> names;
  if (client.gone()) return names;
  const char** ports = jack_get_ports(client.raw(), nullptr, JACK_DEFAULT_MIDI_TYPE, flags);
  if (ports == nullptr) return names;
  const std::string own = client.name() + ":";
  for (const char** p = ports; *p != nullptr; ++p) {
    if (std::strncmp(*p, own.c_str(), own.size()) != 0) names.emplace_back(*p);
  }
  jack_free(static_cast<void*>(ports));
  return names;
}

std::vector<std::string> namesOf(const std::vector<std::string>& fullNames) {
  std::vector<ListedPort> listed;
  listed.reserve(fullNames.size());
  for (const std::string& full : fullNames) {
    const std::size_t colon = full.find(':');
    std::string clientName = full.substr(0, colon);
    std::string portName = colon == std::string::npos ? full : full.substr(colon + 1);
    listed.push_back(ListedPort{clientName, clientName, std::move(portName)});
  }
  return deviceNames(listed);
}

class JackBackend final : public MidiBackend {
 public:
  JackBackend(std::string name, std::string server)
      : name_(std::move(name)), server_(std::move(server)) {}

  std::vector<std::string> inputNames() override {
    auto client = current();
    return client ? namesOf(otherPorts(*client, JackPortIsOutput)) : std::vector<std::string>{};
  }

  std::vector<std::string> outputNames() override {
    auto client = current();
    return client ? namesOf(otherPorts(*client, JackPortIsInput)) : std::vector<std::string>{};
  }

  int openInput(std::size_t localIndex, InCallback callback, void* instance,
                std::unique_ptr<InDevice>& device) override {
    auto client = current();
    if (!client) return kMidiErrorBadDevice;
    const auto ports = otherPorts(*client, JackPortIsOutput);
    if (localIndex >= ports.size()) return kMidiErrorBadDevice;
    return openJackInput(client, ports[localIndex].c_str(), client->nextPortName("in"), callback,
                         instance, device);
  }

  int openOutput(std::size_t localIndex, std::unique_ptr<OutDevice>& device) override {
    auto client = current();
    if (!client) return kMidiErrorBadDevice;
    const auto ports = otherPorts(*client, JackPortIsInput);
    if (localIndex >= ports.size()) return kMidiErrorBadDevice;
    return openJackOutput(client, ports[localIndex].c_str(), client->nextPortName("out"), device);
  }

  std::vector<std::string> inputKeys() override { return keysOf(JackPortIsOutput); }
  std::vector<std::string> outputKeys() override { return keysOf(JackPortIsInput); }

  int openInputByKey(std::string_view key, InCallback callback, void* instance,
                     std::unique_ptr<InDevice>& device) override {
    auto client = current();
    const std::string port = client ? portWithKey(*client, JackPortIsOutput, key) : std::string{};
    if (port.empty()) return kMidiErrorBadDevice;
    return openJackInput(client, port.c_str(), client->nextPortName("in"), callback, instance,
                         device);
  }

  int openOutputByKey(std::string_view key, std::unique_ptr<OutDevice>& device) override {
    auto client = current();
    const std::string port = client ? portWithKey(*client, JackPortIsInput, key) : std::string{};
    if (port.empty()) return kMidiErrorBadDevice;
    return openJackOutput(client, port.c_str(), client->nextPortName("out"), device);
  }

  void rescan() override {
    std::lock_guard lock(mutex_);
    // Devices still open keep the old client until they close.
    if (client_ && client_->gone()) client_.reset();
    if (!client_) tried_ = false;
  }

 private:
  static constexpr std::string_view kKeyPrefix = "jack:";

  // A port's full name is unique on its server for as long as the port lives.
  std::vector<std::string> keysOf(unsigned long flags) {
    auto client = current();
    std::vector<std::string> keys;
    if (!client) return keys;
    for (const std::string& port : otherPorts(*client, flags)) {
      keys.push_back(std::string(kKeyPrefix) + port);
    }
    return keys;
  }

  // The full name of the listed port with that key now; empty when there is none.
  static std::string portWithKey(JackClient& client, unsigned long flags, std::string_view key) {
    if (key.substr(0, kKeyPrefix.size()) != kKeyPrefix) return {};
    const std::string_view wanted = key.substr(kKeyPrefix.size());
    for (const std::string& port : otherPorts(client, flags)) {
      if (port == wanted) return port;
    }
    return {};
  }

  std::shared_ptr<JackClient> current() {
    std::lock_guard lock(mutex_);
    if (!client_ && !tried_) {
      tried_ = true;
      client_ =
          JackClient::open(name_.empty() ? applicationName() : name_, server_, false, nullptr);
    }
    return client_;
  }

  std::mutex mutex_;
  std::string name_;
  std::string server_;
  std::shared_ptr<JackClient> client_;
  bool tried_ = false;
};

class JackEndpointImpl final : public JackEndpoint {
 public:
  explicit JackEndpointImpl(std::shared_ptr<JackClient> client) : client_(std::move(client)) {}
  std::string clientName() const override { return client_->name(); }
  int openInput(const std::string& portName, InCallback callback, void* instance,
                std::unique_ptr<InDevice>& device) override {
    return openJackInput(client_, nullptr, portName, callback, instance, device);
  }
  int openOutput(const std::string& portName, std::unique_ptr<OutDevice>& device) override {
    return openJackOutput(client_, nullptr, portName, device);
  }
  bool serverGone() const override { return client_->gone(); }
  uint64_t xruns() const override { return client_->xruns(); }
  uint64_t irregularCycles() const override { return client_->irregularCycles(); }
  uint64_t lateCyclesMade() const override { return client_->lateCyclesMade(); }

 private:
  std::shared_ptr<JackClient> client_;
};

}  // namespace

#if RT88H_TEST_HOOKS
void setJackInputPollForTesting(PollFunction poll) {
  inputPoll.store(poll);
}
#endif

std::shared_ptr<MidiBackend> makeJackBackend(std::string clientName, std::string serverName) {
  return std::make_shared<JackBackend>(std::move(clientName), std::move(serverName));
}

std::unique_ptr<JackEndpoint> openJackEndpoint(const std::string& clientName, std::string* reason,
                                               const std::string& serverName) {
  auto client = JackClient::open(clientName, serverName, true, reason);
  if (!client) return nullptr;
  return std::make_unique<JackEndpointImpl>(std::move(client));
}

}  // namespace rt88h::midi
