#include "midi/midi_service.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <unordered_map>
#include <unordered_set>

#include "midi/backends/backend_list.h"

namespace rt88h::midi {

namespace {

// Length of the UTF-8 sequence that lead byte starts; a stray byte counts alone.
std::size_t sequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF7) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC0) return 2;
  return 1;
}

}  // namespace

std::string_view cutDeviceName(std::string_view text, std::size_t maxChars, std::size_t maxBytes) {
  std::size_t end = 0;
  std::size_t chars = 0;
  while (end < text.size() && chars < maxChars) {
    const std::size_t next = end + sequenceLength(static_cast<unsigned char>(text[end]));
    if (next > maxBytes) break;
    end = next;
    ++chars;
  }
  return text.substr(0, std::min(end, text.size()));
}

namespace {

enum class Direction { In, Out };

std::vector<std::string> namesOf(MidiBackend& backend, Direction direction) {
  return direction == Direction::In ? backend.inputNames() : backend.outputNames();
}

std::vector<std::string> keysOf(MidiBackend& backend, Direction direction) {
  return direction == Direction::In ? backend.inputKeys() : backend.outputKeys();
}

struct Located {
  std::shared_ptr<MidiBackend> backend;
  std::size_t localIndex = 0;
};

// Writes text, cut to fit at a character boundary, and the terminator.
void copyName(std::string_view text, char* name, std::size_t size) {
  if (name == nullptr || size == 0) return;
  const std::string_view fitting = cutDeviceName(text, size - 1, size - 1);
  std::memcpy(name, fitting.data(), fitting.size());
  name[fitting.size()] = '\0';
}

}  // namespace

std::vector<std::string> applyNamingRules(const std::vector<std::string>& raw) {
  std::vector<std::string> cut;
  cut.reserve(raw.size());
  for (const std::string& name : raw) {
    const std::string_view shown(name.c_str());  // a name ends at its first NUL
    cut.emplace_back(cutDeviceName(shown));
  }
  // A literal name keeps its place: a generated "NAME (n)" skips any n whose text some device
  // really has, and any text already shown, so no two entries are ever equal.
  const std::unordered_set<std::string> literal(cut.begin(), cut.end());
  std::unordered_set<std::string> shown;
  std::unordered_map<std::string, unsigned> nextNumber;
  std::vector<std::string> result;
  result.reserve(cut.size());
  for (const std::string& name : cut) {
    if (shown.insert(name).second) {
      result.push_back(name);
      continue;
    }
    unsigned& number = nextNumber[name];
    if (number < 2) number = 2;
    for (;; ++number) {
      const std::string suffix = " (" + std::to_string(number) + ")";
      std::string candidate(cutDeviceName(name, kMaxDeviceNameChars - suffix.size(),
                                          kMaxDeviceNameBytes - suffix.size()));
      candidate += suffix;
      if (literal.count(candidate) == 0 && shown.insert(candidate).second) {
        result.push_back(std::move(candidate));
        ++number;
        break;
      }
    }
  }
  return result;
}

namespace {

std::vector<std::string> allNames(const std::vector<std::shared_ptr<MidiBackend>>& backends,
                                  Direction direction) {
  std::vector<std::string> names;
  for (const auto& backend : backends) {
    std::vector<std::string> own = namesOf(*backend, direction);
    names.insert(names.end(), std::make_move_iterator(own.begin()),
                 std::make_move_iterator(own.end()));
  }
  return names;
}

bool locate(const std::vector<std::shared_ptr<MidiBackend>>& backends, Direction direction,
            int index, Located& found) {
  if (index < 0) return false;
  auto remaining = static_cast<std::size_t>(index);
  for (const auto& backend : backends) {
    const std::size_t count = namesOf(*backend, direction).size();
    if (remaining < count) {
      found.backend = backend;
      found.localIndex = remaining;
      return true;
    }
    remaining -= count;
  }
  return false;
}

std::string deviceKey(const std::vector<std::shared_ptr<MidiBackend>>& backends,
                      Direction direction, int index) {
  Located found;
  if (!locate(backends, direction, index, found)) return {};
  std::vector<std::string> keys = keysOf(*found.backend, direction);
  // The lists are enumerated afresh: one may have changed between the two calls.
  return found.localIndex < keys.size() ? std::move(keys[found.localIndex]) : std::string{};
}

int deviceCount(const std::vector<std::shared_ptr<MidiBackend>>& backends, Direction direction) {
  std::size_t count = 0;
  for (const auto& backend : backends) count += namesOf(*backend, direction).size();
  return static_cast<int>(count);
}

int deviceName(const std::vector<std::shared_ptr<MidiBackend>>& backends, Direction direction,
               int index, char* name, std::size_t size) {
  const std::vector<std::string> names = applyNamingRules(allNames(backends, direction));
  if (index < 0 || static_cast<std::size_t>(index) >= names.size()) {
    copyName("", name, size);
    return kMidiErrorBadDevice;
  }
  copyName(names[static_cast<std::size_t>(index)], name, size);
  return kMidiOk;
}

// Each back-end in turn: the first that knows the device (any answer but "no such device")
// gives the result.
template <typename Device, typename Open>
int firstThatOpens(const std::vector<std::shared_ptr<MidiBackend>>& backends,
                   std::unique_ptr<Device>& device, Open open) {
  for (const auto& backend : backends) {
    const int result = open(*backend, device);
    if (result == kMidiErrorBadDevice && !device) continue;
    return result;
  }
  return kMidiErrorBadDevice;
}

}  // namespace

void MidiService::addBackend(std::shared_ptr<MidiBackend> backend) {
  if (!backend) return;
  std::lock_guard lock(mutex_);
  backends_.push_back(std::move(backend));
}

void MidiService::removeBackend(const MidiBackend* backend) {
  std::shared_ptr<MidiBackend> removed;  // released after the lock
  std::lock_guard lock(mutex_);
  for (auto it = backends_.begin(); it != backends_.end(); ++it) {
    if (it->get() == backend) {
      removed = std::move(*it);
      backends_.erase(it);
      break;
    }
  }
}

void MidiService::rescan() {
  for (const auto& backend : snapshot()) backend->rescan();
}

std::vector<std::shared_ptr<MidiBackend>> MidiService::snapshot() {
  std::lock_guard lock(mutex_);
  return backends_;
}

int MidiService::inDeviceCount() {
  try {
    return deviceCount(snapshot(), Direction::In);
  } catch (...) {
    return 0;
  }
}

int MidiService::inDeviceName(int index, char* name, std::size_t size) {
  try {
    return deviceName(snapshot(), Direction::In, index, name, size);
  } catch (...) {
    copyName("", name, size);
    return kMidiErrorNoMemory;
  }
}

int MidiService::inOpen(InHandle* handle, int index, InCallback callback, void* instance) {
  if (handle == nullptr) return kMidiErrorInvalidHandle;
  *handle = nullptr;
  try {
    std::unique_ptr<InDevice> device;
    if (index == kMapperIndex) {
      const int result = firstThatOpens(snapshot(), device, [&](MidiBackend& backend, auto& d) {
        return backend.openMapperInput(callback, instance, d);
      });
      return adoptInput(result, std::move(device), handle);
    }
    Located found;
    if (!locate(snapshot(), Direction::In, index, found)) return kMidiErrorBadDevice;
    const int result = found.backend->openInput(found.localIndex, callback, instance, device);
    return adoptInput(result, std::move(device), handle);
  } catch (...) {
    return kMidiErrorNoMemory;
  }
}

std::string MidiService::inDeviceKey(int index) {
  try {
    return deviceKey(snapshot(), Direction::In, index);
  } catch (...) {
    return {};
  }
}

// Each back-end looks the key up in its own list as it is at this moment and opens that device.
// Each back-end looks the key up in its own list as it is at this moment and opens that device.
int MidiService::inOpenByKey(InHandle* handle, int /*indexHint*/, std::string_view key,
                             InCallback callback, void* instance) {
  if (handle == nullptr) return kMidiErrorInvalidHandle;
  *handle = nullptr;
  if (key.empty()) return kMidiErrorBadDevice;
  try {
    std::unique_ptr<InDevice> device;
    const int result = firstThatOpens(snapshot(), device, [&](MidiBackend& backend, auto& d) {
      return backend.openInputByKey(key, callback, instance, d);
    });
    return adoptInput(result, std::move(device), handle);
  } catch (...) {
    return kMidiErrorNoMemory;
  }
}

int MidiService::adoptInput(int result, std::unique_ptr<InDevice> device, InHandle* handle) {
  if (result != kMidiOk) return result;
  if (!device) return kMidiErrorNotReady;
  *handle = device.release();
  return kMidiOk;
}

int MidiService::inReset(InHandle handle) {
  return handle == nullptr ? kMidiErrorInvalidHandle : handle->reset();
}

int MidiService::inPrepare(InHandle handle, MidiHeader* header) {
  return handle == nullptr ? kMidiErrorInvalidHandle : handle->prepare(header);
}

int MidiService::inAddBuffer(InHandle handle, MidiHeader* header) {
  return handle == nullptr ? kMidiErrorInvalidHandle : handle->addBuffer(header);
}

int MidiService::inStart(InHandle handle) {
  return handle == nullptr ? kMidiErrorInvalidHandle : handle->start();
}

int MidiService::inStop(InHandle handle) {
  return handle == nullptr ? kMidiErrorInvalidHandle : handle->stop();
}

int MidiService::inUnprepare(InHandle handle, MidiHeader* header) {
  return handle == nullptr ? kMidiErrorInvalidHandle : handle->unprepare(header);
}

// A device whose close failed may still call back or hold a buffer: it stays, and its handle
// stays valid for the caller to close again.
int MidiService::inClose(InHandle handle) {
  if (handle == nullptr) return kMidiErrorInvalidHandle;
  const int result = handle->close();
  if (result == kMidiOk) delete handle;
  return result;
}

uint64_t MidiService::inTransportTroubles(InHandle handle) {
  return handle == nullptr ? 0 : handle->transportTroubles();
}

int MidiService::outDeviceCount() {
  try {
    return deviceCount(snapshot(), Direction::Out);
  } catch (...) {
    return 0;
  }
}

int MidiService::outDeviceName(int index, char* name, std::size_t size) {
  try {
    return deviceName(snapshot(), Direction::Out, index, name, size);
  } catch (...) {
    copyName("", name, size);
    return kMidiErrorNoMemory;
  }
}

int MidiService::outOpen(OutHandle* handle, int index) {
  if (handle == nullptr) return kMidiErrorInvalidHandle;
  *handle = nullptr;
  try {
    std::unique_ptr<OutDevice> device;
    if (index == kMapperIndex) {
      const int result = firstThatOpens(snapshot(), device, [](MidiBackend& backend, auto& d) {
        return backend.openMapperOutput(d);
      });
      return result == kMidiOk ? adoptOutput(std::move(device), handle) : result;
    }
    Located found;
    if (!locate(snapshot(), Direction::Out, index, found)) return kMidiErrorBadDevice;
    const int result = found.backend->openOutput(found.localIndex, device);
    if (result != kMidiOk) return result;
    return adoptOutput(std::move(device), handle);
  } catch (...) {
    return kMidiErrorNoMemory;
  }
}

std::string MidiService::outDeviceKey(int index) {
  try {
    return deviceKey(snapshot(), Direction::Out, index);
  } catch (...) {
    return {};
  }
}

int MidiService::outOpenByKey(OutHandle* handle, int /*indexHint*/, std::string_view key) {
  if (handle == nullptr) return kMidiErrorInvalidHandle;
  *handle = nullptr;
  if (key.empty()) return kMidiErrorBadDevice;
  try {
    std::unique_ptr<OutDevice> device;
    const int result = firstThatOpens(snapshot(), device, [&](MidiBackend& backend, auto& d) {
      return backend.openOutputByKey(key, d);
    });
    return result == kMidiOk ? adoptOutput(std::move(device), handle) : result;
  } catch (...) {
    return kMidiErrorNoMemory;
  }
}

int MidiService::adoptOutput(std::unique_ptr<OutDevice> device, OutHandle* handle) {
  if (!device) return kMidiErrorNotReady;
  if (device->needsSerialisedSends()) {
    std::lock_guard lock(mutex_);
    ++serialisedOutputs_;
  }
  *handle = device.release();
  return kMidiOk;
}

int MidiService::outClose(OutHandle handle) {
  if (handle == nullptr) return kMidiErrorInvalidHandle;
  const bool serialised = handle->needsSerialisedSends();
  const int result = handle->close();
  delete handle;
  if (serialised) {
    std::lock_guard lock(mutex_);
    --serialisedOutputs_;
  }
  return result;
}

int MidiService::outPrepare(OutHandle handle, MidiHeader* header) {
  return handle == nullptr ? kMidiErrorInvalidHandle : handle->prepare(header);
}

int MidiService::outLongMsg(OutHandle handle, MidiHeader* header) {
  return handle == nullptr ? kMidiErrorInvalidHandle : handle->longMsg(header);
}

int MidiService::outUnprepare(OutHandle handle, MidiHeader* header) {
  return handle == nullptr ? kMidiErrorInvalidHandle : handle->unprepare(header);
}

int MidiService::outReset(OutHandle handle) {
  return handle == nullptr ? kMidiErrorInvalidHandle : handle->reset();
}

// Without a handle to ask, this answers for every output open now: true while any of them
// cannot keep two messages apart.
bool MidiService::outNeedsSerialisedSends() {
  std::lock_guard lock(mutex_);
  return serialisedOutputs_ > 0;
}

MidiService& midiService() {
  struct Holder {
    MidiService service;
    Holder() { registerBackends(service); }
  };
  static Holder holder;
  return holder.service;
}

MidiApi& systemMidi() {
  return midiService();
}

}  // namespace rt88h::midi
