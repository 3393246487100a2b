#include "app/core/preselect.h"

#include <cstdio>

#include "midi/midi_service.h"
#include "protocol/flash_plan.h"
#include "resources/string_table.h"

namespace rt88h::app {

std::vector<std::string> preferredNames(int instanceNumber) {
  std::vector<std::string> names;
  names.reserve(kPreferredDeviceNames.size());
  for (const std::string_view entry : kPreferredDeviceNames) {
    if (instanceNumber == 1) {
      names.emplace_back(entry);
    } else {
      char suffix[16];
      std::snprintf(suffix, sizeof suffix, " (%d)", instanceNumber);
      names.push_back(std::string(entry) + suffix);
    }
  }
  return names;
}

std::vector<std::string> preferredNamesAsListed(int instanceNumber) {
  std::vector<std::string> names;
  names.reserve(kPreferredDeviceNames.size());
  for (const std::string_view entry : kPreferredDeviceNames) {
    if (instanceNumber < 1) {
      names.push_back(preferredNames(instanceNumber)[names.size()]);
      continue;
    }
    const std::vector<std::string> copies(static_cast<std::size_t>(instanceNumber),
                                          std::string(entry));
    names.push_back(midi::applyNamingRules(copies).back());
  }
  return names;
}

int usualCopyOf(std::string_view listedName) {
  for (int copy = 1; copy <= kMaxInstances; ++copy) {
    for (const std::string& name : preferredNamesAsListed(copy)) {
      if (name == listedName) return copy;
    }
  }
  return 0;
}

int preselectedPosition(const std::vector<std::string>& entries,
                        const std::vector<std::string>& preferred) {
  int selected = -1;
  for (std::size_t p = 0; p < entries.size(); ++p) {
    for (const std::string& name : preferred) {
      if (entries[p] == name) {
        selected = static_cast<int>(p);
        break;
      }
    }
  }
  return selected;
}

namespace {

bool isUsualName(std::string_view name) {
  for (std::string_view preferred : kPreferredDeviceNames) {
    if (name == preferred) return true;
    if (name.starts_with(preferred) && name.substr(preferred.size()).starts_with(" (")) return true;
  }
  return false;
}

}  // namespace

bool usualDeviceConnected() {
  midi::MidiApi& midi = midi::systemMidi();
  for (int i = 0; i < midi.outDeviceCount(); ++i) {
    char name[midi::kDeviceNameSize] = {};
    if (midi.outDeviceName(i, name, sizeof name) == midi::kMidiOk && isUsualName(name)) {
      return true;
    }
  }
  return false;
}

bool demoPlaysItsDevice() {
  return payloadsAreTestImages() || !usualDeviceConnected();
}

std::string demoDeviceName(int instanceNumber) {
  return preferredNames(instanceNumber).back();
}

}  // namespace rt88h::app
