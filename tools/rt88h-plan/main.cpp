// Prints every message of one complete update without retries, then totals and the payloads.
#include <array>
#include <cstdio>
#include <string>

#include "protocol/flash_plan.h"
#include "protocol/messages.h"
#include "resources/string_table.h"

namespace {

using rt88h::PlannedMessage;
using Kind = PlannedMessage::Kind;

constexpr std::array<Kind, 5> kKinds{Kind::IdentityRequest, Kind::BeginUpdate, Kind::EraseFlash,
                                     Kind::WriteData, Kind::EndUpdate};

const char* kindName(Kind kind) {
  switch (kind) {
    case Kind::IdentityRequest: return "IdentityRequest";
    case Kind::BeginUpdate: return "BeginUpdate";
    case Kind::EraseFlash: return "EraseFlash";
    case Kind::WriteData: return "WriteData";
    case Kind::EndUpdate: return "EndUpdate";
  }
  return "?";
}

// What the window's step counter shows while the message goes out; EndUpdate leaves it at 6/6.
std::string stepCounterText(int step) {
  std::array<char, 16> text{};
  if (step == 0) {
    std::snprintf(text.data(), text.size(), rt88h::kStepCounterStartFormat.data(),
                  rt88h::kPlanSteps);
  } else {
    const int shown = step < rt88h::kPlanSteps ? step : rt88h::kPlanSteps;
    std::snprintf(text.data(), text.size(), rt88h::kStepCounterFormat.data(), shown,
                  rt88h::kPlanSteps);
  }
  return text.data();
}

uint32_t messageLength(const PlannedMessage& m) {
  switch (m.kind) {
    case Kind::IdentityRequest: return static_cast<uint32_t>(rt88h::kIdentityRequest.size());
    case Kind::BeginUpdate:
    case Kind::EndUpdate: return 6;
    case Kind::EraseFlash: return 16;
    case Kind::WriteData: return static_cast<uint32_t>(rt88h::writeDataLength(m.length));
  }
  return 0;
}

}  // namespace

int main() {
  const std::vector<PlannedMessage> plan = rt88h::planWalk();

  std::printf("%5s  %-4s  %-15s  %-8s  %s\n", "#", "step", "message", "address", "length");
  std::array<std::size_t, kKinds.size()> counts{};
  unsigned long long wireBytes = 0;
  for (std::size_t i = 0; i < plan.size(); ++i) {
    const PlannedMessage& m = plan[i];
    const bool addressed = m.kind == Kind::EraseFlash || m.kind == Kind::WriteData;
    if (addressed) {
      std::printf("%5zu  %-4s  %-15s  0x%06X  %u\n", i + 1, stepCounterText(m.step).c_str(),
                  kindName(m.kind), m.address, m.length);
    } else {
      std::printf("%5zu  %-4s  %-15s  %-8s  %s\n", i + 1, stepCounterText(m.step).c_str(),
                  kindName(m.kind), "-", "-");
    }
    ++counts[static_cast<std::size_t>(m.kind)];
    wireBytes += messageLength(m);
  }

  std::printf("\nmessages per kind:\n");
  for (std::size_t k = 0; k < kKinds.size(); ++k) {
    std::printf("  %-15s  %5zu\n", kindName(kKinds[k]), counts[k]);
  }
  std::printf("  %-15s  %5zu  (%llu bytes sent)\n", "total", plan.size(), wireBytes);

  std::printf("\npayload images: %s\n",
              rt88h::payloadsAreTestImages()
                  ? "generated test images (placeholders; never flash them into a device)"
                  : "firmware images");
  for (const uint32_t id : {129u, 136u, 137u}) {
    std::printf("  %u  %8u bytes  sha256 %s\n", id, rt88h::payload(id).size,
                rt88h::payloadSha256(id));
  }
  return 0;
}
