#pragma once
// The updater window (template 103) on Qt: its controls, its boxes and the hand-over to its
// thread; what the window does is UpdatorDlgCore's.
#include <QDialog>
#include <QIcon>
#include <QString>
#include <vector>

#include "app/core/dialog_view.h"
#include "app/core/updator_dlg_core.h"
#include "app/logind/logind_inhibitor.h"
#include "app/qt/forwarder.h"
#include "app/qt/paint_throttle.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QToolButton;

namespace rt88h::app {

class CLumoUpdatorDlg final : public QDialog, private DialogView {
  Q_OBJECT

 public:
  explicit CLumoUpdatorDlg(QWidget* parent = nullptr);
  ~CLumoUpdatorDlg() override;

  // Initialises on first showing, runs modally, returns when the window has closed.
  int DoModal();

  UpdatorDlgCore& behaviour() { return core; }
  // The behaviour's handlers and view operations, as the tests and the program call them.
  void OnExecute() { core.OnExecute(); }
  void OnRescanDevice() { core.OnRescanDevice(); }
  void OnSysCommand(int id) { core.OnSysCommand(id); }
  void fillDeviceLists() { core.fillDeviceLists(); }
  void waitForUpdate() { core.waitForUpdate(); }
  UpdateSignals& signals() { return core.signals(); }
  void statusText(std::string_view text) { core.statusText(text); }
  void stepText(std::string_view text) { core.stepText(text); }
  void progressRange(int32_t low, int32_t high) { core.progressRange(low, high); }
  void progressPosition(int32_t value) { core.progressPosition(value); }
  void restoreControls() { core.restoreControls(); }
  void enableExecute(bool on) { core.enableExecute(on); }
  int getInstanceNumber() const;

  // The OK path is Execute and never closes the window.
  void accept() override;
  // Exit and the close box; during an update only after the question.
  void reject() override;
  void done(int result) override;
  // SIGTERM, SIGINT: closes without asking, ending a running update.
  void terminate();

  const GuiForwarder& forwarder() const { return viewForwarder; }

 protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  // DialogView
  void showEntries(DeviceList list, const std::vector<std::string>& names) override;
  void selectEntry(DeviceList list, int position) override;
  int selectedEntry(DeviceList list) const override;
  void enableControl(Control control, bool on) override;
  void moveFocusOffGreyingControls() override;
  void showStatusText(std::string_view text) override;
  void showStepText(std::string_view text) override;
  void showProgress(int low, int high, int position) override;
  void showTitle(std::string_view title) override;
  void runMessageBox(std::string_view text, std::string_view caption, MessageIcon icon) override;
  bool askTestImages() override;
  bool askStopUpdate() override;
  void runAboutBox() override;
  void closeBoxes() override;

  void OnInitDialog();
  void createControls();
  bool askYesNo(const char* name, int textId, int informativeId);
  QComboBox* listOf(DeviceList list) const { return list == DeviceList::In ? inList : outList; }

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
  QPushButton* exitButton = nullptr;    // 2
  QToolButton* aboutButton = nullptr;
  QLabel* testImagesLabel = nullptr;  // only in a build with test images
  std::vector<QDialog*> openBoxes;    // message boxes and the About box now running
  bool initialised = false;
  GuiForwarder viewForwarder;
  LogindInhibitor inhibitor;
  UpdatorDlgCore core{*this, viewForwarder, inhibitor};  // after both: it goes first
};

}  // namespace rt88h::app
