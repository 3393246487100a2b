#pragma once
// Devices this process plays itself: the demo's simulated RT-88H, benchmarks and tests. They are
// listed after every other service's devices and opened like them.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace rt88h::midi {

// The device side of one virtual device: an input end (what the updater receives) and an
// output end (what the updater sends).
class VirtualDevice {
 public:
  virtual ~VirtualDevice() = default;
  virtual const std::string& name() const = 0;

  // Device -> updater: bytes arrive at the input end as one piece; the lent-buffer rule
  // (done at F7 or when full) decides the entries. Dropped while no input is started.
  virtual void inject(const uint8_t* bytes, std::size_t count) = 0;
  // The same message in pieces of at most pieceSize bytes.
  virtual void injectInPieces(const uint8_t* bytes, std::size_t count, std::size_t pieceSize) = 0;
  virtual void injectShort(uint32_t message) = 0;

  // Updater -> device: called on the back-end's delivery thread with each whole message sent,
  // before that send's done flag is set. May call inject(). Returns once the previous receiver
  // no longer runs (a call from within a receiver does not wait for itself).
  virtual void setReceiver(std::function<void(const uint8_t*, std::size_t)> receiver) = 0;
  // Messages sent while no receiver is set, oldest first (taken out of the device).
  virtual std::vector<std::vector<uint8_t>> takeSent() = 0;

  // While held, sent messages are delivered but their done flags stay clear.
  virtual void holdDone(bool hold) = 0;
  // The device is unplugged: it leaves the lists, opens fail, sends in progress end and later
  // ones are refused (kMidiErrorNotReady), input stops and its callbacks hear DeviceRemoved.
  // Cannot be undone. Returns once no receiver of this device runs any more (except the
  // caller's own).
  virtual void vanish() = 0;
};

// Adds a device with that name at the end of both lists.
std::shared_ptr<VirtualDevice> addInProcessDevice(std::string name);
// The name of the device of this process that the listed key names; "" for any other device.
std::string inProcessDeviceName(std::string_view key);

}  // namespace rt88h::midi
