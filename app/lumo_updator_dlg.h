#pragma once
// The updater window (template 103) and the hub of the update machinery.
#include <QDialog>
#include <QIcon>
#include <QString>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "dispatcher.h"
#include "dxm_timer.h"
#include "gui_forwarder.h"
#include "midi_in_port.h"
#include "midi_out_port.h"
#include "paint_throttle.h"
#include "update_host.h"
#include "update_signals.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QMessageBox;
class QProgressBar;
class QPushButton;
class QToolButton;

namespace rt88h::app {

inline constexpr int kAboutCommand = 0x10;

class CLumoUpdatorDlg final : public QDialog, public UpdateHost {
  Q_OBJECT

 public:
  explicit CLumoUpdatorDlg(QWidget* parent = nullptr);
  ~CLumoUpdatorDlg() override;

  // Initialises on first showing, runs modally, returns when the window has closed.
  int DoModal();
  // Returns when no update procedure runs any more; never waits for the window's thread.
  void waitForUpdate();

  // Handlers.
  void OnExecute();
  void OnRescanDevice();
  void OnSysCommand(int id);
  void fillDeviceLists();
  int getInstanceNumber() const;

  // The OK path is Execute and never closes the window.
  void accept() override;
  void done(int result) override;

  // View operations, callable from any thread.
  void statusText(std::string_view text) override;
  void stepText(std::string_view text) override;
  void progressRange(int32_t low, int32_t high) override;
  void progressPosition(int32_t value) override;
  void restoreControls() override;
  void enableExecute(bool on) override;
  void showMessage(std::string_view text, std::string_view caption, MessageIcon icon) override;

  // What the protocol borrows.
  UpdateSignals& signals() override { return updateSignals; }
  int sendLong(const uint8_t* bytes, uint32_t length) override;
  bool peekSysEx(const uint8_t** bytes, uint32_t* count) override;
  void popSysEx() override;
  Arrival peekArrival() override;
  uint64_t transportTroubles() override;

  const GuiForwarder& forwarder() const { return viewForwarder; }

 protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void OnInitDialog();
  void OnDestroy();
  void createControls();
  void runMessageBox(const QString& text, const QString& caption, MessageIcon icon);
  // True when the update may go ahead: real firmware, the demo's own device, or a yes.
  bool confirmTestImages();
  static void timerTick(uint32_t id, uint32_t message, uintptr_t context, uintptr_t, uintptr_t);

  midi::MidiInPort midiIn;
  midi::MidiOutPort midiOut;
  midi::CDxMTimer timer;
  UpdateSignals updateSignals;  // replyStatus, reportedModel, replyEvent, busy
  QIcon icon;
  // Controls (owned by the window; destroyed by the destructor before the ports).
  QComboBox* inList = nullptr;           // 1000
  QComboBox* outList = nullptr;          // 1001
  QProgressBar* progress = nullptr;      // 1002
  QPushButton* executeButton = nullptr;  // 1
  QLineEdit* statusTextEdit = nullptr;   // 1003
  PaintThrottle* statusPaint = nullptr;
  QPushButton* rescanButton = nullptr;  // 1004
  QLabel* picture = nullptr;            // 1005
  QLineEdit* stepTextEdit = nullptr;    // 1006
  std::thread worker;

  std::shared_ptr<std::atomic<bool>> workerReturned;
  std::vector<std::thread> returningWorkers;  // an earlier worker still on its way out
  QPushButton* exitButton = nullptr;          // 2
  QToolButton* aboutButton = nullptr;
  QLabel* testImagesLabel = nullptr;  // only in a build with test images
  ReplyDispatcher dispatcher{*this};
  GuiForwarder viewForwarder;
  std::vector<QDialog*> openBoxes;  // message boxes and the About box now running
  bool initialised = false;
  bool destroyed = false;
};

}  // namespace rt88h::app
