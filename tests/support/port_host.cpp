#include "tests/support/port_host.h"

#include "protocol/update_procedure.h"

namespace rt88h::testing {

PortHost::PortHost() {
  timer_.start(50, &PortHost::tick, reinterpret_cast<uintptr_t>(this));
}

PortHost::~PortHost() {
  close();
  timer_.stop();
}

void PortHost::tick(uint32_t, uint32_t, uintptr_t context, uintptr_t, uintptr_t) {
  reinterpret_cast<PortHost*>(context)->dispatcher_.dispatchReplies();
}

namespace {

template <typename Port>
int findDevice(Port& port, std::string_view name) {
  for (int i = 0; i < port.deviceCount(); ++i) {
    char text[midi::kDeviceNameSize] = {};
    port.deviceName(i, text);
    if (name == text) return i;
  }
  return -1;
}

}  // namespace

int PortHost::inputIndex(std::string_view name) {
  return findDevice(midiIn_, name);
}
int PortHost::outputIndex(std::string_view name) {
  return findDevice(midiOut_, name);
}

bool PortHost::execute(int inIndex, int outIndex) {
  midiOut_.close();
  if (midiOut_.open(outIndex) != 1) return false;
  midiIn_.close();
  if (midiIn_.openAndStart(inIndex) != 1) return false;
  if (worker_.joinable()) worker_.join();
  signals_.busy.store(1);
  signals_.replyEvent.reset();
  worker_ = std::thread([this] { runUpdate(*this); });
  return true;
}

bool PortHost::waitForEnd(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(logMutex_);
  return ended_.wait_for(lock, limit, [this] { return signals_.busy.load() == 0; });
}

void PortHost::join() {
  if (worker_.joinable()) worker_.join();
}

bool PortHost::waitForLine(std::string_view prefix, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(logMutex_);
  return ended_.wait_for(lock, limit, [&] {
    for (const std::string& line : log_) {
      if (line.rfind(prefix, 0) == 0) return true;
    }
    return false;
  });
}

void PortHost::close() {
  // From here on boxes return at once, as they do once the window is gone.
  closing_.store(true);
  midiOut_.close();
  midiIn_.close();
  signals_.replyStatus.store(kStatusStop);
  signals_.replyEvent.set();
  if (worker_.joinable()) worker_.join();
}

void PortHost::note(std::string line) {
  {
    std::lock_guard<std::mutex> lock(logMutex_);
    log_.push_back(std::move(line));
  }
  ended_.notify_all();
}

std::vector<std::string> PortHost::log(std::string_view prefix) {
  std::lock_guard<std::mutex> lock(logMutex_);
  std::vector<std::string> lines;
  for (const std::string& line : log_) {
    if (std::string_view(line).substr(0, prefix.size()) == prefix) lines.push_back(line);
  }
  return lines;
}

void PortHost::statusText(std::string_view text) {
  note("status:" + std::string(text));
}
void PortHost::stepText(std::string_view text) {
  note("step:" + std::string(text));
}
void PortHost::progressRange(int32_t low, int32_t high) {
  note("range:" + std::to_string(low) + "-" + std::to_string(high));
}
void PortHost::progressPosition(int32_t value) {
  // Thousands of positions per update: keep only the last.
  std::lock_guard<std::mutex> lock(logMutex_);
  if (!log_.empty() && log_.back().rfind("pos:", 0) == 0) log_.pop_back();
  log_.push_back("pos:" + std::to_string(value));
}
void PortHost::restoreControls() {
  {
    std::lock_guard<std::mutex> lock(logMutex_);
    log_.push_back("restore");
    signals_.busy.store(0);
  }
  ended_.notify_all();
}
void PortHost::enableExecute(bool on) {
  note(on ? "execute:on" : "execute:off");
}
void PortHost::showMessage(std::string_view text, std::string_view caption, MessageIcon icon) {
  note(std::string(closing_.load() ? "unshown-" : "") + "box:" + std::string(text) + "|" +
       std::string(caption) + (icon == MessageIcon::Stop ? "|stop" : "|none"));
}

int PortHost::sendLong(const uint8_t* bytes, uint32_t length) {
  return midi::sendMessage(midiOut_, bytes, length);
}
bool PortHost::peekSysEx(const uint8_t** bytes, uint32_t* count) {
  return midiIn_.peekSysEx(bytes, count);
}
uint64_t PortHost::transportTroubles() {
  return midiIn_.transportTroubles();
}

Arrival PortHost::peekArrival() {
  const uint8_t* bytes = nullptr;
  uint32_t count = 0;
  midi::Arrival arrival;
  if (!midiIn_.peekSysEx(&bytes, &count, &arrival)) return {};
  return {arrival.atUs, arrival.cycle};
}

void PortHost::popSysEx() {
  midiIn_.popSysEx();
}

}  // namespace rt88h::testing
