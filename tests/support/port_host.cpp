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
  view_.disableControls();
  signals_.busy.store(1);
  signals_.replyEvent.reset();
  worker_ = std::thread([this] { runUpdate({view_, *this, signals_, &view_}); });
  return true;
}

void PortHost::join() {
  if (worker_.joinable()) worker_.join();
}

void PortHost::close() {
  // From here on boxes return at once, as they do once the window is gone.
  view_.close();
  midiOut_.close();
  midiIn_.close();
  signals_.replyStatus.store(kStatusStop);
  signals_.replyEvent.set();
  if (worker_.joinable()) worker_.join();
}

int PortHost::sendLong(const uint8_t* bytes, uint32_t length) {
  return midi::sendMessage(midiOut_, bytes, length);
}
bool PortHost::peekSysEx(const uint8_t** bytes, uint32_t* count, Arrival* arrival) {
  return midiIn_.peekSysEx(bytes, count, arrival);
}
uint64_t PortHost::transportTroubles() {
  return midiIn_.transportTroubles();
}

void PortHost::popSysEx() {
  midiIn_.popSysEx();
}

}  // namespace rt88h::testing
