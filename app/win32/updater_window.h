#pragma once
// The updater window (template 103) on Win32: native controls, boxes and the hand-over to the
// dialog's thread; what the window does is UpdatorDlgCore's.
#include <windows.h>

#include <string>
#include <vector>

#include "app/core/dialog_templates.h"
#include "app/core/dialog_view.h"
#include "app/core/updator_dlg_core.h"
#include "app/win32/forwarder.h"
#include "app/win32/shutdown_block.h"

namespace rt88h::win32 {

class CLumoUpdatorDlg final : private app::DialogView {
 public:
  // `simulatedDevice`: the raw name of the device this process plays in-process, or "".
  CLumoUpdatorDlg(int instanceNumber, std::string simulatedDevice);
  CLumoUpdatorDlg(const CLumoUpdatorDlg&) = delete;
  CLumoUpdatorDlg& operator=(const CLumoUpdatorDlg&) = delete;
  ~CLumoUpdatorDlg() override;

  // Creates the window from template 103, runs it and returns when it has closed.
  INT_PTR DoModal();
  void waitForUpdate() { core.waitForUpdate(); }
  // Escape to the window during an update, and Escape to a question (No), before the dialog
  // manager makes IDCANCEL of them; true when the key is used up.
  bool filterEscapeKey(HWND target);

 private:
  static INT_PTR CALLBACK dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static INT_PTR CALLBACK aboutProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR handle(UINT message, WPARAM wParam, LPARAM lParam);
  void OnInitDialog();
  // What Exit, Escape, the close box and the session's end do: closes when the core says so.
  void OnClose(app::CloseRequest request);
  void closeNow();
  void OnPaint();
  void setIcons();  // at the window's scale
  void addTestImagesBadge(const app::TestImagesBadge& mark);
  HWND item(int id) const { return GetDlgItem(dialog, id); }
  // A message box whose window is known while it runs, so that closeBoxes() can end it.
  int runTrackedBox(const std::wstring& text, const std::wstring& caption, UINT type, int endCode);

  // DialogView
  void showEntries(app::DeviceList list, const std::vector<std::string>& names) override;
  void selectEntry(app::DeviceList list, int position) override;
  int selectedEntry(app::DeviceList list) const override;
  void enableControl(app::Control control, bool on) override;
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

  struct OpenBox {
    HWND window;
    int endCode;
  };

  const int instance;
  const std::string simulated;
  HWND dialog = nullptr;
  HICON bigIcon = nullptr;
  HICON smallIcon = nullptr;
  HWND badge = nullptr;  // only in a build with test images
  COLORREF badgeColour = 0;
  HWND tooltip = nullptr;
  std::vector<OpenBox*> openBoxes;  // message boxes and the About box now running
  HHOOK keyHook = nullptr;
  MessageForwarder forwarder;
  ShutdownBlock shutdownBlock;
  app::UpdatorDlgCore core{*this, forwarder, shutdownBlock};  // after both: it goes first
};

}  // namespace rt88h::win32
