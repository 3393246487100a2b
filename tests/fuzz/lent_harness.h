#pragma once
// An input device's side of LentBuffers: a few exact-size buffers lent to it, a callback that
// checks every buffer coming back and lends it again (at once or later), and the joined bytes.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "midi/backends/lent_buffers.h"
#include "midi/midi_api.h"
#include "tests/fuzz/fuzz_support.h"

namespace rt88h::fuzz {

class LentHarness {
 public:
  enum class Relend { AtOnce, Later, Alternate };

  LentHarness(const std::vector<uint32_t>& sizes, Relend relend)
      : relend_(relend), buffers_(&LentHarness::callback, this) {
    for (const uint32_t size : sizes) {
      auto slot = std::make_unique<Slot>(size);
      slot->header.data = slot->bytes.data();
      slot->header.bufferLength = size;
      FUZZ_REQUIRE(buffers_.prepare(&slot->header) == midi::kMidiOk);
      FUZZ_REQUIRE(buffers_.addBuffer(&slot->header) == midi::kMidiOk);
      slot->lent = true;
      slots_.push_back(std::move(slot));
    }
    buffers_.start();
  }

  midi::LentBuffers& buffers() { return buffers_; }

  void feedSysEx(std::span<const uint8_t> piece) {
    fed_ += piece.size();
    buffers_.feedSysEx(piece.data(), piece.size());
    checkTotals();
  }
  void feedShort(uint32_t message) {
    expectedShort_ = message;
    buffers_.feedShort(message);
    expectedShort_.reset();
  }
  // Short messages that pieces of an event stream carry: nothing checks their value.
  void allowAnyShort(bool any) { anyShort_ = any; }

  void reset() {
    inReset_ = true;
    buffers_.reset();
    inReset_ = false;
  }

  void relendHeld() {
    for (auto& slot : slots_) {
      if (!slot->lent && !closed_) lend(*slot);
    }
  }

  // The header rules: a lent buffer can be neither lent again nor unprepared; one that came
  // back can be unprepared and prepared again.
  void probeHeaders() {
    for (auto& slot : slots_) {
      if (slot->lent) {
        FUZZ_REQUIRE(buffers_.addBuffer(&slot->header) == midi::kMidiErrorStillPlaying);
        FUZZ_REQUIRE(buffers_.unprepare(&slot->header) == midi::kMidiErrorStillPlaying);
      } else {
        FUZZ_REQUIRE(buffers_.unprepare(&slot->header) == midi::kMidiOk);
        FUZZ_REQUIRE(buffers_.addBuffer(&slot->header) == midi::kMidiErrorUnprepared);
        FUZZ_REQUIRE(buffers_.prepare(&slot->header) == midi::kMidiOk);
      }
    }
  }

  // After close nothing is lent and nothing calls back.
  void close() {
    buffers_.close();
    closed_ = true;
    for (auto& slot : slots_) {
      const uint32_t flags = slot->header.flags.load();
      FUZZ_REQUIRE((flags & midi::kHeaderInQueue) == 0);
      if (slot->lent) FUZZ_REQUIRE((flags & midi::kHeaderDone) != 0);
      FUZZ_REQUIRE(slot->header.bytesRecorded <= slot->header.bufferLength);
      slot->lent = false;
    }
    const uint8_t message[] = {0xF0, 0x01, 0xF7, 0xF8};
    buffers_.feedSysEx(message, sizeof message);
    buffers_.feedShort(0x90);
    buffers_.endMessage();
    buffers_.stop();
    buffers_.reset();
    FUZZ_REQUIRE(buffers_.addBuffer(&slots_.front()->header) != midi::kMidiOk);
  }

  const std::vector<uint8_t>& joined() const { return joined_; }
  std::size_t entries() const { return entries_; }

 private:
  struct Slot {
    explicit Slot(uint32_t size) : bytes(size) {}
    ExactCopy bytes;
    midi::MidiHeader header;
    bool lent = false;
  };

  static void callback(midi::InMessage message, void* instance, midi::MidiHeader* header,
                       uint32_t shortMessage) {
    static_cast<LentHarness*>(instance)->received(message, header, shortMessage);
  }

  void received(midi::InMessage message, midi::MidiHeader* header, uint32_t shortMessage) {
    FUZZ_REQUIRE(!closed_);
    if (message == midi::InMessage::ShortData) {
      FUZZ_REQUIRE(header == nullptr);
      if (expectedShort_) {
        FUZZ_REQUIRE(shortMessage == *expectedShort_);
      } else if (!anyShort_) {
        // Inside SysEx pieces only real-time bytes stand on their own.
        FUZZ_REQUIRE(shortMessage >= 0xF8 && shortMessage <= 0xFF);
      }
      return;
    }
    Slot* slot = find(header);
    FUZZ_REQUIRE(slot != nullptr);
    FUZZ_REQUIRE(slot->lent);
    const uint32_t flags = header->flags.load();
    FUZZ_REQUIRE((flags & midi::kHeaderDone) != 0);
    FUZZ_REQUIRE((flags & midi::kHeaderInQueue) == 0);
    const uint32_t n = header->bytesRecorded;
    FUZZ_REQUIRE(n <= header->bufferLength);
    // Reset hands everything back empty; otherwise only buffers holding something come back.
    FUZZ_REQUIRE(inReset_ ? n == 0 : n > 0);
    for (uint32_t i = 0; i < n; ++i) {
      const uint8_t b = header->data[i];
      FUZZ_REQUIRE(b < 0x80 || (i == 0 && b == 0xF0) || (i == n - 1 && b == 0xF7));
    }
    joined_.insert(joined_.end(), header->data, header->data + n);
    handedBack_ += n;
    ++entries_;
    slot->lent = false;
    const bool now = relend_ == Relend::AtOnce || (relend_ == Relend::Alternate && entries_ % 2);
    if (now) lend(*slot);
  }

  void lend(Slot& slot) {
    FUZZ_REQUIRE(buffers_.addBuffer(&slot.header) == midi::kMidiOk);
    FUZZ_REQUIRE(slot.header.bytesRecorded == 0);
    slot.lent = true;
  }

  Slot* find(const midi::MidiHeader* header) {
    for (auto& slot : slots_) {
      if (&slot->header == header) return slot.get();
    }
    return nullptr;
  }

  void checkTotals() const { FUZZ_REQUIRE(handedBack_ <= fed_); }

  Relend relend_;
  std::vector<std::unique_ptr<Slot>> slots_;
  midi::LentBuffers buffers_;
  std::optional<uint32_t> expectedShort_;
  bool anyShort_ = false;
  bool inReset_ = false;
  bool closed_ = false;
  std::size_t fed_ = 0;
  std::size_t handedBack_ = 0;
  std::size_t entries_ = 0;
  std::vector<uint8_t> joined_;
};

}  // namespace rt88h::fuzz
