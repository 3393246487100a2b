// The window's behaviour as any toolkit sees it, over in-process devices: the lists and their
// preselection, Execute and its refusals, the test-image question, each state's controls, the
// close in each state and the computer kept awake while the device is written. The test's
// thread is the window's thread.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "app/core/support_log.h"
#include "app/core/updator_dlg_core.h"
#include "midi/backends/virtual_midi.h"
#include "midi/in_process.h"
#include "midi/midi_service.h"
#include "protocol/flash_plan.h"
#include "resources/string_table.h"
#include "tests/support/in_process_devices.h"
#include "tests/support/scoped_env.h"
#include "tests/support/sysex_support.h"

namespace rt88h::app {
namespace {

using namespace std::chrono_literals;
using testing::Sent;

constexpr auto kCloseBound = 2s;

struct Box {
  std::string text;
  std::string caption;
  MessageIcon icon;
  bool awake;  // the computer was still kept awake when it came
};

// Work for the window's thread waits in a queue until the test pumps it.
class QueueForwarder final : public WindowForwarder {
 public:
  // Runs what is queued now.
  void pump() {
    pumpUntil([&] {
      std::lock_guard lock(mutex_);
      return queue_.empty();
    });
  }
  bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds bound = 10s) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::shared_ptr<Request> next;
      {
        std::lock_guard lock(mutex_);
        if (!queue_.empty()) {
          next = queue_.front();
          queue_.pop_front();
        }
      }
      if (next) {
        run(*next);
      } else {
        std::this_thread::yield();
      }
    }
    return true;
  }

 protected:
  bool onWindowThread() const override { return std::this_thread::get_id() == owner_; }
  void post(std::shared_ptr<Request> request) override {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(request));
  }

 private:
  std::thread::id owner_ = std::this_thread::get_id();
  std::mutex mutex_;
  std::deque<std::shared_ptr<Request>> queue_;
};

class CountingInhibitor final : public SleepInhibitor {
 public:
  void take() override { ++takes; }
  void release() override { ++releases; }
  bool held() const { return takes > releases; }
  int takes = 0;
  int releases = 0;
};

class RecordingView final : public DialogView {
 public:
  explicit RecordingView(const CountingInhibitor& inhibitor) : inhibitor_(inhibitor) {}
  void showEntries(DeviceList list, const std::vector<std::string>& names) override {
    entries[index(list)] = names;
    selected[index(list)] = -1;
  }
  void selectEntry(DeviceList list, int position) override { selected[index(list)] = position; }
  int selectedEntry(DeviceList list) const override { return selected[index(list)]; }
  void enableControl(Control control, bool on) override { enabled[static_cast<int>(control)] = on; }
  void moveFocusOffGreyingControls() override {}
  void showStatusText(std::string_view text) override { status = text; }
  void showStepText(std::string_view text) override { step = text; }
  void showProgress(int low, int high, int position) override { progress = {low, high, position}; }
  void showTitle(std::string_view text) override { title = text; }
  void runMessageBox(std::string_view text, std::string_view caption, MessageIcon icon) override {
    boxes.push_back({std::string(text), std::string(caption), icon, inhibitor_.held()});
  }
  bool askTestImages() override {
    ++questions;
    return answerYes;
  }
  bool askStopUpdate() override {
    ++stopQuestions;
    return stopYes;
  }
  void runAboutBox() override { ++aboutBoxes; }
  void closeBoxes() override { ++boxClosings; }

  bool allEnabled() const { return enabled == std::array<bool, 4>{true, true, true, true}; }
  bool noneEnabled() const { return enabled == std::array<bool, 4>{}; }

  static int index(DeviceList list) { return list == DeviceList::In ? 0 : 1; }
  std::array<std::vector<std::string>, 2> entries;
  std::array<int, 2> selected{-1, -1};
  std::array<bool, 4> enabled{true, true, true, true};
  std::string status, step, title;
  std::array<int, 3> progress{};
  std::vector<Box> boxes;
  int questions = 0;
  bool answerYes = false;
  int stopQuestions = 0;
  bool stopYes = false;
  int aboutBoxes = 0;
  int boxClosings = 0;

 private:
  const CountingInhibitor& inhibitor_;
};

// What a device answers: the identity with `model` (none: -1), and with success BeginUpdate,
// the erases and the chunks as asked.
struct Answers {
  int model = -1;
  bool begin = false;
  bool erase = false;
  bool write = false;
};
constexpr Answers kSilent{};

// The support logs of this process's updates go to a folder of its own.
class LogFolder {
 public:
  LogFolder() { std::filesystem::remove_all(base); }
  ~LogFolder() { std::filesystem::remove_all(base); }

  // The newest log's text; "" when there is none.
  std::string newest() const {
    std::filesystem::path last;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(supportLogDirectory(), error)) {
      if (last.empty() || entry.path() > last) last = entry.path();
    }
    std::ifstream file(last);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

 private:
  const std::filesystem::path base = std::filesystem::temp_directory_path() /
                                     ("rt88h-core-logs-" + std::to_string(std::random_device{}()));
#ifdef _WIN32
  testing::ScopedEnv home{"LOCALAPPDATA", base.string().c_str()};
#else
  testing::ScopedEnv home{"XDG_STATE_HOME", base.string().c_str()};
#endif
};

class WindowBehaviour : public ::testing::Test {
 protected:
  // A device of that name that answers so, or `device` from now on answering so.
  std::shared_ptr<midi::VirtualDevice> answering(const std::string& name, Answers answers,
                                                 std::shared_ptr<midi::VirtualDevice> device = {}) {
    if (!device) device = devices.add(name);
    device->setReceiver([this, raw = device.get(), answers](const uint8_t* bytes, std::size_t n) {
      const Sent kind = testing::kindOf(bytes, n);
      const bool ok = (kind == Sent::Begin && answers.begin) ||
                      (kind == Sent::Erase && answers.erase) ||
                      (kind == Sent::Write && answers.write) || kind == Sent::End;
      std::vector<uint8_t> answer;
      if (kind == Sent::Identity && answers.model >= 0) {
        answer = testing::identityReply(static_cast<uint8_t>(answers.model));
      } else if (ok) {
        answer = testing::deviceStatus(bytes[3], 0);
      }
      if (!answer.empty()) raw->inject(answer.data(), answer.size());
      ++seen[static_cast<int>(kind)];
    });
    return device;
  }
  int seenOf(Sent kind) const { return seen[static_cast<int>(kind)].load(); }

  int position(DeviceList list, const std::string& name) const {
    const auto& names = view.entries[RecordingView::index(list)];
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (names[i] == name) return static_cast<int>(i);
    }
    return -1;
  }
  void choose(const std::string& in, const std::string& out) {
    view.selected = {position(DeviceList::In, in), position(DeviceList::Out, out)};
  }

  void open(int copy = 1, std::string simulated = {}) { core->OnInitDialog(copy, simulated); }
  // A new window over no devices, for the next case of a table.
  void fresh() {
    core.reset();
    devices.clear();
    for (auto& count : seen) count = 0;
    view.boxes.clear();
    view.questions = view.stopQuestions = view.aboutBoxes = 0;
    view.enabled = {true, true, true, true};  // a new window's controls
    inhibitor = CountingInhibitor{};
    forwarder = std::make_unique<QueueForwarder>();
    core = std::make_unique<UpdatorDlgCore>(view, *forwarder, inhibitor);
  }
  bool pumpUntilReady() {
    return forwarder->pumpUntil([&] { return core->signals().busy.load() == 0; });
  }
  // Execute, and the worker's first request reached the device.
  void startUpdate() {
    core->OnExecute();
    ASSERT_TRUE(view.noneEnabled());
    ASSERT_TRUE(forwarder->pumpUntil([&] { return seenOf(Sent::Identity) > 0; }));
  }
  // The close as the toolkits run it after a yes; true when it ended within the bound.
  bool closeAndWait() {
    const auto start = std::chrono::steady_clock::now();
    core->OnDestroy();
    core->shutDown();
    return std::chrono::steady_clock::now() - start < kCloseBound;
  }
  // The end of a successful run, as the procedure does it from its own thread.
  void completeFromAnotherThread() {
    std::atomic<bool> done{false};
    std::thread procedure([&] {
      core->stepText("6/6");
      core->progressRange(0, 720896);
      core->progressPosition(720897);  // beyond the range: held at its end
      core->statusText(loadString(IDS_UPDATE_COMPLETED));
      core->restoreControls();
      core->enableExecute(false);
      done = true;
    });
    const bool ended = forwarder->pumpUntil([&] { return done.load(); });
    procedure.join();
    ASSERT_TRUE(ended);
  }

  testing::ModelScope models;
  LogFolder logs;
  testing::Devices devices;  // after the window has gone, they vanish
  std::array<std::atomic<int>, 6> seen{};
  CountingInhibitor inhibitor;
  RecordingView view{inhibitor};
  std::unique_ptr<QueueForwarder> forwarder = std::make_unique<QueueForwarder>();
  std::unique_ptr<UpdatorDlgCore> core =
      std::make_unique<UpdatorDlgCore>(view, *forwarder, inhibitor);
};

// These devices are simulated: like every test rig, the tests may write test images to them.
class UpdatingWindow : public WindowBehaviour {
 protected:
  void SetUp() override { view.answerYes = true; }
};

// --- the lists ---

struct Preselection {
  std::vector<std::string> devices;
  int copy;
  std::string title;
  std::string expected;  // as listed; "" for no selection
};

// The rule itself: test_preselect.cpp. Here: as the lists show the names.
TEST_F(WindowBehaviour, EachCopyPreselectsItsDeviceAsTheListsShowIt) {
  const std::string japanese = "USB オーディオ デバイス";
  const std::vector<std::string> twice = midi::applyNamingRules({japanese, japanese});
  const Preselection cases[] = {
      {{"USB Audio Device (20)", "Other", "TAVO RT Series (20)"},
       20,
       "Tavo RT-88H System v2.01 (20)",
       "TAVO RT Series (20)"},
      {{"usb audio device", "TAVO RT SERIES"}, 1, "Tavo RT-88H System v2.01", ""},
      // The second of two equal names is told apart.
      {{japanese, japanese}, 2, "Tavo RT-88H System v2.01 (2)", twice[1]},
  };
  for (const Preselection& c : cases) {
    SCOPED_TRACE(c.devices.front() + " copy " + std::to_string(c.copy));
    fresh();
    for (const std::string& name : c.devices) devices.add(name);
    open(c.copy);
    EXPECT_EQ(view.title, c.title);
    EXPECT_EQ(view.entries[0].size(), view.entries[1].size());
    EXPECT_EQ(view.selected[1], c.expected.empty() ? -1 : position(DeviceList::Out, c.expected));
    EXPECT_EQ(view.selected[0], c.expected.empty() ? -1 : position(DeviceList::In, c.expected));
    EXPECT_EQ(view.progress, (std::array<int, 3>{0, 100, 0}));
    EXPECT_TRUE(view.allEnabled());
  }
}

TEST_F(WindowBehaviour, RescanDiscardsTheUsersChoiceAndSeesNewDevices) {
  devices.add("USB Audio Device");
  devices.add("Other");
  open();
  choose("Other", "Other");
  devices.add("TAVO RT Series");
  EXPECT_EQ(position(DeviceList::Out, "TAVO RT Series"), -1);
  core->OnRescanDevice();
  EXPECT_EQ(view.selected[1], position(DeviceList::Out, "TAVO RT Series"));
  EXPECT_GE(view.selected[1], 0);
  EXPECT_TRUE(view.allEnabled());
}

// --- Execute ---

struct Refusal {
  const char* name;
  const char* chosen;
  std::function<void(std::shared_ptr<midi::VirtualDevice> chosen)> arrange;  // after open()
  std::string text;
  std::string caption;
  MessageIcon icon;
  bool running = false;  // an update runs: Execute, as Enter does nothing then
};

// Nothing is greyed by a refusal, nor given back by one during an update.
TEST_F(WindowBehaviour, EachRefusedExecuteShowsItsBoxChangesNoControlAndWritesNothing) {
  const std::string error = testing::text(IDS_ERROR_CAPTION);
  const std::string outFailed(kMidiOutOpenFailed);
  const Refusal cases[] = {
      {"no output chosen", "Not the device", [](auto) {}, outFailed, "", MessageIcon::None},
      {"no input chosen", "USB Audio Device", [this](auto) { view.selected[0] = -1; },
       testing::text(IDS_CANT_OPEN_MIDI_IN), error, MessageIcon::Stop},
      // The neighbour moves up into the chosen one's position; it must not be opened instead.
      {"the chosen device gone", "USB Audio Device", [](auto chosen) { chosen->vanish(); },
       outFailed, "", MessageIcon::None},
      {"an update running", "USB Audio Device",
       [this](auto chosen) {
         answering("", kSilent, chosen);
         view.answerYes = true;
         startUpdate();
       },
       testing::text(IDS_IN_PROGRESS), error, MessageIcon::Stop, true},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.name);
    fresh();
    auto chosen = devices.add(c.chosen);
    auto neighbour = devices.add("Neighbour");
    open();
    c.arrange(chosen);
    c.running ? core->OnExecute() : core->OnOK();
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_EQ(view.boxes[0].text, c.text);
    EXPECT_EQ(view.boxes[0].caption, c.caption);
    EXPECT_EQ(view.boxes[0].icon, c.icon);
    EXPECT_TRUE(c.running ? view.noneEnabled() : view.allEnabled());
    EXPECT_EQ(core->signals().busy.load(), c.running ? 1 : 0);
    EXPECT_EQ(inhibitor.takes, c.running ? 1 : 0);
    EXPECT_TRUE(neighbour->takeSent().empty());
  }
}

// A second service listed after the usual virtual one: a device the usual one gains in between
// is listed before this one's and moves it on by one, as a new JACK port moves an ALSA-then-JACK
// list.
TEST_F(UpdatingWindow, APortCreatedBeforeExecuteDoesNotTakeTheChosenOnesPlace) {
  auto later = midi::makeVirtualMidiBackend();
  midi::midiService().addBackend(later);
  auto chosen = later->addDevice("USB Audio Device");
  answering("", kSilent, chosen);
  open();
  const int listed = view.selected[1];
  ASSERT_EQ(listed, position(DeviceList::Out, "USB Audio Device"));
  auto newcomer = devices.add("Newcomer");  // now where the chosen device was listed
  startUpdate();
  EXPECT_TRUE(newcomer->takeSent().empty());
  core.reset();
  chosen->vanish();
  midi::midiService().removeBackend(later.get());
}

struct TestImageCase {
  const char* name;
  bool inOwn, outOwn;   // the process's own simulated device at that end
  const char* allowed;  // RT88H_ALLOW_TEST_IMAGES
  bool yes;
  bool asked, started;
};

TEST_F(WindowBehaviour, TestImagesGoToAnotherDeviceOnlyAfterAYes) {
  if (!payloadsAreTestImages()) GTEST_SKIP() << "this build carries real firmware";
  const TestImageCase cases[] = {
      {"one end real, No", true, false, "", false, true, false},
      {"both real, Yes", false, false, "", true, true, true},
      {"the process's own device", true, true, "", false, false, true},
      {"the variable", false, false, "1", false, false, true},
      {"the variable, not 1", true, false, "0", false, true, false},
  };
  for (const TestImageCase& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScopedEnv allowed("RT88H_ALLOW_TEST_IMAGES", c.allowed);
    fresh();
    answering("Sim", kSilent);
    answering("USB Audio Device", kSilent);
    view.answerYes = c.yes;
    open(1, "Sim");
    choose(c.inOwn ? "Sim" : "USB Audio Device", c.outOwn ? "Sim" : "USB Audio Device");
    core->OnExecute();
    EXPECT_EQ(view.questions, c.asked ? 1 : 0);
    EXPECT_EQ(view.noneEnabled(), c.started);
    EXPECT_EQ(inhibitor.held(), c.started);
    const bool written =
        forwarder->pumpUntil([&] { return seenOf(Sent::Identity) > 0; }, c.started ? 10s : 0s);
    EXPECT_EQ(written, c.started);
  }
}

// --- each state's controls ---

TEST_F(WindowBehaviour, ACompletedUpdateLeavesExecuteOffUntilRescan) {
  devices.add("USB Audio Device");
  open();
  completeFromAnotherThread();
  EXPECT_EQ(view.step, "6/6");
  EXPECT_EQ(view.status, loadString(IDS_UPDATE_COMPLETED));
  EXPECT_EQ(view.progress, (std::array<int, 3>{0, 720896, 720896}));
  EXPECT_FALSE(core->controlEnabled(Control::Execute));
  EXPECT_TRUE(core->controlEnabled(Control::Rescan));
  core->OnOK();  // Execute is off: Enter starts nothing
  EXPECT_EQ(core->signals().busy.load(), 0);
  core->OnRescanDevice();
  EXPECT_TRUE(view.allEnabled());
  EXPECT_EQ(view.selected[1], position(DeviceList::Out, "USB Audio Device"));
}

TEST_F(WindowBehaviour, ProgressPositionsStayInsideTheRange) {
  devices.add("USB Audio Device");
  open();
  const std::function<void()> steps[] = {
      [&] { core->progressRange(0, 10); }, [&] { core->progressPosition(25); },
      [&] { core->progressRange(0, 4); }, [&] { core->progressPosition(-3); },
      [&] { core->progressRange(5, 2); }};
  const std::array<int, 3> shown[] = {{0, 10, 0}, {0, 10, 10}, {0, 4, 4}, {0, 4, 0}, {5, 5, 5}};
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    steps[i]();
    EXPECT_EQ(view.progress, shown[i]) << "step " << i;
  }
}

// The model is learnt again: after a refused model the next Execute runs on a fresh worker.
TEST_F(UpdatingWindow, AnUnknownModelShowsItsBoxAndTheNextExecuteStartsAfresh) {
  auto device = answering("USB Audio Device", {0x56});
  open();
  core->OnExecute();
  ASSERT_TRUE(pumpUntilReady());
  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_EQ(view.boxes[0].text, loadString(IDS_ILLEGAL_DEVICE));
  EXPECT_EQ(view.boxes[0].caption, loadString(IDS_ERROR_CAPTION));
  EXPECT_EQ(view.boxes[0].icon, MessageIcon::Stop);
  EXPECT_EQ(view.step, "0/6");
  EXPECT_TRUE(view.allEnabled());
  // The support log tells the same: the ports with their keys, the model, the outcome.
  const std::string log = logs.newest();
  const std::string key = core->listed(DeviceList::Out)[0].key;
  EXPECT_NE(log.find("program: rt88h-updater "), std::string::npos) << log;
  EXPECT_NE(log.find("MIDI OUT: \"USB Audio Device\" " + key + "\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" device model 0x56\n"), std::string::npos) << log;
  EXPECT_TRUE(log.ends_with(" outcome: Illegal device connected.\n")) << log;

  answering("", {0x58}, device);
  core->OnExecute();
  EXPECT_TRUE(forwarder->pumpUntil([&] { return seenOf(Sent::Begin) > 0; }));
  EXPECT_TRUE(view.noneEnabled());
  EXPECT_EQ(view.boxes.size(), 1u);
}

// --- closing, and the computer kept awake ---

enum class State { Idle, Updating, Ended };

struct CloseCase {
  State state;
  CloseRequest request;
  bool yes;
  bool closes, asks;
};

TEST_F(UpdatingWindow, DuringAnUpdateEscapeDoesNothingExitAsksAndATerminationStops) {
  const CloseCase cases[] = {
      {State::Idle, CloseRequest::Exit, false, true, false},
      {State::Idle, CloseRequest::Escape, false, true, false},
      {State::Idle, CloseRequest::Terminate, false, true, false},
      {State::Updating, CloseRequest::Escape, true, false, false},
      {State::Updating, CloseRequest::Exit, false, false, true},
      {State::Updating, CloseRequest::Exit, true, true, true},
      {State::Updating, CloseRequest::Terminate, false, true, false},
      {State::Ended, CloseRequest::Exit, false, true, false},
      {State::Ended, CloseRequest::Escape, false, true, false},
  };
  for (const CloseCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << "state " << static_cast<int>(c.state) << " request "
                                      << static_cast<int>(c.request) << " yes " << c.yes);
    fresh();
    answering("USB Audio Device", c.state == State::Ended ? Answers{0x56} : kSilent);
    open();
    if (c.state != State::Idle) startUpdate();
    if (c.state == State::Ended) {
      ASSERT_TRUE(pumpUntilReady());
    }
    EXPECT_EQ(core->mayEndSession(), c.state != State::Updating);
    view.stopQuestions = 0;
    view.stopYes = c.yes;
    EXPECT_EQ(core->OnClose(c.request), c.closes);
    EXPECT_EQ(view.stopQuestions, c.asks ? 1 : 0);
    if (c.closes) {
      EXPECT_TRUE(closeAndWait());
    }
    EXPECT_EQ(core->updateRunning(), c.state == State::Updating && !c.closes);
    EXPECT_FALSE(inhibitor.held() && c.closes);
  }
}

// The computer is kept awake from Execute, once the update is sure to start, to each end, and
// given back before the end's own box comes, and not at a box that is no end. Closing ends each
// wait of the update at once, without a box; nothing runs after it.
TEST_F(UpdatingWindow, EachEndOfAnUpdateLetsTheComputerSleepAndAClosePromptlyAndQuietly) {
  enum class By { Close, Completion, ErrorBox, BoxThenClose };
  struct End {
    const char* name;
    Answers answers;
    Sent reached;
    By by;
  };
  const End cases[] = {
      {"closed in the identity's wait", kSilent, Sent::Identity, By::Close},
      {"closed in BeginUpdate's, without a limit", {0x58}, Sent::Begin, By::Close},
      {"closed in a chunk's", {0x58, true, true, false}, Sent::Write, By::Close},
      {"completed", kSilent, Sent::Identity, By::Completion},
      {"its error box", {0x56}, Sent::Identity, By::ErrorBox},
      {"a failed answer's box, then closed", kSilent, Sent::Identity, By::BoxThenClose}};
  for (const End& c : cases) {
    SCOPED_TRACE(c.name);
    fresh();
    answering("USB Audio Device", c.answers);
    open();
    core->OnExecute();
    EXPECT_EQ(inhibitor.takes, 1);
    ASSERT_TRUE(forwarder->pumpUntil([&] { return seenOf(c.reached) > 0; }, 15s));
    switch (c.by) {
      case By::Close: EXPECT_TRUE(closeAndWait()); break;
      case By::Completion: completeFromAnotherThread(); break;
      case By::ErrorBox: ASSERT_TRUE(pumpUntilReady()); break;
      case By::BoxThenClose: {
        // As the dispatcher shows it when its answer to the device cannot be sent.
        std::thread dispatcher([&] { core->showMessage(kMidiOutError, "", MessageIcon::None); });
        EXPECT_TRUE(forwarder->pumpUntil([&] { return !view.boxes.empty(); }));
        dispatcher.join();
        EXPECT_EQ(inhibitor.releases, 0);
        EXPECT_TRUE(closeAndWait());
        break;
      }
    }
    EXPECT_EQ(inhibitor.releases, 1);
    for (const Box& box : view.boxes) EXPECT_EQ(box.awake, c.by == By::BoxThenClose) << box.text;
    if (c.by == By::Close) {
      EXPECT_EQ(core->signals().replyStatus.load(), kStatusStop);
      EXPECT_EQ(view.boxes.size(), 0u);
      EXPECT_TRUE(logs.newest().ends_with(" outcome: stopped before the end\n")) << logs.newest();
      core->OnSysCommand(kAboutCommand);
      EXPECT_EQ(view.aboutBoxes, 0);
    }
    core->shutDown();
    EXPECT_EQ(inhibitor.releases, 1);
  }
}

TEST_F(WindowBehaviour, OnlyTheAboutCommandOpensTheAboutBoxAndNotAfterTheClose) {
  open();
  core->OnSysCommand(0x20);
  core->OnSysCommand(kAboutCommand | 0x3);
  EXPECT_EQ(view.aboutBoxes, 1);
  core->OnDestroy();
  core->OnSysCommand(kAboutCommand);
  EXPECT_EQ(view.aboutBoxes, 1);
}

// What every view operation goes through: a caller on another thread waits for its work on the
// window's thread; once the forwarder is closed nobody waits and queued work never runs, but work
// already running is waited for, as it may use the caller's locals.
TEST(WindowForwarderRules, CallersWaitUntilTheForwarderClosesAndForWorkAlreadyRunningEvenThen) {
  QueueForwarder forwarder;
  int ran = 0;
  EXPECT_TRUE(forwarder.call([&] { ++ran; }));  // on the window's thread: at once
  std::atomic<int> result{-1};
  std::thread caller([&] { result = forwarder.call([&] { ++ran; }) ? 1 : 0; });
  ASSERT_TRUE(forwarder.pumpUntil([&] { return result.load() >= 0; }));
  caller.join();
  EXPECT_EQ(result.load(), 1);

  std::thread queued([&] { result = forwarder.call([&] { ++ran; }) ? 1 : 0; });
  ASSERT_TRUE(forwarder.waitForWaiting(1, 5s));
  forwarder.close();
  queued.join();
  EXPECT_EQ(result.load(), 0);
  forwarder.pump();
  EXPECT_FALSE(forwarder.call([&] { ++ran; }));
  std::thread late([&] { result = forwarder.call([&] { ++ran; }) ? 1 : 0; });
  late.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(ran, 2);

  QueueForwarder closedMeanwhile;
  std::atomic<bool> callerReturned{false};
  bool returnedDuringWork = true;
  std::thread running([&] {
    closedMeanwhile.call([&] {
      closedMeanwhile.close();
      returnedDuringWork = callerReturned.load();
    });
    callerReturned = true;
  });
  EXPECT_TRUE(closedMeanwhile.pumpUntil([&] { return callerReturned.load(); }));
  running.join();
  EXPECT_FALSE(returnedDuringWork);
}

}  // namespace
}  // namespace rt88h::app
