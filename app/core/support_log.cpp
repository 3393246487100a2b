#include "app/core/support_log.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <vector>

#include "app/core/about_text.h"
#include "app/core/instance_name.h"
#include "protocol/flash_plan.h"
#include "protocol/update_clock.h"
#include "protocol/update_procedure.h"
#include "resources/string_table.h"
#include "resources/version.h"

namespace rt88h::app {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kLogPrefix = "update-";
constexpr std::string_view kLogSuffix = ".log";
constexpr int kEndUpdateStep = kPlanSteps + 1;

template <typename... Args>
std::string format(const char* pattern, Args... args) {
  std::array<char, 160> text{};
  std::snprintf(text.data(), text.size(), pattern, args...);
  return text.data();
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// The message a record's step sends: before BeginUpdate's answer only the Identity Request can
// time out.
std::string sentMessage(const UpdateRecord& record) {
  if (record.step == kEndUpdateStep) return "EndUpdate";
  const FlashStep* step = recordedPlanStep(record.step);
  if (step == nullptr) {
    return record.event == UpdateEvent::TimedOut ? "Identity Request" : "BeginUpdate";
  }
  return format(step->kind == kStepErase ? "erase at 0x%X" : "chunk at 0x%X", record.address);
}

// "update-20261207-102803.123-1.log": names sort as the updates began.
std::tm utcTime(std::time_t seconds) {
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  return utc;
}

std::string logName(int copy) {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  const std::tm utc = utcTime(system_clock::to_time_t(now));
  std::array<char, 32> stamp{};
  std::strftime(stamp.data(), stamp.size(), "%Y%m%d-%H%M%S", &utc);
  return std::string(kLogPrefix) + stamp.data() +
         format(".%03d-%d", static_cast<int>(millis), copy);
}

std::string startedLine() {
  const std::tm utc = utcTime(std::time(nullptr));
  std::array<char, 40> text{};
  std::strftime(text.data(), text.size(), "started: %Y-%m-%d %H:%M:%S UTC", &utc);
  return text.data();
}

bool isLogName(const std::string& name) {
  return name.starts_with(kLogPrefix) && name.ends_with(kLogSuffix);
}

// The newest kSupportLogsKept stay, the new one among them; a log another copy still writes is
// among the newest too.
void removeOldLogs(const fs::path& directory) {
  std::error_code error;
  std::vector<fs::path> logs;
  for (const fs::directory_entry& entry : fs::directory_iterator(directory, error)) {
    if (isLogName(entry.path().filename().string())) logs.push_back(entry.path());
  }
  if (logs.size() <= static_cast<std::size_t>(kSupportLogsKept)) return;
  std::sort(logs.begin(), logs.end());
  for (std::size_t i = 0; i + kSupportLogsKept < logs.size(); ++i) fs::remove(logs[i], error);
}

}  // namespace

std::string supportLogDirectory() {
#ifdef _WIN32
  const std::string local = environment("LOCALAPPDATA");
  return local.empty() ? std::string() : (fs::path(local) / "RT-88H Updater").string();
#else
  // Relative paths are invalid there and are ignored, as the base directory rules say.
  std::string state = environment("XDG_STATE_HOME");
  if (state.empty() || state.front() != '/') {
    const std::string home = environment("HOME");
    if (home.empty()) return {};
    state = home + "/.local/state";
  }
  return state + "/rt88h-updater";
#endif
}

const FlashStep* recordedPlanStep(int step) {
  if (step < 1 || step > kPlanSteps) return nullptr;
  return &FlashPlan[static_cast<std::size_t>(step - 1)];
}

std::string_view recordedStepKind(int step) {
  const FlashStep* planned = recordedPlanStep(step);
  if (planned == nullptr) return step == 0 ? "begin" : "end";
  return planned->kind == kStepErase ? "erase" : "write";
}

std::string describeRecord(const UpdateRecord& record) {
  switch (record.event) {
    case UpdateEvent::Started: return "Identity Request sent";
    case UpdateEvent::Identified: return format("device model 0x%02X", record.value);
    case UpdateEvent::StepBegun: {
      const FlashStep* step = recordedPlanStep(record.step);
      if (step == nullptr) return sentMessage(record) + " sent";
      if (step->kind == kStepErase) {
        return format("step %d/%d: erase %u bytes at 0x%X", record.step, kPlanSteps, record.length,
                      record.address);
      }
      return format("step %d/%d: write image %u, %u bytes at 0x%X", record.step, kPlanSteps,
                    step->payload, record.length, record.address);
    }
    case UpdateEvent::Refused:
      return sentMessage(record) + format(": refused with status %d", record.value);
    case UpdateEvent::TimedOut: return sentMessage(record) + ": no answer in time";
    case UpdateEvent::Doubted:
      return sentMessage(record) + ": success in doubt after a late transport cycle";
    case UpdateEvent::Resent:
      return sentMessage(record) +
             format(" sent again (send %d of %d)", record.value, kMaxSendsPerStep);
    case UpdateEvent::Finished:
      return "outcome: " + (record.messageId == 0 ? std::string("stopped before the end")
                                                  : std::string(loadString(record.messageId)));
  }
  return std::string(eventName(record.event));
}

SupportLog::SupportLog(const SupportLogHeader& header, const std::string& directory)
    : startUs_(steadyNowUs()) {
  std::error_code error;
  if (directory.empty()) {
    error = std::make_error_code(std::errc::no_such_file_or_directory);
  } else {
    fs::create_directories(directory, error);
  }
  if (!error) {
    const fs::path base = fs::path(directory) / logName(header.copy);
    fs::path path = base.string() + std::string(kLogSuffix);
    for (int again = 2; fs::exists(path, error) && again < 100; ++again) {
      path = base.string() + format("-%d", again) + std::string(kLogSuffix);
    }
    path_ = path.string();
    file_ = std::fopen(path_.c_str(), "w");
    if (file_ == nullptr) error = std::error_code(errno, std::generic_category());
  }
  if (file_ == nullptr) {
    std::fprintf(stderr, "%s: no support log: cannot write in %s (%s)\n", header.program.c_str(),
                 directory.empty() ? "a home folder" : directory.c_str(), error.message().c_str());
    path_.clear();
    return;
  }
  removeOldLogs(fs::path(directory));
  std::fprintf(file_,
               "RT-88H updater support log\n"
               "program: %s %s, copy %d (%s)\n"
               "images: %s\n"
               "%s\n"
               "MIDI OUT: \"%s\" %s\n"
               "MIDI IN: \"%s\" %s\n",
               header.program.c_str(), std::string(kVersion).c_str(), header.copy,
               instanceName(header.copy).c_str(), aboutLine().c_str(), startedLine().c_str(),
               header.outName.c_str(), header.outKey.c_str(), header.inName.c_str(),
               header.inKey.c_str());
  std::fflush(file_);
}

SupportLog::~SupportLog() {
  if (file_ != nullptr) std::fclose(file_);
}

void SupportLog::record(const UpdateRecord& record) {
  write(record.atUs, describeRecord(record));
}

void SupportLog::note(std::string_view line) {
  write(steadyNowUs(), line);
}

void SupportLog::write(int64_t atUs, std::string_view text) {
  if (file_ == nullptr) return;
  const double seconds = static_cast<double>(atUs - startUs_) / 1e6;
  std::fprintf(file_, "%9.3f %.*s\n", seconds, static_cast<int>(text.size()), text.data());
  std::fflush(file_);
}

}  // namespace rt88h::app
