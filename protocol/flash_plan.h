#pragma once
// The built-in flash plan and the embedded payload images.
#include <array>
#include <cstdint>
#include <vector>

namespace rt88h {

inline constexpr int32_t kStepErase = 1;
inline constexpr int32_t kStepWrite = 2;
inline constexpr uint32_t kChunkLength = 2048;

struct FlashStep {
  int32_t kind;
  uint32_t address;
  uint32_t length;   // erase: region length; write: 0 = whole payload
  uint32_t payload;  // resource id of a write's payload; 0 for an erase
};

inline constexpr std::array<FlashStep, 6> FlashPlan{{
    {kStepErase, 0x40000, 0xB0000, 0},
    {kStepErase, 0x0, 0x40000, 0},
    {kStepWrite, 0x0, 0, 136},
    {kStepErase, 0xF0000, 0x2C7000, 0},
    {kStepWrite, 0xF0000, 0, 137},
    {kStepWrite, 0x40000, 0, 129},
}};

inline constexpr int kPlanSteps = static_cast<int>(FlashPlan.size());

inline constexpr uint32_t kFlashSize = 0x3B7000;

struct Payload {
  const uint8_t* bytes = nullptr;  // nullptr: not built in
  uint32_t size = 0;
};

// The image with that id; valid for the life of the process.
Payload payload(uint32_t id);
// True when the build carries generated placeholder images (never flash those into a device).
bool payloadsAreTestImages();
// Lower-case hex SHA-256 of the image with that id, or "" for an unknown id.
const char* payloadSha256(uint32_t id);

// One message of a complete update without retries, in order.
struct PlannedMessage {
  enum class Kind { IdentityRequest, BeginUpdate, EraseFlash, WriteData, EndUpdate };
  Kind kind;
  int step;            // 0 before the plan and for EndUpdate's 7; 1..6 inside it
  uint32_t address;    // flash address (erase, write)
  uint32_t length;     // region length (erase) or chunk length (write)
  uint32_t payloadId;  // write only
  uint32_t offset;     // write only: offset of the chunk in its payload
};

std::vector<PlannedMessage> planWalk();

}  // namespace rt88h
