#pragma once
// What a window toolkit gives the updater window's behaviour: its controls, its boxes and its
// title. Called on the window's thread only.
#include <string>
#include <string_view>
#include <vector>

#include "protocol/update_host.h"

namespace rt88h::app {

enum class DeviceList { In, Out };
// The controls that go grey while an update runs.
enum class Control { InList, OutList, Execute, Rescan };

class DialogView {
 public:
  virtual ~DialogView() = default;

  // Replaces the list's entries; nothing is selected afterwards.
  virtual void showEntries(DeviceList list, const std::vector<std::string>& names) = 0;
  virtual void selectEntry(DeviceList list, int position) = 0;  // -1: none
  virtual int selectedEntry(DeviceList list) const = 0;         // -1: none

  virtual void enableControl(Control control, bool on) = 0;
  // Before controls go grey: the focus must not pass to Exit, where Enter would close.
  virtual void moveFocusOffGreyingControls() = 0;
  virtual void showStatusText(std::string_view text) = 0;
  virtual void showStepText(std::string_view text) = 0;
  virtual void showProgress(int low, int high, int position) = 0;
  virtual void showTitle(std::string_view title) = 0;

  // Modal boxes: each returns once closed, also when closeBoxes() ended it. An empty caption
  // means the application name.
  virtual void runMessageBox(std::string_view text, std::string_view caption, MessageIcon icon) = 0;
  // The test-image question; true only for Yes.
  virtual bool askTestImages() = 0;
  // Whether to stop the running update; true only for Yes. No is the default: Enter and Escape
  // answer it.
  virtual bool askStopUpdate() = 0;
  virtual void runAboutBox() = 0;
  // Ends every box now running, so that whatever waits on one can finish.
  virtual void closeBoxes() = 0;
};

}  // namespace rt88h::app
