// The parts of the model that need the embedded payloads; kept apart so that the rest links
// without them.
#include <cstdio>
#include <string>
#include <utility>

#include "protocol/flash_plan.h"
#include "sim/device_model.h"

namespace rt88h::sim {
namespace {

constexpr std::size_t kViolationsShown = 20;

std::string hex8(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

std::string hex2(uint8_t value) {
  char text[4];
  std::snprintf(text, sizeof text, "%02X", value);
  return text;
}

}  // namespace

bool DeviceModel::flashMatchesPayloads(std::string* firstDifference,
                                       std::span<const FlashStep> plan) const {
  auto differ = [firstDifference](std::string text) {
    if (firstDifference != nullptr) *firstDifference = std::move(text);
    return false;
  };
  for (const FlashStep& step : plan) {
    if (step.kind != kStepWrite) continue;
    const Payload image = payload(step.payload);
    const std::string name = "payload " + std::to_string(step.payload);
    if (image.bytes == nullptr) return differ(name + " is not built in");
    const uint32_t length = step.length != 0 ? step.length : image.size;
    if (length > image.size) return differ(name + " is shorter than its region");
    if (!inRange(step.address, length)) return differ(name + " does not fit the flash");
    for (uint32_t offset = 0; offset < length; ++offset) {
      const uint32_t at = step.address + offset;
      const auto where = [&] {
        return name + " offset " + hex8(offset) + " (flash " + hex8(at) + "): ";
      };
      if (state_[at] != ByteState::Written) {
        return differ(where() + (state_[at] == ByteState::Erased
                                     ? "erased, never written"
                                     : "not written since the last erase"));
      }
      if (flash_[at] != image.bytes[offset]) {
        return differ(where() + "flash " + hex2(flash_[at]) + ", payload " +
                      hex2(image.bytes[offset]));
      }
    }
  }
  if (firstDifference != nullptr) firstDifference->clear();
  return true;
}

std::string DeviceModel::report() const {
  std::string text = "Device model 0x" + hex2(config_.model) + ": " +
                     (updateMode_ ? "in update mode" : "not in update mode") +
                     (finished_ ? ", update finished" : "") + "\n";
  text += "Messages for this device:\n";
  for (std::size_t i = 0; i < kMessageKindCount; ++i) {
    const auto kind = static_cast<MessageKind>(i);
    char line[96];
    std::snprintf(line, sizeof line, "  %-18s %6u", kindName(kind), count(kind));
    text += line;
    if (failed(kind) != 0) text += " (" + std::to_string(failed(kind)) + " failed or refused)";
    text += "\n";
  }
  text +=
      "Messages ignored (another model or maker, not SysEx): " + std::to_string(ignored_) + "\n";
  text += "Deviations from the protocol: " + std::to_string(violations_.size()) + "\n";
  for (std::size_t i = 0; i < violations_.size() && i < kViolationsShown; ++i) {
    text += "  " + violations_[i] + "\n";
  }
  if (violations_.size() > kViolationsShown) {
    text += "  ... and " + std::to_string(violations_.size() - kViolationsShown) + " more\n";
  }
  std::string difference;
  if (flashMatchesPayloads(&difference)) {
    text += "Flash: matches payloads 136, 129 and 137\n";
  } else {
    text += "Flash: differs: " + difference + "\n";
  }
  return text;
}

}  // namespace rt88h::sim
