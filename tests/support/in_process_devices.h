#pragma once
// In-process virtual devices that vanish (leave the lists) when the object ends or is cleared.
#include <memory>
#include <string>
#include <vector>

#include "midi/in_process.h"

namespace rt88h::testing {

class Devices {
 public:
  ~Devices() { clear(); }
  std::shared_ptr<midi::VirtualDevice> add(const std::string& name) {
    return devices_.emplace_back(midi::addInProcessDevice(name));
  }
  void clear() {
    for (const auto& device : devices_) device->vanish();
    devices_.clear();
  }

 private:
  std::vector<std::shared_ptr<midi::VirtualDevice>> devices_;
};

}  // namespace rt88h::testing
