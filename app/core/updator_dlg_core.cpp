#include "app/core/updator_dlg_core.h"

#include <algorithm>
#include <system_error>

#include "app/core/instance_name.h"
#include "app/core/preselect.h"
#include "midi/in_process.h"
#include "midi/midi_service.h"
#include "protocol/flash_plan.h"
#include "protocol/update_procedure.h"
#include "resources/string_table.h"

namespace rt88h::app {

namespace {
constexpr uint32_t kTimerPeriodMs = 50;
constexpr int kListReadAttempts = 3;
}  // namespace

UpdatorDlgCore::UpdatorDlgCore(DialogView& window, WindowForwarder& forwarder)
    : view(window), viewForwarder(forwarder) {
  updateSignals.replyStatus = kStatusOk;
  updateSignals.busy = 0;
  updateSignals.replyEvent.reset();
}

UpdatorDlgCore::~UpdatorDlgCore() {
  shutDown();
  // midiOut, then midiIn, are destroyed with the members.
}

void UpdatorDlgCore::shutDown() {
  if (!isDestroyed) OnDestroy();
  waitForUpdate();
  timer.stop();  // no tick runs from here on
}

void UpdatorDlgCore::OnInitDialog(int instanceNumber, std::string simulatedDevice) {
  instance = instanceNumber;
  simulated = std::move(simulatedDevice);
  fillDeviceLists();
  timer.start(kTimerPeriodMs, &UpdatorDlgCore::timerTick, reinterpret_cast<uintptr_t>(this));
  progressRange(0, 100);
  view.showTitle(instanceName(instance));
}

void UpdatorDlgCore::timerTick(uint32_t, uint32_t, uintptr_t context, uintptr_t, uintptr_t) {
  reinterpret_cast<UpdatorDlgCore*>(context)->dispatcher.dispatchReplies();
}

// A list whose devices changed while it was read is read again; after three tries it is shown as
// read, so that Execute opens by key and fails rather than open another device.
template <typename Port>
void UpdatorDlgCore::fillList(DeviceList list, Port& port) {
  std::vector<Entry>& shown = entries[static_cast<int>(list)];
  for (int attempt = 0; attempt < kListReadAttempts; ++attempt) {
    const int countBefore = port.deviceCount();
    shown.clear();
    for (int i = 0; i < port.deviceCount(); ++i) {
      char name[midi::kDeviceNameSize] = {};
      port.deviceName(i, name);
      std::string key = port.deviceKey(i);
      const bool own = !simulated.empty() && midi::inProcessDeviceName(key) == simulated;
      shown.push_back({name, std::move(key), own});
    }
    if (countBefore == static_cast<int>(shown.size()) && countBefore == port.deviceCount()) break;
  }
  std::vector<std::string> names;
  names.reserve(shown.size());
  for (const Entry& entry : shown) names.push_back(entry.name);
  view.showEntries(list, names);
}

void UpdatorDlgCore::preselect(DeviceList list, const std::vector<std::string>& preferred) {
  std::vector<std::string> names;
  for (const Entry& entry : entries[static_cast<int>(list)]) names.push_back(entry.name);
  view.selectEntry(list, preselectedPosition(names, preferred));
}

const UpdatorDlgCore::Entry* UpdatorDlgCore::chosen(DeviceList list) const {
  const std::vector<Entry>& shown = entries[static_cast<int>(list)];
  const int position = view.selectedEntry(list);
  if (position < 0 || position >= static_cast<int>(shown.size())) return nullptr;
  return &shown[static_cast<std::size_t>(position)];
}

void UpdatorDlgCore::fillDeviceLists() {
  fillList(DeviceList::Out, midiOut);
  fillList(DeviceList::In, midiIn);
  // The preselection decides afresh, whatever a toolkit selected when entries came.
  const std::vector<std::string> preferred = preferredNamesAsListed(instance);
  preselect(DeviceList::Out, preferred);
  preselect(DeviceList::In, preferred);
}

void UpdatorDlgCore::OnExecute() {
  if (updateSignals.busy.load() == 1) {
    showMessage(loadString(IDS_IN_PROGRESS), loadString(IDS_ERROR_CAPTION), MessageIcon::Stop);
    return;
  }
  // By key: a device that appeared or went since the lists were filled moves the positions.
  const Entry* out = chosen(DeviceList::Out);
  const Entry* in = chosen(DeviceList::In);
  midiOut.close();
  if (midiOut.open(view.selectedEntry(DeviceList::Out), out ? out->key : std::string()) == 0) {
    showMessage(kMidiOutOpenFailed, {}, MessageIcon::None);
    return;
  }
  midiIn.close();
  if (midiIn.openAndStart(view.selectedEntry(DeviceList::In), in ? in->key : std::string()) == 0) {
    showMessage(loadString(IDS_CANT_OPEN_MIDI_IN), loadString(IDS_ERROR_CAPTION),
                MessageIcon::Stop);
    return;
  }
  if (!confirmTestImages()) {
    midiIn.close();
    midiOut.close();
    return;
  }
  view.moveFocusOffGreyingControls();
  setControlsEnabled(false);
  updateSignals.busy = 1;
  updateSignals.replyEvent.reset();

  // The last worker has cleared busy but may still be finishing its last view operation, which
  // needs this thread: never join it here unless it has returned.
  if (worker.joinable()) {
    if (workerReturned && workerReturned->load()) {
      worker.join();
    } else {
      returningWorkers.push_back(std::move(worker));
    }
  }
  auto returned = std::make_shared<std::atomic<bool>>(false);
  try {
    worker = std::thread([this, returned] {
      runUpdate({*this, *this, updateSignals});
      returned->store(true);
    });
    workerReturned = std::move(returned);
  } catch (const std::system_error&) {
    showMessage(loadString(IDS_CANT_START_UPDATE), loadString(IDS_ERROR_CAPTION),
                MessageIcon::Stop);
    restoreControls();
  }
}

bool UpdatorDlgCore::confirmTestImages() {
  if (!payloadsAreTestImages() || testImagesAllowedByEnvironment()) return true;
  const Entry* out = chosen(DeviceList::Out);
  const Entry* in = chosen(DeviceList::In);
  if (out != nullptr && in != nullptr && out->simulated && in->simulated) return true;
  return view.askTestImages() && !isDestroyed;
}

void UpdatorDlgCore::OnRescanDevice() {
  midi::midiService().rescan();
  fillDeviceLists();
  enableExecute(true);
}

void UpdatorDlgCore::OnSysCommand(int id) {
  if ((id & 0xFFF0) != kAboutCommand || isDestroyed) return;
  view.runAboutBox();
}

void UpdatorDlgCore::OnOK() {
  if (controlEnabled(Control::Execute)) OnExecute();
}

void UpdatorDlgCore::OnDestroy() {
  isDestroyed = true;
  midiOut.close();
  midiIn.close();
  updateSignals.replyStatus = kStatusStop;  // written before the event is signalled
  updateSignals.replyEvent.set();
  // From here view operations return at once; boxes already open end, so that the modal run,
  // the worker and a waiting timer tick can all finish.
  viewForwarder.close();
  view.closeBoxes();
}

void UpdatorDlgCore::waitForUpdate() {
  if (worker.joinable()) worker.join();
  for (std::thread& earlier : returningWorkers) {
    if (earlier.joinable()) earlier.join();
  }
  returningWorkers.clear();
}

void UpdatorDlgCore::enable(Control control, bool on) {
  enabled[static_cast<int>(control)] = on;
  view.enableControl(control, on);
}

void UpdatorDlgCore::setControlsEnabled(bool on) {
  for (Control control : {Control::InList, Control::OutList, Control::Execute, Control::Rescan}) {
    enable(control, on);
  }
}

void UpdatorDlgCore::statusText(std::string_view text) {
  viewForwarder.call([&] { view.showStatusText(text); });
}

void UpdatorDlgCore::stepText(std::string_view text) {
  viewForwarder.call([&] { view.showStepText(text); });
}

void UpdatorDlgCore::progressRange(int32_t low, int32_t high) {
  viewForwarder.call([&] {
    // The position stays inside the new range, as with the native progress bar.
    const int position = std::max(progressValue, progressLow);
    progressLow = low;
    progressHigh = std::max(low, high);
    progressValue = std::clamp(position, progressLow, progressHigh);
    view.showProgress(progressLow, progressHigh, progressValue);
  });
}

void UpdatorDlgCore::progressPosition(int32_t value) {
  viewForwarder.call([&] {
    progressValue = std::clamp(static_cast<int>(value), progressLow, progressHigh);
    view.showProgress(progressLow, progressHigh, progressValue);
  });
}

void UpdatorDlgCore::restoreControls() {
  viewForwarder.call([&] {
    setControlsEnabled(true);
    updateSignals.busy = 0;
  });
}

void UpdatorDlgCore::enableExecute(bool on) {
  viewForwarder.call([&] { enable(Control::Execute, on); });
}

void UpdatorDlgCore::showMessage(std::string_view text, std::string_view caption,
                                 MessageIcon icon) {
  viewForwarder.call([&] {
    if (!isDestroyed) view.runMessageBox(text, caption, icon);
  });
}

int UpdatorDlgCore::sendLong(const uint8_t* bytes, uint32_t length) {
  return midi::sendMessage(midiOut, bytes, length);
}

bool UpdatorDlgCore::peekSysEx(const uint8_t** bytes, uint32_t* count, Arrival* arrival) {
  return midiIn.peekSysEx(bytes, count, arrival);
}

uint64_t UpdatorDlgCore::transportTroubles() {
  return midiIn.transportTroubles();
}

void UpdatorDlgCore::popSysEx() {
  midiIn.popSysEx();
}

}  // namespace rt88h::app
