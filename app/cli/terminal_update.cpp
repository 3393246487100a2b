#include "app/cli/terminal_update.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "app/cli/exit_status.h"
#include "app/core/instance_lock.h"
#include "app/core/preselect.h"
#include "protocol/flash_plan.h"
#include "resources/string_table.h"

namespace rt88h::cli {
namespace {

using app::DeviceList;
using Entry = app::UpdatorDlgCore::ListEntry;

constexpr std::string_view kKeyPrefixes[] = {"jack:", "alsa:", "virtual:", "winmm:"};

std::string_view direction(DeviceList list) {
  return list == DeviceList::In ? "MIDI input" : "MIDI output";
}

std::string_view option(DeviceList list) {
  return list == DeviceList::In ? "--in" : "--out";
}

bool containsIgnoringCase(std::string_view text, std::string_view part) {
  const auto lower = [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  if (part.size() > text.size()) return false;
  for (std::size_t at = 0; at + part.size() <= text.size(); ++at) {
    std::size_t i = 0;
    while (i < part.size() && lower(text[at + i]) == lower(part[i])) ++i;
    if (i == part.size()) return true;
  }
  return false;
}

// The positions `wanted` names: exactly a key or a listed name; only when none does, a part of
// a name in any case.
std::vector<int> matches(const std::vector<Entry>& entries, std::string_view wanted) {
  std::vector<int> exact, partial;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].key == wanted || entries[i].name == wanted) {
      exact.push_back(static_cast<int>(i));
    } else if (containsIgnoringCase(entries[i].name, wanted)) {
      partial.push_back(static_cast<int>(i));
    }
  }
  return exact.empty() ? partial : exact;
}

bool looksLikeKey(std::string_view text) {
  for (const std::string_view prefix : kKeyPrefixes) {
    if (text.starts_with(prefix)) return true;
  }
  return false;
}

std::string quotedNames(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "\"" : ", \"") + name + "\"";
  return text;
}

// The list's entry for the update: the one named, or the window's pre-selection. Sets the
// view's selection; an exit status when there is none to take.
int choosePort(DeviceList list, const std::string& wanted, int copy, app::UpdatorDlgCore& core,
               TerminalView& view) {
  const std::vector<Entry>& entries = core.listed(list);
  const std::string what(direction(list));
  if (wanted.empty()) {
    if (view.selectedEntry(list) >= 0) return kExitCompleted;
    view.note("copy " + std::to_string(copy) + " pre-selects no " + what + ": none is named " +
              quotedNames(app::preferredNamesAsListed(copy)) + "; name it with " +
              std::string(option(list)) + " (--list shows the ports)");
    return kExitNoSuchPort;
  }
  const std::vector<int> found = matches(entries, wanted);
  if (found.size() == 1) {
    view.selectEntry(list, found.front());
    return kExitCompleted;
  }
  if (found.empty()) {
    view.note(looksLikeKey(wanted)
                  ? "no " + what + " has the key \"" + wanted +
                        "\": the port is gone (--list shows the ports there are)"
                  : "no " + what + " is named \"" + wanted + "\" (--list shows the ports)");
    return kExitNoSuchPort;
  }
  std::vector<std::string> names;
  names.reserve(found.size());
  for (const int position : found) {
    names.push_back(entries[static_cast<std::size_t>(position)].name);
  }
  view.note("\"" + wanted + "\" fits " + std::to_string(found.size()) + " " + what +
            "s: " + quotedNames(names) + "; give the whole name or the key (--list shows them)");
  return kExitSeveralPorts;
}

const Entry& selected(DeviceList list, app::UpdatorDlgCore& core, TerminalView& view) {
  return core.listed(list)[static_cast<std::size_t>(view.selectedEntry(list))];
}

// A device under another copy's usual name is that copy's: its number is held while the update
// runs, so that no window of that number pre-selects it meanwhile; refused while another holds it.
int holdOtherCopies(int copy, app::UpdatorDlgCore& core, TerminalView& view,
                    std::vector<app::InstanceLock>& held) {
  std::vector<int> owners;
  for (const DeviceList list : {DeviceList::Out, DeviceList::In}) {
    const std::string& name = selected(list, core, view).name;
    const int owner = app::usualCopyOf(name);
    if (owner == 0 || owner == copy ||
        std::find(owners.begin(), owners.end(), owner) != owners.end()) {
      continue;
    }
    owners.push_back(owner);
    app::InstanceLock lock;
    if (!lock.tryTake(app::instanceName(owner))) {
      view.note("\"" + name + "\" is the device of copy " + std::to_string(owner) +
                ", which another updater runs (\"" + app::instanceName(owner) + "\")");
      return kExitAnotherCopysDevice;
    }
    held.push_back(std::move(lock));
  }
  return kExitCompleted;
}

int listPorts(int copy, app::UpdatorDlgCore& core, TerminalView& view) {
  for (const DeviceList list : {DeviceList::In, DeviceList::Out}) {
    view.showList(list, core.listed(list), view.selectedEntry(list));
  }
  if (copy == 0) view.note("all 20 copies are running: none of these is pre-selected");
  return kExitCompleted;
}

std::string tooManyCopiesText() {
  std::array<char, 128> text{};
  std::snprintf(text.data(), text.size(), std::string(kTooManyInstancesFormat).c_str(),
                kMaxInstances);
  return text.data();
}

// Runs the update to its end, or until a stop signal; the exit status.
int update(app::UpdatorDlgCore& core, TerminalView& view, TerminalLoop& loop) {
  if (loop.stopSignal() != 0) return kExitSignalBase + loop.stopSignal();  // before anything went
  core.OnExecute();
  if (core.signals().busy.load() == 0) {  // it never began
    if (loop.stopSignal() != 0) return kExitSignalBase + loop.stopSignal();
    if (view.declinedTestImages()) return kExitTestImagesDeclined;
    return exitStatusOfBox(view.lastBox());
  }
  // A failure's box and the controls come after the record's end; a stop has neither.
  const auto ended = [&] {
    return view.finished() && (view.endingId() == 0 || core.signals().busy.load() == 0);
  };
  const bool stopped = loop.runUntil(ended) == TerminalLoop::Woken::Signal && !view.finished();
  if (stopped) {
    view.note("stopping the update: the device may be left partly written; run it again");
    core.OnDestroy();
  }
  core.shutDown();
  loop.drain();
  return stopped ? kExitSignalBase + loop.stopSignal() : exitStatusOfEnding(view.endingId());
}

}  // namespace

int runTerminalUpdate(const Options& options, app::UpdatorDlgCore& core, TerminalView& view,
                      TerminalLoop& loop) {
  app::InstanceLock own;
  const int copy = app::takeInstanceNumber(own);
  if (copy == 0 && !options.list) {
    view.note(tooManyCopiesText());
    return kExitAllCopiesRunning;
  }
  core.setProgramName(std::string(kProgram));
  core.setUpdateObserver(&view);
  core.OnInitDialog(copy, {});
  if (options.list) return listPorts(copy, core, view);

  int status = choosePort(DeviceList::Out, options.out, copy, core, view);
  if (status == kExitCompleted) status = choosePort(DeviceList::In, options.in, copy, core, view);
  std::vector<app::InstanceLock> otherCopies;
  if (status == kExitCompleted) status = holdOtherCopies(copy, core, view, otherCopies);
  if (status != kExitCompleted) return status;

  view.showPorts(copy, selected(DeviceList::Out, core, view), selected(DeviceList::In, core, view));
  if (payloadsAreTestImages()) {
    view.note(std::string(loadString(IDS_TEST_IMAGES_BADGE)) + ": " +
              std::string(loadString(IDS_ABOUT_TEST_IMAGES_LINE)));
  }
  return update(core, view, loop);
}

}  // namespace rt88h::cli
