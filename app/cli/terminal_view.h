#pragma once
// rt88h-update's face: the window's lists, controls and boxes on a terminal, and what the update
// does as one redrawn progress line, as plain lines, or as JSON events. Main thread only, but for
// record(), which hands each record over to it.
#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "app/cli/json_line.h"
#include "app/cli/terminal_loop.h"
#include "app/core/dialog_view.h"
#include "app/core/updator_dlg_core.h"
#include "protocol/update_report.h"

namespace rt88h::cli {

inline constexpr std::string_view kProgram = "rt88h-update";

enum class Output { Line, Plain, Json };

class TerminalView final : public app::DialogView, public UpdateReport {
 public:
  using Entry = app::UpdatorDlgCore::ListEntry;

  // `yes`: test images are written without asking.
  TerminalView(TerminalLoop& loop, Output output, bool yes);

  // The terminal's own lines, on standard error: "rt88h-update: TEXT".
  void note(std::string_view text);
  // --list: a list's entries with their keys, the pre-selected one marked.
  void showList(app::DeviceList list, const std::vector<Entry>& entries, int preselected);
  void showPorts(int copy, const Entry& out, const Entry& in);
  void showExit(int status);

  // What the update came to, as far as the main thread has seen.
  bool finished() const { return finished_; }
  int endingId() const { return endingId_; }  // the text it ended with; 0 when stopped
  const std::string& lastBox() const { return lastBox_; }
  bool declinedTestImages() const { return declined_; }

  // DialogView
  void showEntries(app::DeviceList list, const std::vector<std::string>& names) override;
  void selectEntry(app::DeviceList list, int position) override;
  int selectedEntry(app::DeviceList list) const override;
  void enableControl(app::Control, bool) override {}
  void moveFocusOffGreyingControls() override {}
  void showStatusText(std::string_view text) override;
  void showStepText(std::string_view text) override;
  void showProgress(int low, int high, int position) override;
  void showTitle(std::string_view) override {}
  void runMessageBox(std::string_view text, std::string_view caption, MessageIcon icon) override;
  bool askTestImages() override;
  void runAboutBox() override {}
  // A terminal stops an update only by a signal, which asks nothing.
  bool askStopUpdate() override { return true; }
  void closeBoxes() override {}

  // UpdateReport, on the worker's thread.
  void record(const UpdateRecord& record) override;

 private:
  void onRecord(const UpdateRecord& record);
  void emit(const JsonLine& line);
  // Writes a whole line, the progress line cleared first where it is shown.
  void print(std::FILE* stream, const std::string& line);
  void progressMoved();
  void redraw(bool force);
  double elapsed() const;  // seconds since the view began
  std::string timeLeft() const;
  int overallPercent() const;

  TerminalLoop& loop_;
  const Output output_;
  const bool yes_;
  const int64_t createdUs_;
  std::array<std::vector<std::string>, 2> names_;
  std::array<int, 2> selected_{-1, -1};

  // The update as the main thread has seen it.
  std::string status_, counter_;
  int low_ = 0, high_ = 0, position_ = 0;
  int step_ = -1;
  uint32_t chunkOffset_ = 0;
  int messagesDone_ = 0;
  int lastTenth_ = 0;
  bool finished_ = false;
  int endingId_ = 0;
  std::string lastBox_;
  bool declined_ = false;

  // The progress line on a terminal.
  bool lineShown_ = false;
  std::size_t lineLength_ = 0;
  int64_t drawnUs_ = 0;
};

}  // namespace rt88h::cli
