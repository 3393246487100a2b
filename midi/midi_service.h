#pragma once
// The service behind systemMidi(): back-ends, one device list per direction, the naming rules.
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "midi/midi_api.h"

namespace rt88h::midi {

// An open input device of some back-end; inClose destroys it once its close succeeds. Same
// semantics as MidiApi's in*.
struct InDevice {
  virtual ~InDevice() = default;
  virtual int reset() = 0;
  virtual int prepare(MidiHeader* header) = 0;
  virtual int addBuffer(MidiHeader* header) = 0;
  virtual int start() = 0;
  virtual int stop() = 0;
  virtual int unprepare(MidiHeader* header) = 0;
  // Called by inClose before destruction; after it returns 0 the callback is never called again.
  // On failure the device is kept, and may be closed again.
  virtual int close() = 0;
  // How often the transport has disturbed input so far (lost cycles, lost events, a failed
  // wait); 0 where a back-end cannot tell.
  virtual uint64_t transportTroubles() const { return 0; }
};

struct OutDevice {
  virtual ~OutDevice() = default;
  virtual int prepare(MidiHeader* header) = 0;
  virtual int longMsg(MidiHeader* header) = 0;
  virtual int unprepare(MidiHeader* header) = 0;
  virtual int reset() = 0;
  // Called by outClose before destruction; no header is held afterwards.
  virtual int close() = 0;
  virtual bool needsSerialisedSends() const { return false; }
};

class MidiBackend {
 public:
  virtual ~MidiBackend() = default;
  // Raw device names in this back-end's order; enumerated afresh on every call.
  virtual std::vector<std::string> inputNames() = 0;
  virtual std::vector<std::string> outputNames() = 0;
  virtual int openInput(std::size_t localIndex, InCallback callback, void* instance,
                        std::unique_ptr<InDevice>& device) = 0;
  virtual int openOutput(std::size_t localIndex, std::unique_ptr<OutDevice>& device) = 0;
  // Keys in the order of the names (see MidiApi::inDeviceKey); each starts with the back-end's
  // own prefix ("jack:", "alsa:", "virtual:"). Empty: this back-end has none.
  virtual std::vector<std::string> inputKeys() { return {}; }
  virtual std::vector<std::string> outputKeys() { return {}; }
  // Opens the device with that key as it is now; kMidiErrorBadDevice when there is none.
  virtual int openInputByKey(std::string_view /*key*/, InCallback /*callback*/, void* /*instance*/,
                             std::unique_ptr<InDevice>& /*device*/) {
    return kMidiErrorBadDevice;
  }
  virtual int openOutputByKey(std::string_view /*key*/, std::unique_ptr<OutDevice>& /*device*/) {
    return kMidiErrorBadDevice;
  }
  // Index -1, no device chosen: the platform's MIDI mapper where it has one (WinMM's
  // MIDI_MAPPER); kMidiErrorBadDevice where -1 names no device.
  virtual int openMapperInput(InCallback /*callback*/, void* /*instance*/,
                              std::unique_ptr<InDevice>& /*device*/) {
    return kMidiErrorBadDevice;
  }
  virtual int openMapperOutput(std::unique_ptr<OutDevice>& /*device*/) {
    return kMidiErrorBadDevice;
  }
  // Rescan Device: e.g. reconnect to a service that has appeared since.
  virtual void rescan() {}
};

// The index a port passes when no device is chosen, handed on to the back-ends' mappers.
inline constexpr int kMapperIndex = -1;

// Names as the lists show them: each cut to 31 characters and 39 bytes at a UTF-8 boundary; the
// second of two equal names becomes "NAME (2)", the third "NAME (3)" (the base cut so the whole
// stays within those limits).
std::vector<std::string> applyNamingRules(const std::vector<std::string>& raw);
// The longest prefix of at most maxChars characters and maxBytes bytes that ends between two
// UTF-8 characters.
std::string_view cutDeviceName(std::string_view text, std::size_t maxChars = kMaxDeviceNameChars,
                               std::size_t maxBytes = kMaxDeviceNameBytes);

class MidiService final : public MidiApi {
 public:
  void addBackend(std::shared_ptr<MidiBackend> backend);
  void removeBackend(const MidiBackend* backend);
  void rescan();

  int inDeviceCount() override;
  int inDeviceName(int index, char* name, std::size_t size) override;
  int inOpen(InHandle* handle, int index, InCallback callback, void* instance) override;
  std::string inDeviceKey(int index) override;
  int inOpenByKey(InHandle* handle, int indexHint, std::string_view key, InCallback callback,
                  void* instance) override;
  int inReset(InHandle handle) override;
  int inPrepare(InHandle handle, MidiHeader* header) override;
  int inAddBuffer(InHandle handle, MidiHeader* header) override;
  int inStart(InHandle handle) override;
  int inStop(InHandle handle) override;
  int inUnprepare(InHandle handle, MidiHeader* header) override;
  int inClose(InHandle handle) override;
  uint64_t inTransportTroubles(InHandle handle) override;

  int outDeviceCount() override;
  int outDeviceName(int index, char* name, std::size_t size) override;
  int outOpen(OutHandle* handle, int index) override;
  std::string outDeviceKey(int index) override;
  int outOpenByKey(OutHandle* handle, int indexHint, std::string_view key) override;
  int outClose(OutHandle handle) override;
  int outPrepare(OutHandle handle, MidiHeader* header) override;
  int outLongMsg(OutHandle handle, MidiHeader* header) override;
  int outUnprepare(OutHandle handle, MidiHeader* header) override;
  int outReset(OutHandle handle) override;
  bool outNeedsSerialisedSends() override;

 private:
  std::vector<std::shared_ptr<MidiBackend>> snapshot();
  int adoptInput(int result, std::unique_ptr<InDevice> device, InHandle* handle);
  int adoptOutput(std::unique_ptr<OutDevice> device, OutHandle* handle);
  std::mutex mutex_;
  std::vector<std::shared_ptr<MidiBackend>> backends_;
  int serialisedOutputs_ = 0;  // open output devices that need serialised sends
};

// The process-wide service that systemMidi() returns.
MidiService& midiService();

}  // namespace rt88h::midi
