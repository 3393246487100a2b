#pragma once
// The support log: one short text file per update, from the window or the terminal, that tells
// afterwards what happened and when. The newest kSupportLogsKept stay; nothing else is written.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "protocol/flash_plan.h"
#include "protocol/update_report.h"

namespace rt88h::app {

inline constexpr int kSupportLogsKept = 20;

// $XDG_STATE_HOME/rt88h-updater, by default ~/.local/state/rt88h-updater; on Windows
// %LOCALAPPDATA%\RT-88H Updater. Empty when there is no home to put it in.
std::string supportLogDirectory();

// The plan's step a record's step counts (1 to kPlanSteps); nullptr for BeginUpdate's 0 and
// EndUpdate's kPlanSteps + 1.
const FlashStep* recordedPlanStep(int step);
// What a record's step sends: "begin", "erase", "write" or "end".
std::string_view recordedStepKind(int step);

// One record in words, as the log and a terminal write it: "step 3/6: write image 136, 262144
// bytes at 0x0", "chunk at 0x1000: no answer in time", "outcome: Time out error(2)".
std::string describeRecord(const UpdateRecord& record);

// What the log says before the update's first record.
struct SupportLogHeader {
  std::string program;
  int copy = 0;
  std::string outName, outKey;
  std::string inName, inKey;
};

class SupportLog final : public UpdateReport {
 public:
  // A new log in `directory`, the oldest beyond kSupportLogsKept removed. One that cannot be
  // written says so in one line on standard error and records nothing: the update goes on.
  explicit SupportLog(const SupportLogHeader& header,
                      const std::string& directory = supportLogDirectory());
  SupportLog(const SupportLog&) = delete;
  SupportLog& operator=(const SupportLog&) = delete;
  ~SupportLog();

  bool isOpen() const { return file_ != nullptr; }
  const std::string& path() const { return path_; }

  // On the worker's thread: one line per record, handed to the system at once, never synced.
  void record(const UpdateRecord& record) override;
  // A line of the window's own, while no worker runs.
  void note(std::string_view line);

 private:
  void write(int64_t atUs, std::string_view text);

  std::FILE* file_ = nullptr;
  std::string path_;
  int64_t startUs_ = 0;
};

}  // namespace rt88h::app
