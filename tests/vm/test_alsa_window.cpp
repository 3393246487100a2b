// The real updater window over the kernel's ALSA sequencer, with rt88h-devsim as the device:
// once as a sequencer client of its own (pre-selected by its name), once behind a virtual raw
// MIDI port, where a USB-MIDI device sits. Runs only inside scripts/alsa-vm.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QtTest/QTest>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/qt/updater_app.h"
#include "app/qt/updater_window.h"
#include "protocol/messages.h"
#include "tests/app/qt/app_test_support.h"
#include "tests/support/sysex_support.h"

extern char** environ;

namespace rt88h::app {
namespace {

// This process's CPU time: the window, the ports, the timer and the worker all run in it.
double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

using testing::BoxWatcher;
using testing::Controls;
using testing::indexOf;

#define SKIP_WITHOUT_VIRMIDI()                                                               \
  do {                                                                                       \
    if (::access("/dev/snd/seq", F_OK) != 0 || ::access("/dev/snd/midiC0D1", F_OK) != 0) {   \
      GTEST_SKIP() << "no ALSA sequencer with snd-virmidi here (run it by scripts/alsa-vm)"; \
    }                                                                                        \
  } while (false)

// rt88h-devsim as a child process; its report lands in a file.
class Devsim {
 public:
  ~Devsim() {
    if (pid_ > 0) stop();
    if (errors_ >= 0) ::close(errors_);
    if (exited_ >= 0) ::close(exited_);
    if (!reportPath_.empty()) std::remove(reportPath_.c_str());
  }

  // Returns once the device plays (its first line on stderr says so) or has given up.
  bool start(const std::vector<std::string>& args, std::string* line) {
    char path[] = "/tmp/rt88h-devsim-report.XXXXXX";
    const int report = ::mkstemp(path);
    int pipeFds[2];
    if (report < 0 || ::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    reportPath_ = path;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, report, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    std::vector<std::string> words{RT88H_DEVSIM_PATH};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const int spawned =
        posix_spawn(&pid_, RT88H_DEVSIM_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(report);
    ::close(pipeFds[1]);
    errors_ = pipeFds[0];
    if (spawned != 0) {
      pid_ = -1;
      return false;
    }
    exited_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    // Bounded: a device that neither plays nor gives up in 20 s is broken.
    std::string first;
    pollfd fd{errors_, POLLIN, 0};
    while (first.find('\n') == std::string::npos && ::poll(&fd, 1, 20000) > 0) {
      char buffer[256];
      const ssize_t got = ::read(errors_, buffer, sizeof buffer);
      if (got <= 0) break;
      first.append(buffer, static_cast<std::size_t>(got));
    }
    *line = first;
    return first.find("playing") != std::string::npos;
  }

  // Waits up to `milliseconds` for the device to end by itself; its exit status, or -1.
  int waitExit(int milliseconds) {
    if (pid_ <= 0) return status_;
    pollfd fd{exited_, POLLIN, 0};
    if (exited_ < 0 || ::poll(&fd, 1, milliseconds) <= 0) return -1;
    return reap();
  }

  // SIGTERM: the device ends with its report.
  int stop() {
    if (pid_ <= 0) return status_;
    ::kill(pid_, SIGTERM);
    return reap();
  }

  std::string report() const {
    std::ifstream file(reportPath_);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

 private:
  int reap() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
  }

  pid_t pid_ = -1;
  int errors_ = -1;
  int exited_ = -1;
  int status_ = -1;
  std::string reportPath_;
};

class AlsaWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_VIRMIDI();
    ASSERT_TRUE(app.chooseInstanceNumber());
  }
  void TearDown() override {
    if (window) {
      if (window->isVisible()) window->done(QDialog::Rejected);  // the stop question's Yes
      window->waitForUpdate();
      window.reset();
    }
  }

  void open() {
    window = std::make_unique<CLumoUpdatorDlg>();
    window->show();
    controls = std::make_unique<Controls>(window.get());
  }

  bool isReady() const {
    return controls->executeButton->isEnabled() && controls->inList->isEnabled() &&
           window->signals().busy.load() == 0;
  }
  bool isCompleted() const {
    return controls->inList->isEnabled() && controls->outList->isEnabled() &&
           !controls->executeButton->isEnabled() && controls->rescanButton->isEnabled() &&
           window->signals().busy.load() == 0;
  }

  static std::vector<std::string> entries(QComboBox* list) {
    std::vector<std::string> names;
    for (int i = 0; i < list->count(); ++i) names.push_back(list->itemText(i).toStdString());
    return names;
  }

  rt88h::testing::ModelScope models;  // first, so that it is given back last
  testing::RuntimeDir runtime;
  CLumoUpdatorApp app;
  std::unique_ptr<CLumoUpdatorDlg> window;
  std::unique_ptr<Controls> controls;
};

// A device that never answers chunk 3 nor its six re-sends: the window shows the box, the
// test closes it, and the controls come back.
TEST_F(AlsaWindow, SequencerClientIsPreselectedAndALostChunkEndsInTimeOutError2) {
  Devsim devsim;
  std::string line;
  ASSERT_TRUE(devsim.start({"--backend", "alsa", "--drop-chunk", "3:7", "--verbose"}, &line))
      << line;
  open();
  const int in = indexOf(controls->inList, "TAVO RT Series");
  const int out = indexOf(controls->outList, "TAVO RT Series");
  ASSERT_GE(in, 0) << ::testing::PrintToString(entries(controls->inList));
  ASSERT_GE(out, 0) << ::testing::PrintToString(entries(controls->outList));
  EXPECT_EQ(controls->inList->currentIndex(), in);
  EXPECT_EQ(controls->outList->currentIndex(), out);

  BoxWatcher watcher;  // clicks OK
  QTest::mouseClick(controls->executeButton, Qt::LeftButton);
  EXPECT_FALSE(controls->executeButton->isEnabled());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !watcher.seen().empty() && isReady(); }, 120000))
      << "status \"" << controls->statusText->text().toStdString() << "\"";
  ASSERT_EQ(watcher.seen().size(), 1u);
  EXPECT_EQ(watcher.seen()[0].text, QStringLiteral("Time out error(2)"));
  EXPECT_EQ(watcher.seen()[0].title, QStringLiteral("Error"));
  EXPECT_EQ(watcher.seen()[0].icon, QMessageBox::Critical);
  EXPECT_EQ(controls->stepText->text(), QStringLiteral("3/6"));

  EXPECT_EQ(devsim.stop(), 0) << devsim.report();
  const std::string report = devsim.report();
  EXPECT_NE(report.find("Layout violations: 0\n"), std::string::npos) << report;
  // Chunk 3 and its six re-sends, each unanswered.
  EXPECT_NE(report.find("WriteData 9, 2359 bytes, fault, no answer"), std::string::npos) << report;
  EXPECT_EQ(report.find("WriteData 10,"), std::string::npos) << report;
}

// The whole update as a USB-MIDI device takes it: every message through the kernel's raw MIDI
// buffers and 256-byte events both ways.
TEST_F(AlsaWindow, WholeUpdateThroughAVirtualRawMidiPort) {
  Devsim devsim;
  std::string line;
  ASSERT_TRUE(devsim.start({"--rawmidi", "hw:0,1", "--exit-after-end", "--expect-complete"}, &line))
      << line;
  open();
  // The kernel names the device's client; none of the preferred names is there.
  for (QComboBox* list : {controls->inList, controls->outList}) {
    for (const char* name : {"Virtual Raw MIDI 0-0", "Virtual Raw MIDI 0-1", "Virtual Raw MIDI 0-2",
                             "Virtual Raw MIDI 0-3"}) {
      EXPECT_GE(indexOf(list, name), 0)
          << name << " in " << ::testing::PrintToString(entries(list));
    }
    EXPECT_EQ(list->currentIndex(), -1);
  }
  controls->inList->setCurrentIndex(indexOf(controls->inList, "Virtual Raw MIDI 0-1"));
  controls->outList->setCurrentIndex(indexOf(controls->outList, "Virtual Raw MIDI 0-1"));

  BoxWatcher watcher;
  QElapsedTimer elapsed;
  elapsed.start();
  const double cpuBefore = cpuSeconds();
  QTest::mouseClick(controls->executeButton, Qt::LeftButton);
  const QString completed = QStringLiteral("Version update completed.");
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return !watcher.seen().empty() || controls->statusText->text() == completed; }, 900000))
      << "status \"" << controls->statusText->text().toStdString() << "\", step "
      << controls->stepText->text().toStdString();
  const double seconds = static_cast<double>(elapsed.elapsed()) / 1000.0;
  const double cpu = cpuSeconds() - cpuBefore;
  std::printf("whole update over ALSA (raw MIDI hw:0,1): %.1f s, CPU of the updater side %.2f s\n",
              seconds, cpu);
  RecordProperty("update_seconds", std::to_string(seconds));
  RecordProperty("update_cpu_seconds", std::to_string(cpu));
  EXPECT_TRUE(watcher.seen().empty()) << watcher.seen()[0].text.toStdString();
  EXPECT_TRUE(QTest::qWaitFor([&] { return isCompleted(); }, 5000));
  EXPECT_EQ(controls->stepText->text(), QStringLiteral("6/6"));
  EXPECT_EQ(controls->progress->value(), controls->progress->maximum());
  // With no update running nothing should wake: the input threads wait in poll, the timer is
  // off. A measurement over a fixed span, printed, never asserted; the window's thread sleeps
  // (qWait would poll the event loop every few milliseconds itself).
  const double idleBefore = cpuSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  std::printf("idle after the update: %.3f CPU s in 3 s\n", cpuSeconds() - idleBefore);

  // The device ends by itself once it has answered EndUpdate.
  EXPECT_EQ(devsim.waitExit(30000), 0) << devsim.report();
  const std::string report = devsim.report();
  EXPECT_NE(report.find("Flash equals the embedded payloads: yes\n"), std::string::npos) << report;
  EXPECT_NE(report.find("Layout violations: 0\n"), std::string::npos) << report;
}

}  // namespace
}  // namespace rt88h::app

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("RT88H_ALLOW_TEST_IMAGES", "1");  // the device is rt88h-devsim
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
