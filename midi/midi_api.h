#pragma once
// The platform layer under the ports: what the ports need from a MIDI service, in our own names.
// Results: 0 success, non-zero failure (a kMidiError* code).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/arrival.h"

namespace rt88h::midi {

inline constexpr int kMidiOk = 0;
inline constexpr int kMidiErrorBadDevice = 2;  // no device with that index
inline constexpr int kMidiErrorInvalidHandle = 5;
inline constexpr int kMidiErrorNoMemory = 7;
inline constexpr int kMidiErrorUnprepared = 64;    // header not prepared
inline constexpr int kMidiErrorStillPlaying = 65;  // buffer still lent / in use
inline constexpr int kMidiErrorNotReady = 67;      // device gone or closed
inline constexpr int kMidiErrorTooLarge = 11;      // message can never fit the service

inline constexpr std::size_t kDeviceNameSize = 40;  // caller's buffer
// A name has at most 31 characters, like the platform field it stands for; in UTF-8 those may
// need more bytes than 31 (the Japanese preferred name needs 32), so bytes are bounded by the
// caller's buffer instead.
inline constexpr std::size_t kMaxDeviceNameChars = 31;
inline constexpr std::size_t kMaxDeviceNameBytes = kDeviceNameSize - 1;

// Header flags.
inline constexpr uint32_t kHeaderDone = 0x1;
inline constexpr uint32_t kHeaderPrepared = 0x2;
inline constexpr uint32_t kHeaderInQueue = 0x4;

// Describes one buffer lent to, or sent through, the service. The caller owns it.
struct MidiHeader {
  uint8_t* data = nullptr;
  uint32_t bufferLength = 0;
  uint32_t bytesRecorded = 0;
  std::atomic<uint32_t> flags{0};  // set from the service's thread
  MidiHeader* next = nullptr;      // service's use
  // Input only, set with the done flag: when its last byte came (JACK: cycles are the receiving
  // client's process calls, counted from 1, so that the next call is always one more).
  Arrival arrival{};
};

// steady_clock now in microseconds since its epoch, as Arrival::atUs counts.
int64_t steadyNowUs() noexcept;

enum class InMessage : uint32_t {
  LongData,   // a lent header comes back: header set, done flag and bytesRecorded filled
  ShortData,  // a short (non-SysEx) message packed in shortMessage
  LongError,  // a lent header comes back with a SysEx cut short: not a message, lend it again
};

// Called on the service's thread; after inClose returns it is never called again.
using InCallback = void (*)(InMessage message, void* instance, MidiHeader* header,
                            uint32_t shortMessage);

struct InDevice;   // opaque: an open input device
struct OutDevice;  // opaque: an open output device
using InHandle = InDevice*;
using OutHandle = OutDevice*;

class MidiApi {
 public:
  virtual ~MidiApi() = default;

  // Input.
  virtual int inDeviceCount() = 0;
  // Writes the terminated name (at most 31 characters, 39 bytes) into name[0..size); 0 or an error.
  virtual int inDeviceName(int index, char* name, std::size_t size) = 0;
  virtual int inOpen(InHandle* handle, int index, InCallback callback, void* instance) = 0;
  // What tells the device at that index apart from every other, now and later (e.g.
  // "jack:client:port"); "" when the service cannot tell.
  virtual std::string inDeviceKey(int /*index*/) { return {}; }
  // Opens the device whose key is `key` now, wherever it is listed (indexHint: where it was);
  // kMidiErrorBadDevice, nothing opened, when no device has that key.
  virtual int inOpenByKey(InHandle* handle, int indexHint, std::string_view key,
                          InCallback callback, void* instance) {
    if (handle != nullptr) *handle = nullptr;
    if (key.empty() || inDeviceKey(indexHint) != key) return kMidiErrorBadDevice;
    return inOpen(handle, indexHint, callback, instance);
  }
  // Stops input; every lent header comes back done and empty.
  virtual int inReset(InHandle handle) = 0;
  // Preparing a prepared header succeeds.
  virtual int inPrepare(InHandle handle, MidiHeader* header) = 0;
  // Lends the buffer: it comes back done at F7 or when full.
  virtual int inAddBuffer(InHandle handle, MidiHeader* header) = 0;
  virtual int inStart(InHandle handle) = 0;
  // Stops input; a partly filled buffer comes back done with what it holds.
  virtual int inStop(InHandle handle) = 0;
  // Fails with kMidiErrorStillPlaying while the buffer is lent.
  virtual int inUnprepare(InHandle handle, MidiHeader* header) = 0;
  // Destroys the device on success; after a failure the handle stays valid, to be closed again.
  virtual int inClose(InHandle handle) = 0;
  // How often the transport has disturbed this input so far (e.g. JACK cycles the client was
  // late for, events lost); 0 where the service cannot tell.
  virtual uint64_t inTransportTroubles(InHandle /*handle*/) { return 0; }

  // Output.
  virtual int outDeviceCount() = 0;
  virtual int outDeviceName(int index, char* name, std::size_t size) = 0;
  virtual int outOpen(OutHandle* handle, int index) = 0;
  virtual std::string outDeviceKey(int /*index*/) { return {}; }
  virtual int outOpenByKey(OutHandle* handle, int indexHint, std::string_view key) {
    if (handle != nullptr) *handle = nullptr;
    if (key.empty() || outDeviceKey(indexHint) != key) return kMidiErrorBadDevice;
    return outOpen(handle, indexHint);
  }
  virtual int outClose(OutHandle handle) = 0;
  virtual int outPrepare(OutHandle handle, MidiHeader* header) = 0;
  // Takes the buffer and returns at once; the done flag is set from another thread.
  virtual int outLongMsg(OutHandle handle, MidiHeader* header) = 0;
  virtual int outUnprepare(OutHandle handle, MidiHeader* header) = 0;
  // Ends every send in progress: their headers come back done. Sends on a device that has
  // vanished end the same way, never leaving a sender waiting.
  virtual int outReset(OutHandle handle) = 0;
  // True when this service cannot keep two long messages sent at once apart.
  virtual bool outNeedsSerialisedSends() { return false; }
};

// The process's MIDI service: the registered back-ends, ALSA, then JACK, then WinMM, then virtual.
MidiApi& systemMidi();

}  // namespace rt88h::midi
