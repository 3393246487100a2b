#pragma once
// The device side of the update protocol as a pure, single-threaded model: it takes one message
// at a time and says what the device would answer and after what delay. No clock of its own,
// no threads: whoever drives it schedules the replies.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "protocol/flash_plan.h"

namespace rt88h::sim {

// What a message from the updater is, as the device sees it.
enum class MessageKind : uint8_t {
  IdentityRequest,  // F0 7E ch 06 01 F7
  BeginUpdate,      // F0 52 00 m 01 F7
  EraseFlash,       // F0 52 00 m 0A addr(5) len(5) F7
  WriteData,        // F0 52 00 m 02 addr(5) n(2) Pack7(p) crc(5) F7
  EndUpdate,        // F0 52 00 m 04 F7
  Ack,              // F0 52 00 m 00 00 F7, the updater's answer to device codes 01, 04, 05
  Nak,              // F0 52 00 m 00 cc F7, cc != 0
  IdentityReply,    // the updater's own, answering identityRequest()
  Unknown,          // anything else: not SysEx, foreign maker, unknown command or sub-code
};
inline constexpr std::size_t kMessageKindCount = 9;
const char* kindName(MessageKind kind);

// Failure statuses of this model; each names one cause. None is 11 (reserved for the refusal of
// BeginUpdate) or 255 (the updater's own stop value).
inline constexpr uint8_t kStatusSuccess = 0x00;
inline constexpr uint8_t kStatusCrcMismatch = 0x01;
inline constexpr uint8_t kStatusNotErased = 0x02;
inline constexpr uint8_t kStatusOutOfRange = 0x03;
inline constexpr uint8_t kStatusBadLength = 0x04;     // message length wrong for its kind
inline constexpr uint8_t kStatusMalformed = 0x05;     // framing, byte above 7F, Num7 overrun
inline constexpr uint8_t kStatusNoUpdateMode = 0x06;  // erase/write/end before BeginUpdate
inline constexpr uint8_t kStatusUnknownCommand = 0x07;
inline constexpr uint8_t kStatusRefused = 0x0B;  // BeginUpdate while not in version-up mode

// Gap between the two answers of FaultAction::Twice unless the fault names one.
inline constexpr uint32_t kTwiceGapMs = 5;

enum class FaultAction : uint8_t {
  Drop,       // the message takes effect, its answer is lost
  Status,     // answer `status` instead; the message takes no effect
  Late,       // answer after `delayMs` instead of the configured delay
  Twice,      // answer twice, the second `delayMs` (kTwiceGapMs when 0) after the first
  Garbage,    // answer `bytes`, or by default a DeviceStatus 0 that lost its F0
  Truncated,  // answer only the first `keep` bytes (0: F0 52 00 m, or F0 7E 00 06 02 52)
};

// A fault for the occurrences [occurrence, occurrence + times) of one kind. Occurrences count
// the messages of that kind addressed to this device over the model's life, re-sends included,
// from 1. When several faults match one occurrence, the first added applies. Only messages the
// device answers (the first five kinds, and unknown commands) are affected.
struct Fault {
  MessageKind kind = MessageKind::WriteData;
  uint32_t occurrence = 1;
  uint32_t times = 1;
  FaultAction action = FaultAction::Drop;
  uint8_t status = 0;
  uint32_t delayMs = 0;
  uint32_t keep = 0;
  std::vector<uint8_t> bytes;

  // e.g. Fault::drop(MessageKind::WriteData, 5, 6): no answer to WriteData 5 to 10.
  static Fault drop(MessageKind kind, uint32_t occurrence, uint32_t times = 1);
  static Fault withStatus(MessageKind kind, uint32_t occurrence, uint8_t status,
                          uint32_t times = 1);
  static Fault late(MessageKind kind, uint32_t occurrence, uint32_t delayMs, uint32_t times = 1);
  static Fault twice(MessageKind kind, uint32_t occurrence, uint32_t times = 1,
                     uint32_t gapMs = kTwiceGapMs);
  static Fault garbage(MessageKind kind, uint32_t occurrence, uint32_t times = 1,
                       std::vector<uint8_t> answer = {});
  static Fault truncated(MessageKind kind, uint32_t occurrence, uint32_t times = 1,
                         uint32_t keepBytes = 0);
};

// One answer of the device: these bytes arrive `delayMs` after the message that caused them.
struct Reply {
  std::vector<uint8_t> bytes;
  uint32_t delayMs = 0;
};

// What the device answered to one message.
enum class Answer : uint8_t { None, Status, Done, IdentityReply, Other /* garbage, cut short */ };

// One message as the device saw it.
struct SeenMessage {
  uint32_t index = 0;  // 1-based position among every message received
  MessageKind kind = MessageKind::Unknown;
  uint32_t occurrence = 0;     // 1-based among its kind addressed to this device over the model's
                               // life (what faults go by); 0 when not for this device
  uint32_t size = 0;           // bytes received
  uint8_t model = 0;           // byte 3 of a device-specific message, byte 6 of an Identity Reply
  uint8_t channel = 0;         // byte 2
  bool forThisDevice = false;  // false: foreign model or maker, not SysEx: never answered
  bool ok = false;             // recognised, well formed and carried out (or, if no answer is
                               // due, merely well formed)
  uint32_t address = 0;        // EraseFlash, WriteData
  uint32_t length = 0;         // EraseFlash region length; WriteData length field
  Answer answer = Answer::None;
  uint8_t status = 0;  // meaningful when answer == Status
  bool faulted = false;
  FaultAction fault = FaultAction::Drop;  // meaningful when faulted
};

class DeviceModel {
 public:
  struct Config {
    uint8_t model = 0x58;
    bool refuseUpdateMode = false;  // BeginUpdate answered 11
    uint32_t replyDelayMs = 0;
    bool answerWithDone = false;        // DeviceDone instead of DeviceStatus 0
    bool doneOnlyForEndUpdate = false;  // with answerWithDone: only EndUpdate gets DeviceDone
    // A re-sent chunk whose earlier answer was lost finds its range written; the same bytes
    // again are accepted unless this is false.
    bool acceptIdenticalRewrite = true;
    uint8_t initialFill = 0x00;  // the flash before any erase; anything but FF shows "not erased"
    std::array<uint8_t, 4> revision{0x30, 0x32, 0x30, 0x31};  // software revision, "0201"
  };

  DeviceModel();
  explicit DeviceModel(const Config& config);

  // The updater sent one message; appends what the device answers (zero, one or two replies).
  void receive(const uint8_t* bytes, std::size_t count, std::vector<Reply>& replies);

  // Messages the device starts on its own: codes 01, 03, 04, 05, 06 (F0 52 00 model code F7)
  // and the universal Identity Request.
  std::vector<uint8_t> deviceRequest(uint8_t code) const;
  static std::vector<uint8_t> identityRequest();
  // What the device answers, for tests that compare bytes.
  std::vector<uint8_t> identityReply() const;
  std::vector<uint8_t> deviceStatus(uint8_t status) const;
  std::vector<uint8_t> deviceDone() const;

  void addFault(Fault fault);
  void clearFaults();

  // Changes take effect with the next message (e.g. refuse BeginUpdate only on the first run).
  Config& config() { return config_; }
  const Config& config() const { return config_; }

  bool inUpdateMode() const { return updateMode_; }
  // EndUpdate was carried out since the last BeginUpdate.
  bool finished() const { return finished_; }

  // The record.
  const std::vector<SeenMessage>& messages() const { return seen_; }
  const std::vector<std::string>& violations() const { return violations_; }
  // Messages of that kind addressed to this device (re-sends included).
  uint32_t count(MessageKind kind) const;
  // Of those, the ones answered with a failure status or refused.
  uint32_t failed(MessageKind kind) const;
  // Messages not for this device: another model byte, another maker, not SysEx.
  uint32_t ignored() const { return ignored_; }
  // Forgets messages, violations and counters; keeps flash, faults, mode and the occurrence
  // numbering that faults go by.
  void clearRecord();

  const std::vector<uint8_t>& flash() const { return flash_; }
  // True when every byte of [address, address + length) was erased and not written since.
  bool isErased(uint32_t address, uint32_t length) const;
  // True when every byte of the range was written since its last erase.
  bool isWritten(uint32_t address, uint32_t length) const;

  // The write steps of the plan (by default the built-in one: 136 at 0x0, 129 at 0x40000, 137 at
  // 0xF0000) against their payloads: each byte written since its erase and equal to the payload's.
  bool flashMatchesPayloads(std::string* firstDifference = nullptr,
                            std::span<const FlashStep> plan = FlashPlan) const;
  // Messages per kind, layout deviations and the flash comparison, for people to read.
  std::string report() const;

 private:
  enum class ByteState : uint8_t { Stale, Erased, Written };
  struct Outcome;

  void examine(const uint8_t* bytes, std::size_t count, SeenMessage& seen, Outcome& out);
  void examineDeviceSpecific(const uint8_t* bytes, std::size_t count, SeenMessage& seen,
                             Outcome& out);
  void examineUniversal(const uint8_t* bytes, std::size_t count, SeenMessage& seen, Outcome& out);
  bool examineWriteData(const uint8_t* bytes, std::size_t count, SeenMessage& seen, Outcome& out);
  uint8_t carryOut(const SeenMessage& seen);
  uint8_t carryOutWrite(const SeenMessage& seen);
  const Fault* faultFor(MessageKind kind, uint32_t occurrence) const;
  void answer(SeenMessage& seen, const Outcome& out, std::vector<Reply>& replies);
  void violation(const SeenMessage& seen, const std::string& text);
  bool inRange(uint32_t address, uint32_t length) const;

  Config config_;
  std::vector<uint8_t> flash_;
  std::vector<ByteState> state_;
  std::vector<uint8_t> decoded_;  // reused for every WriteData
  std::vector<Fault> faults_;
  std::vector<SeenMessage> seen_;
  std::vector<std::string> violations_;
  std::array<uint32_t, kMessageKindCount> counts_{};
  std::array<uint32_t, kMessageKindCount> failures_{};
  std::array<uint32_t, kMessageKindCount> occurrences_{};  // never cleared
  uint32_t ignored_ = 0;
  uint32_t received_ = 0;
  bool updateMode_ = false;
  bool finished_ = false;
};

}  // namespace rt88h::sim
