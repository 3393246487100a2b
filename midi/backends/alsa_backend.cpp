#include "midi/backends/alsa_backend.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "midi/backends/alsa_events.h"
#include "midi/backends/common.h"
#include "midi/backends/header_flags.h"
#include "midi/backends/lent_buffers.h"
#include "midi/event_fd.h"

namespace rt88h::midi {
namespace {

// Kernel pools in cells of one event each; 2000 is the most the kernel grants a client.
constexpr std::size_t kPoolCells = 2000;
constexpr std::size_t kOutputBufferBytes = 1u << 16;
constexpr std::size_t kInputBufferBytes = 1u << 16;  // must hold the largest event the pool can

// A machine without a sequencer is normal here; the library would print about it.
void quietAlsa(const char* /*file*/, int /*line*/, const char* /*function*/, int /*error*/,
               const char* /*format*/, ...) {}

struct SeqPort {
  int client;
  int port;
};

// An open device of ours that must hear when the port it is connected to goes away.
class Vanishing {
 public:
  // Receiving thread; never after AlsaClient::unwatch returned.
  virtual void vanished() = 0;

 protected:
  ~Vanishing() = default;
};

class AlsaInDevice;

class AlsaClient {
 public:
  static std::shared_ptr<AlsaClient> open(const std::string& name, std::string* reason);
  ~AlsaClient();
  AlsaClient(const AlsaClient&) = delete;
  AlsaClient& operator=(const AlsaClient&) = delete;

  snd_seq_t* seq() const { return seq_; }
  std::size_t messageLimit() const { return messageLimit_; }
  std::string nextPortName(const char* prefix) {
    std::lock_guard lock(portsMutex_);
    return std::string(prefix) + "_" + std::to_string(++portsMade_);
  }

  // Ports of other clients (not the system's, not ours) with these capabilities.
  std::vector<std::pair<SeqPort, ListedPort>> otherPorts(unsigned capabilities);
  // False also when the client cannot be asked (it has gone).
  bool isKernelClient(int client);

  bool addReceiver(int port, AlsaInDevice* device);
  // Returns once the receiving thread no longer uses the device.
  void removeReceiver(int port);
  // A send to a device that vanished fails silently and our subscription to its port just
  // goes; only the sequencer's announcements tell. `device`, open on our port `port` (which
  // takes events), is told when `target` goes; unwatch returns once it is told no more.
  bool watch(int port, SeqPort target, Vanishing* device);
  void unwatch(int port);

  // One whole message as one event, returning once the sequencer has processed it.
  void send(int port, uint8_t* bytes, std::size_t length);

 private:
  AlsaClient() = default;
  void receiveLoop();
  void announced(const snd_seq_event_t& event);  // receiversMutex_ held

  snd_seq_t* seq_ = nullptr;
  int id_ = -1;
  std::size_t messageLimit_ = 0;
  std::mutex portsMutex_;
  unsigned portsMade_ = 0;
  std::mutex sendMutex_;       // the library's output buffer is one per handle
  std::mutex receiversMutex_;  // held while an event is delivered
  std::map<int, AlsaInDevice*> receivers_;
  std::map<int, std::pair<SeqPort, Vanishing*>> watchers_;
  EventFd stopReceiving_;
  std::thread receiver_;
};

class AlsaInDevice final : public LentBuffersInDevice, private Vanishing {
 public:
  AlsaInDevice(std::shared_ptr<AlsaClient> client, int port, InCallback callback, void* instance)
      : LentBuffersInDevice(callback, instance), client_(std::move(client)), port_(port) {}
  ~AlsaInDevice() override { close(); }
  AlsaInDevice(const AlsaInDevice&) = delete;
  AlsaInDevice& operator=(const AlsaInDevice&) = delete;

  // source: the port we read from, null for a port of ours that others subscribe to.
  bool begin(const SeqPort* source) {
    attached_ = client_->addReceiver(port_, this);
    if (attached_ && source != nullptr) watched_ = client_->watch(port_, *source, this);
    return attached_ && (source == nullptr || watched_);
  }

  int close() override {
    if (closed_) return kMidiOk;
    closed_ = true;
    if (watched_) client_->unwatch(port_);
    if (attached_) client_->removeReceiver(port_);
    lent_->close();
    snd_seq_delete_simple_port(client_->seq(), port_);  // its subscription goes with it
    return kMidiOk;
  }

  // Receiving thread only.
  void receive(const snd_seq_event_t& event) { deliverEvent(event, events_, *lent_); }
  void overrun() { deliverLoss(events_, *lent_); }

 private:
  void vanished() override { lent_->deviceRemoved(); }

  std::shared_ptr<AlsaClient> client_;
  int port_;
  bool attached_ = false;
  bool watched_ = false;
  bool closed_ = false;
  EventReader events_;
};

std::shared_ptr<AlsaClient> AlsaClient::open(const std::string& name, std::string* reason) {
  std::shared_ptr<AlsaClient> client;
  try {
    client.reset(new AlsaClient);
  } catch (const std::bad_alloc&) {
    if (reason) *reason = "out of memory";
    return nullptr;
  }
  // Blocking: a send waits for room in the pools instead of failing.
  snd_lib_error_set_handler(&quietAlsa);
  const int opened = snd_seq_open(&client->seq_, "default", SND_SEQ_OPEN_DUPLEX, 0);
  snd_lib_error_set_handler(nullptr);
  if (opened < 0) {
    client->seq_ = nullptr;
    if (reason) *reason = "the ALSA sequencer cannot be opened";
    return nullptr;
  }
  snd_seq_t* seq = client->seq_;
  snd_seq_set_client_name(seq, name.c_str());
  client->id_ = snd_seq_client_id(seq);
  // Before anything is sent: resizing drops what the buffers hold.
  snd_seq_set_output_buffer_size(seq, kOutputBufferBytes);
  snd_seq_set_input_buffer_size(seq, kInputBufferBytes);
  snd_seq_set_client_pool_output(seq, kPoolCells);
  snd_seq_set_client_pool_input(seq, kPoolCells);
  // What the kernel really granted decides what can ever fit.
  std::size_t cells = kPoolCells;
  snd_seq_client_pool_t* pool = nullptr;
  if (snd_seq_client_pool_malloc(&pool) == 0) {
    if (snd_seq_get_client_pool(seq, pool) == 0) {
      cells = std::min(snd_seq_client_pool_get_output_pool(pool),
                       snd_seq_client_pool_get_input_pool(pool));
    }
    snd_seq_client_pool_free(pool);
  }
  client->messageLimit_ = alsaMessageLimit(snd_seq_get_output_buffer_size(seq), cells);
  if (!client->stopReceiving_.valid()) {
    if (reason) *reason = "no eventfd";
    return nullptr;
  }
  try {
    client->receiver_ = std::thread(&AlsaClient::receiveLoop, client.get());
  } catch (...) {
    if (reason) *reason = "no thread";
    return nullptr;
  }
  return client;
}

AlsaClient::~AlsaClient() {
  if (receiver_.joinable()) {
    stopReceiving_.signal();
    receiver_.join();
  }
  if (seq_ != nullptr) snd_seq_close(seq_);
}

std::vector<std::pair<SeqPort, ListedPort>> AlsaClient::otherPorts(unsigned capabilities) {
  std::vector<std::pair<SeqPort, ListedPort>> ports;
  snd_seq_client_info_t* clientInfo = nullptr;
  snd_seq_port_info_t* portInfo = nullptr;
  if (snd_seq_client_info_malloc(&clientInfo) != 0) return ports;
  if (snd_seq_port_info_malloc(&portInfo) != 0) {
    snd_seq_client_info_free(clientInfo);
    return ports;
  }
  snd_seq_client_info_set_client(clientInfo, -1);
  while (snd_seq_query_next_client(seq_, clientInfo) >= 0) {
    const int client = snd_seq_client_info_get_client(clientInfo);
    if (client == SND_SEQ_CLIENT_SYSTEM || client == id_) continue;
    const std::string clientName = snd_seq_client_info_get_name(clientInfo);
    snd_seq_port_info_set_client(portInfo, client);
    snd_seq_port_info_set_port(portInfo, -1);
    while (snd_seq_query_next_port(seq_, portInfo) >= 0) {
      const unsigned caps = snd_seq_port_info_get_capability(portInfo);
      if ((caps & capabilities) != capabilities || (caps & SND_SEQ_PORT_CAP_NO_EXPORT) != 0) {
        continue;
      }
      ports.push_back(
          {SeqPort{client, snd_seq_port_info_get_port(portInfo)},
           ListedPort{std::to_string(client), clientName, snd_seq_port_info_get_name(portInfo)}});
    }
  }
  snd_seq_port_info_free(portInfo);
  snd_seq_client_info_free(clientInfo);
  return ports;
}

bool AlsaClient::isKernelClient(int client) {
  snd_seq_client_info_t* info = nullptr;
  if (snd_seq_client_info_malloc(&info) != 0) return false;
  const bool kernel = snd_seq_get_any_client_info(seq_, client, info) == 0 &&
                      snd_seq_client_info_get_type(info) == SND_SEQ_KERNEL_CLIENT;
  snd_seq_client_info_free(info);
  return kernel;
}

bool AlsaClient::addReceiver(int port, AlsaInDevice* device) {
  std::lock_guard lock(receiversMutex_);
  try {
    receivers_[port] = device;
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void AlsaClient::removeReceiver(int port) {
  std::lock_guard lock(receiversMutex_);
  receivers_.erase(port);
}

bool AlsaClient::watch(int port, SeqPort target, Vanishing* device) {
  {
    std::lock_guard lock(receiversMutex_);
    try {
      watchers_[port] = {target, device};
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  // Our own port: not a port of its own, which other programs (Wine's MIDI driver) would list.
  // Without the announcements the device still works, its going unnoticed.
  snd_seq_connect_from(seq_, port, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);
  return true;
}

void AlsaClient::unwatch(int port) {
  std::lock_guard lock(receiversMutex_);
  watchers_.erase(port);
}

void AlsaClient::announced(const snd_seq_event_t& event) {
  // Each watching port hears it: a device may be told twice, which it takes as once.
  const bool clientExit = event.type == SND_SEQ_EVENT_CLIENT_EXIT;
  if (!clientExit && event.type != SND_SEQ_EVENT_PORT_EXIT) return;
  const snd_seq_addr_t& gone = event.data.addr;
  for (auto& [port, watcher] : watchers_) {
    const SeqPort& target = watcher.first;
    if (target.client == gone.client && (clientExit || target.port == gone.port)) {
      watcher.second->vanished();
    }
  }
}

void AlsaClient::receiveLoop() {
  const int count = snd_seq_poll_descriptors_count(seq_, POLLIN);
  std::vector<pollfd> fds(static_cast<std::size_t>(count > 0 ? count : 0) + 1);
  fds[0] = pollfd{stopReceiving_.fd(), POLLIN, 0};
  if (count > 0) {
    snd_seq_poll_descriptors(seq_, fds.data() + 1, static_cast<unsigned>(count), POLLIN);
  }
  for (;;) {
    for (pollfd& fd : fds) fd.revents = 0;
    const int ready = ::poll(fds.data(), fds.size(), -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || fds[0].revents != 0) return;
    bool failed = false;
    for (std::size_t i = 1; i < fds.size(); ++i) {
      failed = failed || (fds[i].revents & (POLLERR | POLLNVAL)) != 0;
    }
    if (failed) return;  // the sequencer is gone: nothing more will arrive
    // One read fills the library's buffer; the events in it are taken without another read, so
    // a blocking handle never waits here.
    do {
      snd_seq_event_t* event = nullptr;
      const int result = snd_seq_event_input(seq_, &event);
      const InputStep step = inputStep(result);
      std::lock_guard lock(receiversMutex_);
      if (step == InputStep::Overrun) {
        for (auto& [port, device] : receivers_) device->overrun();
      } else if (step == InputStep::Event && event != nullptr &&
                 event->source.client == SND_SEQ_CLIENT_SYSTEM &&
                 event->source.port == SND_SEQ_PORT_SYSTEM_ANNOUNCE) {
        announced(*event);
      } else if (step == InputStep::Event && event != nullptr) {
        const auto found = receivers_.find(event->dest.port);
        if (found != receivers_.end()) found->second->receive(*event);
      } else {
        break;
      }
    } while (snd_seq_event_input_pending(seq_, 0) > 0);
  }
}

void AlsaClient::send(int port, uint8_t* bytes, std::size_t length) {
  std::lock_guard lock(sendMutex_);
  snd_seq_event_t event;
  snd_seq_ev_clear(&event);
  snd_seq_ev_set_source(&event, static_cast<unsigned char>(port));
  snd_seq_ev_set_subs(&event);
  snd_seq_ev_set_direct(&event);
  snd_seq_ev_set_sysex(&event, static_cast<unsigned>(length), bytes);
  int result = snd_seq_event_output(seq_, &event);
  if (result >= 0) result = snd_seq_drain_output(seq_);
  if (result >= 0) result = snd_seq_sync_output_queue(seq_);
  // Nothing of a failed message may go out in front of the next one.
  if (result < 0) snd_seq_drop_output(seq_);
}

class AlsaOutDevice final : public OutDevice, private Vanishing {
 public:
  AlsaOutDevice(std::shared_ptr<AlsaClient> client, int port, std::size_t messageLimit)
      : client_(std::move(client)), port_(port), messageLimit_(messageLimit) {}
  ~AlsaOutDevice() override { close(); }
  AlsaOutDevice(const AlsaOutDevice&) = delete;
  AlsaOutDevice& operator=(const AlsaOutDevice&) = delete;

  // target: the port we send to, null for a port of ours that others subscribe to.
  bool begin(const SeqPort* target) {
    try {
      sender_ = std::thread(&AlsaOutDevice::sendLoop, this);
    } catch (...) {
      return false;
    }
    if (target != nullptr) watched_ = client_->watch(port_, *target, this);
    return target == nullptr || watched_;
  }

  int prepare(MidiHeader* header) override { return prepareHeader(header); }

  int longMsg(MidiHeader* header) override {
    if (header == nullptr || header->data == nullptr) return kMidiErrorInvalidHandle;
    if (const int refused = headerTakeable(header->flags.load()); refused != kMidiOk) {
      return refused;
    }
    // Cutting it would send two broken messages: refuse it whole.
    if (header->bufferLength > messageLimit_) return kMidiErrorTooLarge;
    std::lock_guard lock(mutex_);
    if (stopping_ || vanished_) return kMidiErrorNotReady;
    try {
      queue_.push_back(header);  // marked below, before the sender can take it: mutex_ is ours
    } catch (const std::bad_alloc&) {
      return kMidiErrorNoMemory;
    }
    markQueued(header);
    changed_.notify_all();
    return kMidiOk;
  }

  int unprepare(MidiHeader* header) override { return unprepareHeader(header); }

  int reset() override {
    std::unique_lock lock(mutex_);
    finishQueued();
    // The message on its way cannot be called back; it ends when the sequencer has it.
    changed_.wait(lock, [this] { return sending_ == nullptr; });
    return kMidiOk;
  }

  int close() override {
    // First, and outside mutex_: the receiving thread holds the watch while it takes mutex_.
    if (watched_) client_->unwatch(port_);
    watched_ = false;
    {
      std::unique_lock lock(mutex_);
      if (closed_) return kMidiOk;
      closed_ = true;
      stopping_ = true;
      finishQueued();
      changed_.notify_all();
    }
    if (sender_.joinable()) sender_.join();
    snd_seq_delete_simple_port(client_->seq(), port_);
    return kMidiOk;
  }

 private:
  // What was queued ends now, and nothing more is taken.
  void vanished() override {
    std::lock_guard lock(mutex_);
    vanished_ = true;
    finishQueued();
    changed_.notify_all();
  }

  // mutex_ held.
  void finishQueued() {
    for (MidiHeader* header : queue_) markDone(header);
    queue_.clear();
  }

  void sendLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      sending_ = queue_.front();
      queue_.pop_front();
      lock.unlock();
      client_->send(port_, sending_->data, sending_->bufferLength);
      lock.lock();
      MidiHeader* done = sending_;
      sending_ = nullptr;
      markDone(done);  // the sender's from here on
      changed_.notify_all();
    }
  }

  std::shared_ptr<AlsaClient> client_;
  int port_;
  std::size_t messageLimit_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<MidiHeader*> queue_;
  MidiHeader* sending_ = nullptr;
  bool stopping_ = false;
  bool vanished_ = false;
  bool closed_ = false;
  bool watched_ = false;
  std::thread sender_;
};

constexpr unsigned kPortType = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION;

// connectFrom null: a port that others subscribe to; otherwise ours alone, subscribed here.
int openAlsaInput(const std::shared_ptr<AlsaClient>& client, const SeqPort* connectFrom,
                  const std::string& portName, InCallback callback, void* instance,
                  std::unique_ptr<InDevice>& device) {
  const unsigned caps = connectFrom != nullptr
                            ? SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT
                            : SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
  const int port = snd_seq_create_simple_port(client->seq(), portName.c_str(), caps, kPortType);
  if (port < 0) return kMidiErrorNotReady;
  std::unique_ptr<AlsaInDevice> in(new (std::nothrow)
                                       AlsaInDevice(client, port, callback, instance));
  if (!in) {
    snd_seq_delete_simple_port(client->seq(), port);
    return kMidiErrorNoMemory;
  }
  if (!in->begin(connectFrom)) return kMidiErrorNoMemory;  // in's destruction undoes the rest
  if (connectFrom != nullptr &&
      snd_seq_connect_from(client->seq(), port, connectFrom->client, connectFrom->port) < 0) {
    return kMidiErrorBadDevice;
  }
  device = std::move(in);
  return kMidiOk;
}

int openAlsaOutput(const std::shared_ptr<AlsaClient>& client, const SeqPort* connectTo,
                   const std::string& portName, std::size_t messageLimit,
                   std::unique_ptr<OutDevice>& device) {
  // Ours alone also takes the announcements that tell when the device goes.
  const unsigned caps = connectTo != nullptr ? SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_WRITE |
                                                   SND_SEQ_PORT_CAP_NO_EXPORT
                                             : SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
  const int port = snd_seq_create_simple_port(client->seq(), portName.c_str(), caps, kPortType);
  if (port < 0) return kMidiErrorNotReady;
  std::unique_ptr<AlsaOutDevice> out(new (std::nothrow) AlsaOutDevice(client, port, messageLimit));
  if (!out) {
    snd_seq_delete_simple_port(client->seq(), port);
    return kMidiErrorNoMemory;
  }
  if (!out->begin(connectTo)) return kMidiErrorNoMemory;
  if (connectTo != nullptr &&
      snd_seq_connect_to(client->seq(), port, connectTo->client, connectTo->port) < 0) {
    return kMidiErrorBadDevice;
  }
  device = std::move(out);
  return kMidiOk;
}

constexpr unsigned kReadable = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
constexpr unsigned kWritable = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;

std::vector<std::string> namesOf(const std::vector<std::pair<SeqPort, ListedPort>>& ports) {
  std::vector<ListedPort> listed;
  listed.reserve(ports.size());
  for (const auto& entry : ports) listed.push_back(entry.second);
  return deviceNames(listed);
}

class AlsaBackend final : public MidiBackend {
 public:
  explicit AlsaBackend(std::string name) : name_(std::move(name)) {}

  std::vector<std::string> inputNames() override {
    auto client = current();
    return client ? namesOf(client->otherPorts(kReadable)) : std::vector<std::string>{};
  }

  std::vector<std::string> outputNames() override {
    auto client = current();
    return client ? namesOf(client->otherPorts(kWritable)) : std::vector<std::string>{};
  }

  int openInput(std::size_t localIndex, InCallback callback, void* instance,
                std::unique_ptr<InDevice>& device) override {
    auto client = current();
    if (!client) return kMidiErrorBadDevice;
    const auto ports = client->otherPorts(kReadable);
    if (localIndex >= ports.size()) return kMidiErrorBadDevice;
    return openAlsaInput(client, &ports[localIndex].first, client->nextPortName("in"), callback,
                         instance, device);
  }

  int openOutput(std::size_t localIndex, std::unique_ptr<OutDevice>& device) override {
    auto client = current();
    if (!client) return kMidiErrorBadDevice;
    const auto ports = client->otherPorts(kWritable);
    if (localIndex >= ports.size()) return kMidiErrorBadDevice;
    const SeqPort& target = ports[localIndex].first;
    const std::size_t limit =
        alsaDeviceMessageLimit(client->messageLimit(), client->isKernelClient(target.client));
    return openAlsaOutput(client, &target, client->nextPortName("out"), limit, device);
  }

  std::vector<std::string> inputKeys() override { return keysOf(kReadable); }
  std::vector<std::string> outputKeys() override { return keysOf(kWritable); }

  int openInputByKey(std::string_view key, InCallback callback, void* instance,
                     std::unique_ptr<InDevice>& device) override {
    auto client = current();
    SeqPort target{};
    if (!client || !portWithKey(*client, kReadable, key, &target)) return kMidiErrorBadDevice;
    return openAlsaInput(client, &target, client->nextPortName("in"), callback, instance, device);
  }

  int openOutputByKey(std::string_view key, std::unique_ptr<OutDevice>& device) override {
    auto client = current();
    SeqPort target{};
    if (!client || !portWithKey(*client, kWritable, key, &target)) return kMidiErrorBadDevice;
    const std::size_t limit =
        alsaDeviceMessageLimit(client->messageLimit(), client->isKernelClient(target.client));
    return openAlsaOutput(client, &target, client->nextPortName("out"), limit, device);
  }

  // The sequencer may have been loaded since the last try.
  void rescan() override {
    std::lock_guard lock(mutex_);
    if (!client_) tried_ = false;
  }

 private:
  // Client and port numbers, and the names: a number freed by a client that left may be given
  // to the next one.
  static std::string keyOf(const std::pair<SeqPort, ListedPort>& port) {
    return "alsa:" + std::to_string(port.first.client) + ":" + std::to_string(port.first.port) +
           ":" + port.second.clientName + ":" + port.second.portName;
  }

  std::vector<std::string> keysOf(unsigned capabilities) {
    auto client = current();
    std::vector<std::string> keys;
    if (!client) return keys;
    for (const auto& port : client->otherPorts(capabilities)) keys.push_back(keyOf(port));
    return keys;
  }

  static bool portWithKey(AlsaClient& client, unsigned capabilities, std::string_view key,
                          SeqPort* found) {
    for (const auto& port : client.otherPorts(capabilities)) {
      if (keyOf(port) == key) {
        *found = port.first;
        return true;
      }
    }
    return false;
  }

  std::shared_ptr<AlsaClient> current() {
    std::lock_guard lock(mutex_);
    if (!client_ && !tried_) {
      tried_ = true;
      client_ = AlsaClient::open(name_.empty() ? applicationName() : name_, nullptr);
    }
    return client_;
  }

  std::mutex mutex_;
  std::string name_;
  std::shared_ptr<AlsaClient> client_;
  bool tried_ = false;
};

class AlsaEndpointImpl final : public AlsaEndpoint {
 public:
  explicit AlsaEndpointImpl(std::shared_ptr<AlsaClient> client) : client_(std::move(client)) {}
  int openInput(const std::string& portName, InCallback callback, void* instance,
                std::unique_ptr<InDevice>& device) override {
    return openAlsaInput(client_, nullptr, portName, callback, instance, device);
  }
  int openOutput(const std::string& portName, std::unique_ptr<OutDevice>& device) override {
    // Subscribers come and go: only the client's own limit is known.
    return openAlsaOutput(client_, nullptr, portName, client_->messageLimit(), device);
  }

 private:
  std::shared_ptr<AlsaClient> client_;
};

}  // namespace

std::shared_ptr<MidiBackend> makeAlsaBackend(std::string clientName) {
  return std::make_shared<AlsaBackend>(std::move(clientName));
}

std::unique_ptr<AlsaEndpoint> openAlsaEndpoint(const std::string& clientName, std::string* reason) {
  auto client = AlsaClient::open(clientName, reason);
  if (!client) return nullptr;
  return std::make_unique<AlsaEndpointImpl>(std::move(client));
}

}  // namespace rt88h::midi
