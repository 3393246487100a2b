#pragma once
// The device model playing a virtual MIDI device of this process: the demo and the tests use it.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "midi/in_process.h"
#include "sim/device_model.h"

namespace rt88h::sim {

class SimulatedDevice {
 public:
  // Adds a device of this process with that name and answers for it from `model`.
  SimulatedDevice(std::string name, DeviceModel::Config config);
  ~SimulatedDevice();  // stops delivering; the virtual device vanishes
  SimulatedDevice(const SimulatedDevice&) = delete;
  SimulatedDevice& operator=(const SimulatedDevice&) = delete;

  // A message the device starts on its own, arriving after delayMs.
  void send(std::vector<uint8_t> bytes, uint32_t delayMs = 0);

  // Locked access to the model (faults, report, flash).
  void withModel(const std::function<void(DeviceModel&)>& f);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace rt88h::sim
