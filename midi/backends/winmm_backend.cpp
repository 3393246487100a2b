#include "midi/backends/winmm_backend.h"

// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "midi/backends/header_flags.h"

namespace rt88h::midi {

namespace {

// What WinMM drivers take in one long message.
constexpr std::size_t kMaxLongBytes = 65536;
constexpr UINT kHeaderSize = sizeof(MIDIHDR);

// The driver's MIDIHDR for each of a caller's prepared headers; made on prepare, never in a
// callback, so that lending a buffer again from the callback allocates nothing.
class HeaderSlots {
 public:
  HeaderSlots() = default;
  HeaderSlots(const HeaderSlots&) = delete;
  HeaderSlots& operator=(const HeaderSlots&) = delete;

  MIDIHDR* find(const MidiHeader* header) {
    std::lock_guard lock(mutex_);
    for (const auto& slot : slots_) {
      if (slot.first == header) return slot.second.get();
    }
    return nullptr;
  }

  // nullptr when there is no memory.
  MIDIHDR* make(MidiHeader* header) {
    std::unique_ptr<MIDIHDR> made(new (std::nothrow) MIDIHDR{});
    if (!made) return nullptr;
    made->lpData = reinterpret_cast<LPSTR>(header->data);
    made->dwBufferLength = header->bufferLength;
    made->dwUser = reinterpret_cast<DWORD_PTR>(header);
    MIDIHDR* raw = made.get();
    std::lock_guard lock(mutex_);
    try {
      slots_.emplace_back(header, std::move(made));
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
    return raw;
  }

  void release(const MidiHeader* header) {
    std::unique_ptr<MIDIHDR> gone;  // freed after the lock
    std::lock_guard lock(mutex_);
    auto it = std::find_if(slots_.begin(), slots_.end(),
                           [header](const auto& slot) { return slot.first == header; });
    if (it == slots_.end()) return;
    gone = std::move(it->second);
    slots_.erase(it);
  }

  std::vector<MIDIHDR*> all() {
    std::vector<MIDIHDR*> result;
    std::lock_guard lock(mutex_);
    try {
      for (const auto& slot : slots_) result.push_back(slot.second.get());
    } catch (const std::bad_alloc&) {
    }
    return result;
  }

  void clear() {
    std::vector<std::pair<MidiHeader*, std::unique_ptr<MIDIHDR>>> gone;
    std::lock_guard lock(mutex_);
    gone.swap(slots_);
  }

  // The driver may still write into them: leaked rather than freed under it.
  void abandon() {
    std::lock_guard lock(mutex_);
    for (auto& slot : slots_) static_cast<void>(slot.second.release());
    slots_.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<MidiHeader*, std::unique_ptr<MIDIHDR>>> slots_;
};

template <typename Handle>
using HeaderCall = MMRESULT(WINAPI*)(Handle, LPMIDIHDR, UINT);

template <typename Handle>
int prepareSlot(HeaderSlots& slots, Handle handle, MidiHeader* header, HeaderCall<Handle> prepare,
                HeaderCall<Handle> unprepare) {
  if (header == nullptr || (header->data == nullptr && header->bufferLength != 0)) {
    return kMidiErrorInvalidHandle;
  }
  if (header->bufferLength > kMaxLongBytes) return kMidiErrorTooLarge;
  MIDIHDR* slot = slots.find(header);
  if (slot != nullptr && (slot->lpData != reinterpret_cast<LPSTR>(header->data) ||
                          slot->dwBufferLength != header->bufferLength)) {
    // The caller points a prepared header at other bytes: the driver's preparation is redone.
    if (headerInFlight(header->flags.load())) return kMidiErrorStillPlaying;
    const MMRESULT undone = unprepare(handle, slot, kHeaderSize);
    if (undone != MMSYSERR_NOERROR) return winmmResult(undone);
    slots.release(header);
    slot = nullptr;
  }
  const bool made = slot == nullptr;
  if (made) slot = slots.make(header);
  if (slot == nullptr) return kMidiErrorNoMemory;
  const MMRESULT result = prepare(handle, slot, kHeaderSize);
  if (result != MMSYSERR_NOERROR) {
    if (made) slots.release(header);
    return winmmResult(result);
  }
  return prepareHeader(header);
}

template <typename Handle>
int unprepareSlot(HeaderSlots& slots, Handle handle, MidiHeader* header,
                  HeaderCall<Handle> unprepare) {
  if (header == nullptr) return kMidiErrorInvalidHandle;
  MIDIHDR* slot = slots.find(header);
  if (slot == nullptr) return unprepareHeader(header);
  if (headerInFlight(header->flags.load())) return kMidiErrorStillPlaying;
  const MMRESULT result = unprepare(handle, slot, kHeaderSize);
  if (result != MMSYSERR_NOERROR) return winmmResult(result);
  slots.release(header);
  return unprepareHeader(header);
}

// Hands the header to the driver; the done flag may be set before the call returns.
template <typename Handle>
int lendSlot(HeaderSlots& slots, Handle handle, MidiHeader* header, HeaderCall<Handle> lend) {
  if (header == nullptr) return kMidiErrorInvalidHandle;
  MIDIHDR* slot = slots.find(header);
  if (slot == nullptr) return kMidiErrorUnprepared;
  const uint32_t before = header->flags.load();
  if (const int refused = headerTakeable(before); refused != kMidiOk) return refused;
  if (slot->dwBufferLength != header->bufferLength) return kMidiErrorUnprepared;
  header->bytesRecorded = 0;
  markQueued(header);
  const MMRESULT result = lend(handle, slot, kHeaderSize);
  if (result != MMSYSERR_NOERROR) {
    header->flags.fetch_and(~kHeaderInQueue);
    header->flags.fetch_or(before & kHeaderDone);
    return winmmResult(result);
  }
  return kMidiOk;
}

void CALLBACK inProc(HMIDIIN, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR);
void CALLBACK outProc(HMIDIOUT, UINT message, DWORD_PTR, DWORD_PTR param1, DWORD_PTR);

class WinmmInDevice final : public InDevice {
 public:
  WinmmInDevice(InCallback callback, void* instance) : callback_(callback), instance_(instance) {}
  WinmmInDevice(const WinmmInDevice&) = delete;
  WinmmInDevice& operator=(const WinmmInDevice&) = delete;
  ~WinmmInDevice() override {
    if (handle_ == nullptr) return;
    midiInReset(handle_);
    if (close() != kMidiOk) slots_.abandon();
  }

  int open(UINT index) {
    HMIDIIN handle = nullptr;
    const MMRESULT result = midiInOpen(&handle, index, reinterpret_cast<DWORD_PTR>(&inProc),
                                       reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION);
    if (result != MMSYSERR_NOERROR) return winmmResult(result);
    handle_ = handle;
    return kMidiOk;
  }

  void deliver(UINT message, DWORD_PTR param1) {
    winmmInMessage(message, param1, callback_, instance_);
  }

  int reset() override { return winmmResult(midiInReset(handle_)); }
  int prepare(MidiHeader* header) override {
    return prepareSlot<HMIDIIN>(slots_, handle_, header, &midiInPrepareHeader,
                                &midiInUnprepareHeader);
  }
  int addBuffer(MidiHeader* header) override {
    return lendSlot<HMIDIIN>(slots_, handle_, header, &midiInAddBuffer);
  }
  int start() override { return winmmResult(midiInStart(handle_)); }
  int stop() override { return winmmResult(midiInStop(handle_)); }
  int unprepare(MidiHeader* header) override {
    return unprepareSlot<HMIDIIN>(slots_, handle_, header, &midiInUnprepareHeader);
  }
  // Refused (still playing) while a buffer is lent; the device then stays usable.
  int close() override {
    if (handle_ == nullptr) return kMidiOk;
    const MMRESULT result = midiInClose(handle_);
    if (result != MMSYSERR_NOERROR) return winmmResult(result);
    handle_ = nullptr;
    slots_.clear();
    return kMidiOk;
  }

 private:
  const InCallback callback_;
  void* const instance_;
  HMIDIIN handle_ = nullptr;
  HeaderSlots slots_;
};

class WinmmOutDevice final : public OutDevice {
 public:
  WinmmOutDevice() = default;
  WinmmOutDevice(const WinmmOutDevice&) = delete;
  WinmmOutDevice& operator=(const WinmmOutDevice&) = delete;
  ~WinmmOutDevice() override { close(); }

  // The callback needs no instance: MOM_DONE finds our header through the MIDIHDR alone.
  int open(UINT index) {
    HMIDIOUT handle = nullptr;
    const MMRESULT result =
        midiOutOpen(&handle, index, reinterpret_cast<DWORD_PTR>(&outProc), 0, CALLBACK_FUNCTION);
    if (result != MMSYSERR_NOERROR) return winmmResult(result);
    handle_ = handle;
    return kMidiOk;
  }

  int prepare(MidiHeader* header) override {
    return prepareSlot<HMIDIOUT>(slots_, handle_, header, &midiOutPrepareHeader,
                                 &midiOutUnprepareHeader);
  }
  int longMsg(MidiHeader* header) override {
    return lendSlot<HMIDIOUT>(slots_, handle_, header, &midiOutLongMsg);
  }
  int unprepare(MidiHeader* header) override {
    return unprepareSlot<HMIDIOUT>(slots_, handle_, header, &midiOutUnprepareHeader);
  }
  int reset() override { return winmmResult(midiOutReset(handle_)); }
  // The service destroys the device whatever this returns: headers the driver might still
  // hold are abandoned rather than freed.
  int close() override {
    if (handle_ == nullptr) return kMidiOk;
    const std::vector<MIDIHDR*> held = slots_.all();
    // A reset also turns every note off on the device: only when a buffer is still out.
    if (std::any_of(held.begin(), held.end(), [](const MIDIHDR* slot) {
          return (slot->dwFlags & MHDR_INQUEUE) != 0 && (slot->dwFlags & MHDR_DONE) == 0;
        })) {
      midiOutReset(handle_);
    }
    for (MIDIHDR* slot : held) midiOutUnprepareHeader(handle_, slot, kHeaderSize);
    const MMRESULT result = midiOutClose(handle_);
    handle_ = nullptr;
    if (result != MMSYSERR_NOERROR) {
      slots_.abandon();
      return winmmResult(result);
    }
    slots_.clear();
    return kMidiOk;
  }
  // One long message at a time per output is what WinMM drivers are written for.
  bool needsSerialisedSends() const override { return true; }

 private:
  HMIDIOUT handle_ = nullptr;
  HeaderSlots slots_;
};

void CALLBACK inProc(HMIDIIN, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
  if (instance != 0) reinterpret_cast<WinmmInDevice*>(instance)->deliver(message, param1);
}

void CALLBACK outProc(HMIDIOUT, UINT message, DWORD_PTR, DWORD_PTR param1, DWORD_PTR) {
  winmmOutMessage(message, param1);
}

// WinMM's names in its order; a device whose caps cannot be read keeps its place, unnamed.
template <typename Caps, typename GetCaps>
std::vector<std::string> namesOf(UINT count, GetCaps getCaps) {
  std::vector<std::string> names;
  for (UINT index = 0; index < count; ++index) {
    Caps caps{};
    const bool known = getCaps(index, &caps, sizeof caps) == MMSYSERR_NOERROR;
    names.push_back(known ? winmmNameToUtf8(caps.szPname, sizeof caps.szPname) : std::string());
  }
  return names;
}

std::vector<std::string> inNames() {
  return namesOf<MIDIINCAPSA>(midiInGetNumDevs(), midiInGetDevCapsA);
}

std::vector<std::string> outNames() {
  return namesOf<MIDIOUTCAPSA>(midiOutGetNumDevs(), midiOutGetDevCapsA);
}

std::vector<std::string> keysOf(bool input, const std::vector<std::string>& names) {
  std::vector<std::string> keys;
  keys.reserve(names.size());
  for (std::size_t index = 0; index < names.size(); ++index) {
    keys.push_back(winmmDeviceKey(input, index, names[index]));
  }
  return keys;
}

// Where the key sits in the list as it is now.
bool indexOfKey(const std::vector<std::string>& keys, std::string_view key, std::size_t& index) {
  for (index = 0; index < keys.size(); ++index) {
    if (keys[index] == key) return true;
  }
  return false;
}

class WinmmBackend final : public MidiBackend {
 public:
  std::vector<std::string> inputNames() override { return inNames(); }
  std::vector<std::string> outputNames() override { return outNames(); }
  std::vector<std::string> inputKeys() override { return keysOf(true, inNames()); }
  std::vector<std::string> outputKeys() override { return keysOf(false, outNames()); }

  int openInput(std::size_t localIndex, InCallback callback, void* instance,
                std::unique_ptr<InDevice>& device) override {
    device.reset();
    if (localIndex >= UINT_MAX) return kMidiErrorBadDevice;
    std::unique_ptr<WinmmInDevice> opened(new (std::nothrow) WinmmInDevice(callback, instance));
    if (!opened) return kMidiErrorNoMemory;
    const int result = opened->open(static_cast<UINT>(localIndex));
    if (result != kMidiOk) return result;
    device = std::move(opened);
    return kMidiOk;
  }

  int openOutput(std::size_t localIndex, std::unique_ptr<OutDevice>& device) override {
    device.reset();
    if (localIndex >= UINT_MAX) return kMidiErrorBadDevice;
    std::unique_ptr<WinmmOutDevice> opened(new (std::nothrow) WinmmOutDevice());
    if (!opened) return kMidiErrorNoMemory;
    const int result = opened->open(static_cast<UINT>(localIndex));
    if (result != kMidiOk) return result;
    device = std::move(opened);
    return kMidiOk;
  }

  int openInputByKey(std::string_view key, InCallback callback, void* instance,
                     std::unique_ptr<InDevice>& device) override {
    std::size_t index = 0;
    if (!indexOfKey(inputKeys(), key, index)) return kMidiErrorBadDevice;
    return openInput(index, callback, instance, device);
  }

  int openOutputByKey(std::string_view key, std::unique_ptr<OutDevice>& device) override {
    std::size_t index = 0;
    if (!indexOfKey(outputKeys(), key, index)) return kMidiErrorBadDevice;
    return openOutput(index, device);
  }
};

}  // namespace

std::shared_ptr<MidiBackend> makeWinmmBackend() {
  return std::make_shared<WinmmBackend>();
}

int winmmResult(unsigned result) {
  switch (result) {
    case MMSYSERR_NOERROR: return kMidiOk;
    case MMSYSERR_BADDEVICEID:
    case MMSYSERR_NODRIVER: return kMidiErrorBadDevice;
    case MMSYSERR_INVALHANDLE:
    case MMSYSERR_INVALPARAM:
    case MMSYSERR_INVALFLAG: return kMidiErrorInvalidHandle;
    case MMSYSERR_NOMEM: return kMidiErrorNoMemory;
    case MIDIERR_UNPREPARED: return kMidiErrorUnprepared;
    case MIDIERR_STILLPLAYING: return kMidiErrorStillPlaying;
    default:  // allocated to another program, gone, not ready, a driver's own error
      return kMidiErrorNotReady;
  }
}

std::string winmmNameToUtf8(const char* name, std::size_t size) {
  if (name == nullptr) return {};
  const int length = static_cast<int>(strnlen(name, std::min<std::size_t>(size, 1024)));
  if (length == 0) return {};
  try {
    const int wideLength = MultiByteToWideChar(CP_ACP, 0, name, length, nullptr, 0);
    if (wideLength <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
    MultiByteToWideChar(CP_ACP, 0, name, length, wide.data(), wideLength);
    const int utf8Length =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
    if (utf8Length <= 0) return {};
    std::string utf8(static_cast<std::size_t>(utf8Length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, utf8.data(), utf8Length, nullptr,
                        nullptr);
    return utf8;
  } catch (const std::bad_alloc&) {
    return {};
  }
}

std::string winmmDeviceKey(bool input, std::size_t index, std::string_view name) {
  std::string key = input ? "winmm:in:" : "winmm:out:";
  key += std::to_string(index);
  key += ':';
  key += name;
  return key;
}

void winmmInMessage(unsigned message, uintptr_t param1, InCallback callback, void* instance) {
  if (callback == nullptr) return;
  switch (message) {
    case MIM_DATA:
      callback(InMessage::ShortData, instance, nullptr, static_cast<uint32_t>(param1));
      return;
    case MIM_LONGDATA:
    case MIM_LONGERROR: {
      const auto* slot = reinterpret_cast<const MIDIHDR*>(param1);
      if (slot == nullptr) return;
      auto* header = reinterpret_cast<MidiHeader*>(slot->dwUser);
      if (header == nullptr) return;
      header->bytesRecorded = std::min<uint32_t>(slot->dwBytesRecorded, header->bufferLength);
      header->arrival = {.atUs = steadyNowUs()};
      if ((slot->dwFlags & MHDR_DONE) != 0) {
        markDone(header);
      } else {
        header->flags.fetch_and(~kHeaderInQueue);  // back from the driver, yet not done
      }
      callback(message == MIM_LONGDATA ? InMessage::LongData : InMessage::LongError, instance,
               header, 0);
      return;
    }
    default:  // open, close, errors of short messages, more data
      return;
  }
}

void winmmOutMessage(unsigned message, uintptr_t param1) {
  if (message != MOM_DONE) return;
  const auto* slot = reinterpret_cast<const MIDIHDR*>(param1);
  if (slot == nullptr) return;
  auto* header = reinterpret_cast<MidiHeader*>(slot->dwUser);
  // The sender may free its header the moment it sees done: nothing of it is read after.
  if (header != nullptr) markDone(header);
}

}  // namespace rt88h::midi
