#pragma once
// The updater window's behaviour without a toolkit: it owns the ports, the timer and the update
// signals, fills and preselects the lists, runs Execute, Rescan and the close, and lends the
// protocol its view operations. A window (Qt or Win32) gives it a DialogView and a forwarder.
#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/core/dialog_view.h"
#include "app/core/window_forwarder.h"
#include "midi/dxm_timer.h"
#include "midi/midi_in_port.h"
#include "midi/midi_out_port.h"
#include "protocol/dispatcher.h"
#include "protocol/update_host.h"
#include "protocol/update_signals.h"

namespace rt88h::app {

inline constexpr int kAboutCommand = 0x10;

class UpdatorDlgCore final : public UpdateView, public UpdateLink {
 public:
  UpdatorDlgCore(DialogView& view, WindowForwarder& forwarder);
  UpdatorDlgCore(const UpdatorDlgCore&) = delete;
  UpdatorDlgCore& operator=(const UpdatorDlgCore&) = delete;
  ~UpdatorDlgCore();

  // The window's first showing: lists, the timer, the progress range and the title.
  // `simulatedDevice`: the raw name of the device this process plays in-process, or "".
  void OnInitDialog(int instanceNumber, std::string simulatedDevice);
  void OnExecute();
  void OnRescanDevice();
  void OnSysCommand(int id);
  // Enter anywhere but on a focused button: Execute, while it is enabled.
  void OnOK();
  void OnDestroy();
  void fillDeviceLists();
  // After the window has closed: waits for the update, then stops the timer.
  void shutDown();
  // Returns when no update procedure runs any more; never waits for the window's thread.
  void waitForUpdate();

  bool destroyed() const { return isDestroyed; }
  bool controlEnabled(Control control) const { return enabled[static_cast<int>(control)]; }

  // View operations, callable from any thread.
  void statusText(std::string_view text) override;
  void stepText(std::string_view text) override;
  void progressRange(int32_t low, int32_t high) override;
  void progressPosition(int32_t value) override;
  void restoreControls() override;
  void enableExecute(bool on) override;
  void showMessage(std::string_view text, std::string_view caption, MessageIcon icon) override;

  // What the protocol borrows.
  UpdateSignals& signals() { return updateSignals; }
  int sendLong(const uint8_t* bytes, uint32_t length) override;
  bool peekSysEx(const uint8_t** bytes, uint32_t* count, Arrival* arrival) override;
  void popSysEx() override;
  uint64_t transportTroubles() override;

 private:
  struct Entry {
    std::string name;  // the device name's own bytes, which the preselection compares
    std::string key;   // what Execute opens, so that it gets the device the user saw
    bool simulated = false;
  };
  template <typename Port>
  void fillList(DeviceList list, Port& port);
  void preselect(DeviceList list, const std::vector<std::string>& preferred);
  const Entry* chosen(DeviceList list) const;
  // True when the update may go ahead: real firmware, the process's own device, or a yes.
  bool confirmTestImages();
  void setControlsEnabled(bool on);
  void enable(Control control, bool on);
  static void timerTick(uint32_t id, uint32_t message, uintptr_t context, uintptr_t, uintptr_t);

  DialogView& view;
  WindowForwarder& viewForwarder;
  midi::MidiInPort midiIn;
  midi::MidiOutPort midiOut;
  midi::CDxMTimer timer;
  UpdateSignals updateSignals;  // replyStatus, reportedModel, replyEvent, busy
  ReplyDispatcher dispatcher{*this, *this, updateSignals};
  std::thread worker;
  std::shared_ptr<std::atomic<bool>> workerReturned;
  std::vector<std::thread> returningWorkers;  // an earlier worker still on its way out

  // Window-thread state: what the controls show.
  std::array<std::vector<Entry>, 2> entries;
  std::array<bool, 4> enabled{true, true, true, true};
  int progressLow = 0;
  int progressHigh = 100;
  int progressValue = 0;
  int instance = 0;
  std::string simulated;
  bool isDestroyed = false;
};

}  // namespace rt88h::app
