// The real updater window over a USB-MIDI device as the kernel makes it (scripts/alsa-vm
// --usb-midi): snd-usb-audio names it and carries its SysEx as USB-MIDI packets, rt88h-devsim
// plays its firmware on the gadget's raw MIDI port. Two devices of one name side by side; one
// unplugged during an erase and at a chunk in the middle of a region, and plugged in again.
// Runs only inside scripts/alsa-vm.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QtTest/QTest>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "app_test_support.h"
#include "lumo_updator_app.h"
#include "lumo_updator_dlg.h"
#include "messages.h"
#include "string_table.h"
#include "vm_window_support.h"

namespace rt88h::app {
namespace {

using testing::BoxWatcher;
using testing::Controls;
using testing::cpuSeconds;
using testing::Devsim;
using testing::indexOf;
using testing::tableText;

// The kernel names the device's client by its product string.
constexpr const char* kDevice = "TAVO RT Series";
constexpr const char* kSecondOfTheName = "TAVO RT Series (2)";
constexpr int kToldWithinMs = 10000;
constexpr int kEndsWithinMs = 2000;
constexpr int kUpdateBoundMs = 900000;
constexpr const char* kBack = "rt88h-devsim: plugged in again";

// One run of the VM's control of its devices ("plug 1", "rawmidi 1"); false unless it did it.
bool usbMidi(const std::string& command, std::string* output = nullptr) {
  const std::string line = std::string(std::getenv("RT88H_USB_MIDI")) + " " + command;
  FILE* pipe = ::popen(line.c_str(), "r");
  if (pipe == nullptr) return false;
  char buffer[256];
  std::string said;
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) said += buffer;
  if (output != nullptr) *output = said.substr(0, said.find('\n'));
  return ::pclose(pipe) == 0;
}

// One copy of the program: its instance number and its window.
struct Copy {
  std::unique_ptr<CLumoUpdatorApp> app = std::make_unique<CLumoUpdatorApp>();
  std::unique_ptr<CLumoUpdatorDlg> window;
  std::unique_ptr<Controls> controls;
};

class UsbMidi : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("RT88H_USB_MIDI") == nullptr) {
      GTEST_SKIP() << "no USB-MIDI devices here (scripts/alsa-vm run --usb-midi 2)";
    }
    modelId.store(kFirstAcceptedModel);
  }
  void TearDown() override {
    for (auto& copy : copies) {
      if (copy->window) end(*copy);
    }
    for (int device : plugged) usbMidi("unplug " + std::to_string(device));
  }

  bool plug(int device) {
    plugged.push_back(device);
    return usbMidi("plug " + std::to_string(device));
  }
  bool unplug(int device) { return usbMidi("unplug " + std::to_string(device)); }

  // The device's firmware, on its side's raw MIDI port.
  bool play(Devsim& devsim, int device, std::vector<std::string> options) {
    std::string rawMidi;
    std::string line;
    if (!usbMidi("rawmidi " + std::to_string(device), &rawMidi)) return false;
    options.insert(options.begin(),
                   {"--rawmidi", rawMidi, "--exit-after-end", "--expect-complete"});
    const bool playing = devsim.start(options, &line);
    std::printf("device %d: %s", device, line.c_str());
    return playing;
  }

  // The program started: the next free instance number, its window shown.
  Copy& start() {
    copies.push_back(std::make_unique<Copy>());
    Copy& copy = *copies.back();
    EXPECT_TRUE(copy.app->chooseInstanceNumber());
    copy.window = std::make_unique<CLumoUpdatorDlg>();
    copy.window->show();
    copy.controls = std::make_unique<Controls>(copy.window.get());
    return copy;
  }

  // Escape; the milliseconds until the window has closed and its update has ended.
  qint64 end(Copy& copy) {
    QElapsedTimer elapsed;
    elapsed.start();
    QTest::keyClick(copy.window.get(), Qt::Key_Escape);
    if (copy.window->isVisible()) copy.window->reject();
    copy.window->waitForUpdate();
    copy.window.reset();
    copy.app.reset();  // its instance number is free again
    return elapsed.elapsed();
  }

  static bool ready(const Copy& copy) {
    return copy.controls->executeButton->isEnabled() && copy.controls->inList->isEnabled() &&
           copy.window->signals().busy.load() == 0;
  }
  static bool completed(const Copy& copy) {
    return copy.controls->statusText->text() == tableText(IDS_UPDATE_COMPLETED);
  }
  static bool chosen(const Copy& copy, const char* name) {
    return indexOf(copy.controls->inList, name) >= 0 &&
           copy.controls->inList->currentIndex() == indexOf(copy.controls->inList, name) &&
           copy.controls->outList->currentIndex() == indexOf(copy.controls->outList, name);
  }
  static bool listed(const Copy& copy, const char* name) {
    return indexOf(copy.controls->inList, name) >= 0 || indexOf(copy.controls->outList, name) >= 0;
  }

  // Unplugs the device once the device's log has `line`: true when a box told it within 10 s
  // and the controls came back.
  bool unplugAt(Copy& copy, Devsim& devsim, const std::string& line, BoxWatcher& watcher) {
    const std::size_t before = watcher.seen().size();
    if (!QTest::qWaitFor([&] { return devsim.report().find(line) != std::string::npos; }, 120000)) {
      ADD_FAILURE() << "the device never logged \"" << line << "\"";
      return false;
    }
    QElapsedTimer elapsed;
    elapsed.start();
    if (!unplug(1)) return false;
    const bool told = QTest::qWaitFor([&] { return watcher.seen().size() > before && ready(copy); },
                                      kToldWithinMs);
    std::printf("unplugged at \"%s\": box and controls back after %lld ms\n", line.c_str(),
                static_cast<long long>(elapsed.elapsed()));
    return told && watcher.seen().size() == before + 1 &&
           watcher.seen().back().text == tableText(IDS_DEVICE_DISCONNECTED);
  }

  testing::RuntimeDir runtime;
  std::deque<std::unique_ptr<Copy>> copies;
  std::vector<int> plugged;
};

TEST_F(UsbMidi, TwoDevicesOfOneNameAreEachUpdatedByTheirOwnCopy) {
  // Device 2's client comes second: its entries are the ones the naming rules number.
  ASSERT_TRUE(plug(1));
  ASSERT_TRUE(plug(2));
  Devsim one;
  Devsim two;
  ASSERT_TRUE(play(one, 1, {}));
  ASSERT_TRUE(play(two, 2, {}));
  Copy& first = start();
  Copy& second = start();
  EXPECT_TRUE(chosen(first, kDevice));
  EXPECT_TRUE(chosen(second, kSecondOfTheName));

  BoxWatcher watcher;
  QElapsedTimer elapsed;
  elapsed.start();
  QTest::keyClick(first.window.get(), Qt::Key_Return);
  QTest::keyClick(second.window.get(), Qt::Key_Return);
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return !watcher.seen().empty() || (completed(first) && completed(second)); },
      kUpdateBoundMs));
  std::printf("two updates side by side over USB-MIDI: %.1f s\n",
              static_cast<double>(elapsed.elapsed()) / 1000.0);
  EXPECT_TRUE(watcher.seen().empty()) << watcher.seen()[0].text.toStdString();
  for (Devsim* device : {&one, &two}) {
    EXPECT_EQ(device->waitExit(30000), 0) << device->report();
    EXPECT_NE(device->report().find("Flash equals the embedded payloads: yes\n"), std::string::npos)
        << device->report();
  }
}

TEST_F(UsbMidi, UnpluggedMidUpdateItIsToldAndOncePluggedInAgainTheUpdateCompletes) {
  ASSERT_TRUE(plug(1));
  Devsim device;
  // The first erase is answered after 20 s, as a slow flash might: the window waits in it.
  ASSERT_TRUE(play(device, 1, {"--late", "20000@erase:1", "--verbose"}));
  BoxWatcher watcher;

  // During the erase; Escape then ends the program.
  Copy* copy = &start();
  EXPECT_TRUE(chosen(*copy, kDevice));
  QTest::keyClick(copy->window.get(), Qt::Key_Return);
  EXPECT_TRUE(unplugAt(*copy, device, " EraseFlash 1,", watcher));
  EXPECT_LT(end(*copy), kEndsWithinMs);

  // At chunk 300, in the middle of the second region, in a program started afresh; Rescan then
  // lists the device no more.
  ASSERT_TRUE(plug(1));
  ASSERT_TRUE(QTest::qWaitFor([&] { return device.said(kBack); }, 30000));
  copy = &start();
  EXPECT_TRUE(chosen(*copy, kDevice));
  QTest::keyClick(copy->window.get(), Qt::Key_Return);
  EXPECT_TRUE(unplugAt(*copy, device, " WriteData 300,", watcher));
  QTest::mouseClick(copy->controls->rescanButton, Qt::LeftButton);
  EXPECT_FALSE(listed(*copy, kDevice));

  // Plugged in again: Rescan, Execute, and the whole update over what the last one left.
  ASSERT_TRUE(plug(1));
  ASSERT_TRUE(QTest::qWaitFor([&] { return device.said(kBack); }, 30000));
  QTest::mouseClick(copy->controls->rescanButton, Qt::LeftButton);
  EXPECT_TRUE(chosen(*copy, kDevice));
  QElapsedTimer elapsed;
  elapsed.start();
  const double cpuBefore = cpuSeconds();
  QTest::keyClick(copy->window.get(), Qt::Key_Return);
  ASSERT_TRUE(QTest::qWaitFor([&] { return watcher.seen().size() > 2 || completed(*copy); },
                              kUpdateBoundMs));
  std::printf("whole update over USB-MIDI: %.1f s, CPU of the updater side %.2f s\n",
              static_cast<double>(elapsed.elapsed()) / 1000.0, cpuSeconds() - cpuBefore);
  EXPECT_EQ(watcher.seen().size(), 2u);
  EXPECT_EQ(device.waitExit(30000), 0) << device.report();
  EXPECT_NE(device.report().find("Flash equals the embedded payloads: yes\n"), std::string::npos)
      << device.report();
  EXPECT_LT(end(*copy), kEndsWithinMs);
}

}  // namespace
}  // namespace rt88h::app
