// The window's behaviour as any toolkit sees it: what it shows, which boxes it runs, and that a
// close ends a running update, with the test's thread as the window's thread.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "flash_plan.h"
#include "instance_name.h"
#include "string_table.h"
#include "sysex_support.h"
#include "updator_dlg_core.h"
#include "virtual_midi.h"

namespace rt88h::app {
namespace {

using namespace std::chrono_literals;
using testing::Sent;

struct Box {
  std::string text;
  std::string caption;
  MessageIcon icon;
};

// Work for the window's thread waits in a queue until the test pumps it.
class QueueForwarder final : public WindowForwarder {
 public:
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

class RecordingView final : public DialogView {
 public:
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
    std::lock_guard lock(mutex);
    boxes.push_back({std::string(text), std::string(caption), icon});
  }
  bool askTestImages() override {
    ++questions;
    return answerYes;
  }
  void runAboutBox() override { ++aboutBoxes; }
  void closeBoxes() override { ++boxClosings; }

  std::size_t boxCount() {
    std::lock_guard lock(mutex);
    return boxes.size();
  }
  bool allEnabled() const { return enabled == std::array<bool, 4>{true, true, true, true}; }
  bool noneEnabled() const { return enabled == std::array<bool, 4>{}; }

  static int index(DeviceList list) { return list == DeviceList::In ? 0 : 1; }
  std::array<std::vector<std::string>, 2> entries;
  std::array<int, 2> selected{-1, -1};
  std::array<bool, 4> enabled{true, true, true, true};
  std::string status, step, title;
  std::array<int, 3> progress{};
  std::mutex mutex;
  std::vector<Box> boxes;
  int questions = 0;
  bool answerYes = false;
  int aboutBoxes = 0;
  int boxClosings = 0;
};

class WindowBehaviour : public ::testing::Test {
 protected:
  ~WindowBehaviour() override {
    core.reset();
    for (auto& device : devices) device->vanish();
  }

  std::shared_ptr<midi::VirtualDevice> add(const std::string& name) {
    devices.push_back(midi::virtualMidi().addDevice(name));
    return devices.back();
  }

  // Answers the identity with `model`, then every request at once with success.
  std::shared_ptr<midi::VirtualDevice> answering(const std::string& name, uint8_t model) {
    auto device = add(name);
    device->setReceiver([this, raw = device.get(), model](const uint8_t* bytes, std::size_t n) {
      const auto inject = [raw](const std::vector<uint8_t>& m) { raw->inject(m.data(), m.size()); };
      switch (testing::kindOf(bytes, n)) {
        case Sent::Identity: inject(testing::identityReply(model)); break;
        case Sent::Other: break;
        default: inject(testing::deviceStatus(model, 0)); break;
      }
      ++requests;
    });
    return device;
  }

  int position(DeviceList list, const std::string& name) const {
    const auto& names = view.entries[RecordingView::index(list)];
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (names[i] == name) return static_cast<int>(i);
    }
    return -1;
  }

  void open(int copy = 1, std::string simulated = {}) { core->OnInitDialog(copy, simulated); }
  bool pumpUntilReady() {
    return forwarder.pumpUntil([&] { return core->signals().busy.load() == 0; });
  }

  std::vector<std::shared_ptr<midi::VirtualDevice>> devices;
  std::atomic<int> requests{0};
  RecordingView view;
  QueueForwarder forwarder;
  std::unique_ptr<UpdatorDlgCore> core = std::make_unique<UpdatorDlgCore>(view, forwarder);
};

TEST_F(WindowBehaviour, OpensWithTheCopysTitleAndItsPreferredDevicesSelected) {
  add("USB Audio Device (3)");
  add("Other");
  add("TAVO RT Series (3)");
  open(3);
  EXPECT_EQ(view.title, instanceName(3));
  EXPECT_EQ(view.selected[1], position(DeviceList::Out, "TAVO RT Series (3)"));
  EXPECT_EQ(view.selected[0], position(DeviceList::In, "TAVO RT Series (3)"));
  EXPECT_EQ(view.progress, (std::array<int, 3>{0, 100, 0}));
  EXPECT_TRUE(view.allEnabled());
}

TEST_F(WindowBehaviour, WithoutAnOutputExecuteShowsItsBoxAndGreysNothing) {
  add("Other");
  open();
  ASSERT_EQ(view.selected[1], -1);
  core->OnOK();
  ASSERT_EQ(view.boxCount(), 1u);
  EXPECT_EQ(view.boxes[0].text, kMidiOutOpenFailed);
  EXPECT_TRUE(view.boxes[0].caption.empty());
  EXPECT_TRUE(view.allEnabled());
  EXPECT_EQ(core->signals().busy.load(), 0);
}

// The end of a successful run as the procedure does it, from its own thread.
TEST_F(WindowBehaviour, ACompletedUpdateLeavesExecuteOffUntilRescan) {
  add("USB Audio Device");
  open();
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
  const bool ended = forwarder.pumpUntil([&] { return done.load(); });
  procedure.join();
  ASSERT_TRUE(ended);
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

TEST_F(WindowBehaviour, AnUnknownModelShowsItsBoxAndGivesTheControlsBack) {
  if (payloadsAreTestImages()) view.answerYes = true;
  answering("USB Audio Device", 0x56);
  open();
  core->OnExecute();
  ASSERT_TRUE(pumpUntilReady());
  ASSERT_EQ(view.boxCount(), 1u);
  EXPECT_EQ(view.boxes[0].text, loadString(IDS_ILLEGAL_DEVICE));
  EXPECT_EQ(view.boxes[0].icon, MessageIcon::Stop);
  EXPECT_TRUE(view.allEnabled());
}

TEST_F(WindowBehaviour, TestImagesGoOnlyToTheProcessesOwnDeviceWithoutAQuestion) {
  if (!payloadsAreTestImages()) GTEST_SKIP() << "this build carries real firmware";
  answering("USB Audio Device", 0x58);
  open();
  core->OnExecute();  // answered No
  EXPECT_EQ(view.questions, 1);
  EXPECT_TRUE(view.allEnabled());
  EXPECT_EQ(requests.load(), 0);

  answering("Sim", 0x58);
  core.reset();
  core = std::make_unique<UpdatorDlgCore>(view, forwarder);
  open(1, "Sim");
  view.selected = {position(DeviceList::In, "Sim"), position(DeviceList::Out, "Sim")};
  core->OnExecute();
  EXPECT_EQ(view.questions, 1);
  EXPECT_TRUE(view.noneEnabled());
}

TEST_F(WindowBehaviour, ClosingDuringAnUpdateEndsItQuietlyAndCallsNothingMore) {
  if (payloadsAreTestImages()) view.answerYes = true;
  auto device = add("USB Audio Device");
  std::atomic<bool> asked{false};
  device->setReceiver([&](const uint8_t*, std::size_t) { asked = true; });  // never answers
  open();
  core->OnExecute();
  ASSERT_TRUE(forwarder.pumpUntil([&] { return asked.load(); }));
  core->OnDestroy();
  EXPECT_EQ(view.boxClosings, 1);
  core->shutDown();  // returns: the worker saw the stop
  EXPECT_EQ(core->signals().replyStatus.load(), kStatusStop);
  EXPECT_EQ(view.boxCount(), 0u);
  core->OnSysCommand(kAboutCommand);
  EXPECT_EQ(view.aboutBoxes, 0);
}

}  // namespace
}  // namespace rt88h::app
