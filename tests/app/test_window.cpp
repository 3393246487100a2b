// The updater window over virtual MIDI devices: preselection, Execute and its failure boxes,
// the enabling of each state, Enter, the About box, and closing in every state without a hang.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHash>
#include <QLabel>
#include <QToolButton>
#include <QtTest/QTest>
#include <atomic>
#include <functional>
#include <initializer_list>
#include <memory>
#include <thread>

#include "about_dlg.h"
#include "app_test_support.h"
#include "flash_plan.h"
#include "instance_lock.h"
#include "lumo_updator_app.h"
#include "lumo_updator_dlg.h"
#include "messages.h"
#include "midi_api.h"
#include "midi_service.h"
#include "string_table.h"
#include "sysex_support.h"
#include "virtual_midi.h"

namespace rt88h::app {
namespace {

using rt88h::testing::Sent;
using testing::BoxWatcher;
using testing::Controls;
using testing::Flag;
using testing::indexOf;
using testing::tableText;

constexpr qint64 kCloseBoundMs = 2000;

// The GUI thread must keep running events meanwhile: the worker's view operations need it.
bool waitUntilRaised(Flag& flag, int milliseconds) {
  return QTest::qWaitFor([&] { return flag.raised(); }, milliseconds);
}

QString appNameCaption() {
  return QCoreApplication::applicationName();
}

class Window : public ::testing::Test {
 protected:
  rt88h::testing::ModelScope models;  // first, so that it is given back last

  void TearDown() override {
    if (window) closeWindow();
  }

  // This process becomes copy n: the lower numbers are held here as another copy would.
  void becomeCopy(int n) {
    held.resize(std::size_t(n - 1));
    for (int k = 1; k < n; ++k) {
      ASSERT_TRUE(held[std::size_t(k - 1)].tryTake(instanceName(k)));
    }
    ASSERT_TRUE(app.chooseInstanceNumber());
    ASSERT_EQ(app.getInstanceNumber(), n);
  }

  void open() {
    if (app.getInstanceNumber() == 0) {
      ASSERT_TRUE(app.chooseInstanceNumber());
    }
    window = std::make_unique<CLumoUpdatorDlg>();
    window->show();
    controls = std::make_unique<Controls>(window.get());
  }

  // Closes as the user does, then what start-up does after the modal run; the time it took.
  qint64 closeWindow() {
    QElapsedTimer elapsed;
    elapsed.start();
    if (window->isVisible()) window->reject();
    window->waitForUpdate();
    window.reset();
    controls.reset();
    return elapsed.elapsed();
  }

  bool isReady() const {
    return controls->inList->isEnabled() && controls->outList->isEnabled() &&
           controls->executeButton->isEnabled() && controls->rescanButton->isEnabled() &&
           window->signals().busy.load() == 0;
  }
  bool isUpdating() const {
    return !controls->inList->isEnabled() && !controls->outList->isEnabled() &&
           !controls->executeButton->isEnabled() && !controls->rescanButton->isEnabled() &&
           controls->exitButton->isEnabled() && window->signals().busy.load() == 1;
  }
  bool isCompleted() const {
    return controls->inList->isEnabled() && controls->outList->isEnabled() &&
           !controls->executeButton->isEnabled() && controls->rescanButton->isEnabled() &&
           window->signals().busy.load() == 0;
  }

  // Answers the identity with `model` and raises flags for what it is sent; with `acceptBegin`
  // it also accepts BeginUpdate and every erase, never a chunk.
  void answerAs(midi::VirtualDevice* device, uint8_t model, bool acceptBegin = false) {
    device->setReceiver(
        [this, device, model, acceptBegin](const uint8_t* bytes, std::size_t count) {
          const auto inject = [device](const std::vector<uint8_t>& m) {
            device->inject(m.data(), m.size());
          };
          switch (rt88h::testing::kindOf(bytes, count)) {
            case Sent::Identity:
              identitySeen.raise();
              inject(rt88h::testing::identityReply(model));
              break;
            case Sent::Begin:
              beginSeen.raise();
              if (acceptBegin) inject(rt88h::testing::deviceStatus(bytes[3], 0));
              break;
            case Sent::Erase: inject(rt88h::testing::deviceStatus(bytes[3], 0)); break;
            case Sent::Write: chunkSeen.raise(); break;
            default: break;
          }
        });
  }

  std::shared_ptr<midi::VirtualDevice> answeringDevice(const std::string& name, uint8_t model,
                                                       bool acceptBegin = false) {
    auto device = devices.add(name);
    answerAs(device.get(), model, acceptBegin);
    return device;
  }

  std::shared_ptr<midi::VirtualDevice> silentDevice(const std::string& name) {
    auto device = devices.add(name);
    device->setReceiver([this](const uint8_t* bytes, std::size_t count) {
      if (rt88h::testing::kindOf(bytes, count) == Sent::Identity) identitySeen.raise();
    });
    return device;
  }

  testing::RuntimeDir runtime;
  // These devices are simulated: like every test rig, the tests may write test images to them.
  testing::ScopedEnv allowTestImages{"RT88H_ALLOW_TEST_IMAGES", "1"};
  std::vector<InstanceLock> held;
  CLumoUpdatorApp app;
  testing::Devices devices;
  Flag identitySeen;
  Flag beginSeen;
  Flag chunkSeen;
  std::unique_ptr<CLumoUpdatorDlg> window;
  std::unique_ptr<Controls> controls;
};

// --- opening ---

TEST_F(Window, OpensReadyWithTheTitleOfCopyOneAndExecuteFocused) {
  open();
  EXPECT_EQ(window->windowTitle(), QStringLiteral("Tavo RT-88H System v2.01"));
  EXPECT_TRUE(isReady());
  EXPECT_EQ(window->focusWidget(), controls->executeButton);
  EXPECT_TRUE(controls->executeButton->isDefault());
  EXPECT_EQ(controls->executeButton->nextInFocusChain(), controls->exitButton);
  EXPECT_TRUE(controls->statusText->text().isEmpty());
  EXPECT_TRUE(controls->stepText->text().isEmpty());
  EXPECT_TRUE(controls->statusText->isReadOnly());
  EXPECT_TRUE(controls->stepText->isReadOnly());
  EXPECT_EQ(controls->progress->minimum(), 0);
  EXPECT_EQ(controls->progress->maximum(), 100);
  EXPECT_EQ(window->minimumSize(), window->maximumSize());
  EXPECT_EQ(window->signals().replyStatus.load(), 0);
}

TEST_F(Window, CopyThreeShowsItsNumberAndTheAboutBoxDoesNot) {
  becomeCopy(3);
  open();
  EXPECT_EQ(window->windowTitle(), QStringLiteral("Tavo RT-88H System v2.01 (3)"));

  QString aboutTitle;
  QString aboutEdit;
  QString imagesLine;
  QTimer::singleShot(0, window.get(), [&] {
    ASSERT_TRUE(QTest::qWaitFor(
        [] { return qobject_cast<CAboutDlg*>(QApplication::activeModalWidget()) != nullptr; },
        5000));
    auto* about = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
    aboutTitle = about->windowTitle();
    aboutEdit = about->findChild<QLineEdit*>(QStringLiteral("titleEdit"))->text();
    imagesLine = about->findChild<QLabel*>(QStringLiteral("imagesLine"))->text();
    about->accept();
  });
  window->OnSysCommand(kAboutCommand);
  EXPECT_EQ(aboutTitle, tableText(IDS_ABOUT_TITLE));
  EXPECT_EQ(aboutEdit, QStringLiteral("Tavo RT-88H System v2.01"));
  if (payloadsAreTestImages()) {
    EXPECT_TRUE(imagesLine.contains(QStringLiteral("test images"))) << imagesLine.toStdString();
    EXPECT_FALSE(controls->executeButton->toolTip().isEmpty());
  } else {
    EXPECT_TRUE(imagesLine.contains(QString::fromUtf8(payloadSha256(129)).left(8)));
  }
}

TEST_F(Window, TheAboutItemIsOnTheContextMenuAndItsButton) {
  open();
  const QList<QAction*> actions = window->actions();
  ASSERT_EQ(actions.size(), 1);
  EXPECT_EQ(actions[0]->text(), tableText(IDS_ABOUTBOX));
  EXPECT_EQ(window->contextMenuPolicy(), Qt::ActionsContextMenu);
  auto* button = window->findChild<QToolButton*>(QStringLiteral("aboutButton"));
  ASSERT_NE(button, nullptr);
  EXPECT_TRUE(button->isVisible());
  EXPECT_EQ(button->toolTip(), QStringLiteral("About RT-88H Updater..."));

  bool opened = false;
  QTimer::singleShot(0, window.get(), [&] {
    opened = QTest::qWaitFor(
        [] { return qobject_cast<CAboutDlg*>(QApplication::activeModalWidget()) != nullptr; },
        5000);
    if (opened) QApplication::activeModalWidget()->close();
  });
  actions[0]->trigger();
  EXPECT_TRUE(opened);
  // Another system command opens nothing.
  BoxWatcher watcher;
  window->OnSysCommand(0x20);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

// A framed button that the keyboard reaches too, and whose Enter is its own.
// A framed button that Tab reaches, and whose Enter is its own.
TEST_F(Window, TheAboutButtonIsAButtonForTheKeyboardToo) {
  auto device = devices.add("USB Audio Device");
  open();
  auto* button = window->findChild<QToolButton*>(QStringLiteral("aboutButton"));
  EXPECT_FALSE(button->autoRaise());
  controls->stepText->setFocus();
  QTest::keyClick(controls->stepText, Qt::Key_Tab);
  ASSERT_EQ(window->focusWidget(), button);
  bool opened = false;
  QTimer::singleShot(0, window.get(), [&] {
    opened = QTest::qWaitFor([] { return QApplication::activeModalWidget() != nullptr; }, 5000);
    if (opened) QApplication::activeModalWidget()->close();
  });
  QTest::keyClick(button, Qt::Key_Return);
  EXPECT_TRUE(opened);
  EXPECT_TRUE(device->takeSent().empty());
}

// --- preselection over virtual devices ---

TEST_F(Window, TheLastMatchingDeviceIsPreselectedWhicheverNameItMatches) {
  devices.add("TAVO RT Series");
  devices.add("Some Synth");
  devices.add("USB Audio Device");
  devices.add("Another Synth");
  open();
  const int expected = indexOf(controls->outList, "USB Audio Device");
  ASSERT_GE(expected, 0);
  EXPECT_EQ(controls->outList->currentIndex(), expected);
  EXPECT_EQ(controls->inList->currentIndex(), indexOf(controls->inList, "USB Audio Device"));
}

TEST_F(Window, TheSeriesNameWinsWhenItComesLast) {
  devices.add("USB Audio Device");
  devices.add("TAVO RT Series");
  open();
  EXPECT_EQ(controls->outList->currentIndex(), indexOf(controls->outList, "TAVO RT Series"));
  EXPECT_EQ(controls->inList->currentIndex(), indexOf(controls->inList, "TAVO RT Series"));
}

TEST_F(Window, CaseAndTrailingBlanksMatterAndNoMatchMeansNoSelection) {
  devices.add("usb audio device");
  devices.add("USB Audio Device ");
  devices.add("TAVO RT SERIES");
  open();
  EXPECT_EQ(controls->outList->count(), controls->inList->count());
  EXPECT_GE(controls->outList->count(), 3);
  EXPECT_EQ(controls->outList->currentIndex(), -1);
  EXPECT_EQ(controls->inList->currentIndex(), -1);
}

TEST_F(Window, CopyTwoTakesOnlyTheNamesWithItsSuffix) {
  becomeCopy(2);
  devices.add("TAVO RT Series (2)");
  devices.add("USB Audio Device");
  open();
  EXPECT_EQ(controls->outList->currentIndex(), indexOf(controls->outList, "TAVO RT Series (2)"));
  EXPECT_EQ(controls->inList->currentIndex(), indexOf(controls->inList, "TAVO RT Series (2)"));
}

TEST_F(Window, TheJapaneseNameIsFoundForEveryCopy) {
  becomeCopy(2);
  const std::string japanese = "USB オーディオ デバイス";
  devices.add(japanese);
  devices.add(japanese);  // the second of two equal names is told apart as " (2)"
  open();
  const QByteArray listedFirst = QByteArray::fromStdString(midi::applyNamingRules({japanese})[0]);
  const int first = controls->outList->findData(listedFirst);
  ASSERT_GE(first, 0);
  EXPECT_EQ(controls->outList->currentIndex(), first + 1);
  EXPECT_TRUE(controls->outList->currentText().endsWith(QStringLiteral(" (2)")));
  EXPECT_EQ(controls->inList->currentIndex(), controls->inList->findData(listedFirst) + 1);
}

TEST_F(Window, RescanDiscardsTheUsersChoiceAndSeesNewDevices) {
  devices.add("USB Audio Device");
  devices.add("Other");
  open();
  const int preselected = controls->outList->currentIndex();
  ASSERT_GE(preselected, 0);
  controls->outList->setCurrentIndex(indexOf(controls->outList, "Other"));
  devices.add("TAVO RT Series");
  EXPECT_EQ(indexOf(controls->outList, "TAVO RT Series"), -1);
  QTest::mouseClick(controls->rescanButton, Qt::LeftButton);
  EXPECT_EQ(controls->outList->currentIndex(), indexOf(controls->outList, "TAVO RT Series"));
  EXPECT_GE(controls->outList->currentIndex(), 0);
  EXPECT_TRUE(isReady());
}

// --- Execute ---

TEST_F(Window, WithoutASelectedOutputExecuteShowsTheOutputBoxAndChangesNothing) {
  devices.add("Not the device");
  open();
  ASSERT_EQ(controls->outList->currentIndex(), -1);
  BoxWatcher watcher;
  QTest::mouseClick(controls->executeButton, Qt::LeftButton);
  ASSERT_EQ(watcher.seen().size(), 1u);
  EXPECT_EQ(watcher.seen()[0].text, QString::fromUtf8("MIDI OUTデバイスが開けません"));
  EXPECT_EQ(watcher.seen()[0].title, appNameCaption());
  EXPECT_EQ(watcher.seen()[0].icon, QMessageBox::NoIcon);
  EXPECT_EQ(watcher.seen()[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
  EXPECT_TRUE(isReady());
  EXPECT_TRUE(window->isVisible());
}

TEST_F(Window, WithoutASelectedInputExecuteShowsTheInputBox) {
  auto device = silentDevice("USB Audio Device");
  open();
  controls->inList->setCurrentIndex(-1);
  BoxWatcher watcher;
  QTest::mouseClick(controls->executeButton, Qt::LeftButton);
  ASSERT_EQ(watcher.seen().size(), 1u);
  EXPECT_EQ(watcher.seen()[0].text, tableText(IDS_CANT_OPEN_MIDI_IN));
  EXPECT_EQ(watcher.seen()[0].title, tableText(IDS_ERROR_CAPTION));
  EXPECT_EQ(watcher.seen()[0].icon, QMessageBox::Critical);
  EXPECT_TRUE(isReady());
  EXPECT_FALSE(identitySeen.raised());
}

TEST_F(Window, ExecuteWhileBusyShowsInProgressAndChangesNothing) {
  silentDevice("USB Audio Device");
  open();
  QTest::mouseClick(controls->executeButton, Qt::LeftButton);
  ASSERT_TRUE(isUpdating());
  ASSERT_TRUE(waitUntilRaised(identitySeen, 5000));
  BoxWatcher watcher;
  window->OnExecute();
  ASSERT_EQ(watcher.seen().size(), 1u);
  EXPECT_EQ(watcher.seen()[0].text, tableText(IDS_IN_PROGRESS));
  EXPECT_EQ(watcher.seen()[0].title, tableText(IDS_ERROR_CAPTION));
  EXPECT_EQ(watcher.seen()[0].icon, QMessageBox::Critical);
  EXPECT_TRUE(isUpdating());
}

// A focused push button takes Enter; elsewhere Enter goes to the default button, Execute.
TEST_F(Window, EnterOnAFocusedExitLeavesWithoutStartingTheUpdate) {
  auto device = devices.add("USB Audio Device");
  open();
  controls->exitButton->setFocus();
  QTest::keyClick(controls->exitButton, Qt::Key_Return);
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(window->result(), QDialog::Rejected);
  EXPECT_EQ(window->signals().busy.load(), 0);
  EXPECT_TRUE(device->takeSent().empty());
}

TEST_F(Window, EnterOnAFocusedRescanRescansWithoutStartingTheUpdate) {
  auto device = devices.add("USB Audio Device");
  open();
  devices.add("TAVO RT Series");
  controls->rescanButton->setFocus();
  QTest::keyClick(controls->rescanButton, Qt::Key_Enter, Qt::KeypadModifier);
  EXPECT_GE(indexOf(controls->outList, "TAVO RT Series"), 0);
  EXPECT_TRUE(isReady());
  EXPECT_TRUE(device->takeSent().empty());
}

TEST_F(Window, EnterOnAListRunsExecuteAndNeverClosesTheWindow) {
  silentDevice("USB Audio Device");
  open();
  QTest::keyClick(controls->outList, Qt::Key_Return);
  EXPECT_TRUE(isUpdating());
  EXPECT_TRUE(waitUntilRaised(identitySeen, 5000));
}

// Execute going grey must not hand the focus, and with it Enter, to Exit.
TEST_F(Window, EnterDuringAnUpdateNeitherClosesTheWindowNorAsksAgain) {
  silentDevice("USB Audio Device");
  open();
  BoxWatcher watcher;
  QTest::keyClick(controls->executeButton, Qt::Key_Space);
  ASSERT_TRUE(isUpdating());
  QWidget* focused = window->focusWidget();
  ASSERT_NE(focused, nullptr);
  EXPECT_NE(focused, controls->exitButton);
  QTest::keyClick(focused, Qt::Key_Return);
  EXPECT_TRUE(window->isVisible());
  EXPECT_TRUE(isUpdating());
  EXPECT_TRUE(watcher.seen().empty());
}

// --- the chosen device, not whatever sits at its position now ---

// A second service listed after the usual virtual one: a device the usual one gains in between
// is listed before this one's devices and moves them on by one, as a new JACK port moves an
// ALSA-then-JACK list.
class WindowWithALaterService : public Window {
 protected:
  void TearDown() override {
    Window::TearDown();
    for (const auto& device : laterDevices) device->vanish();
    midi::midiService().removeBackend(later.get());
  }
  std::shared_ptr<midi::VirtualDevice> addLater(const std::string& name) {
    laterDevices.push_back(later->addDevice(name));
    return laterDevices.back();
  }
  std::shared_ptr<midi::VirtualMidiBackend> later = [] {
    auto backend = midi::makeVirtualMidiBackend();
    midi::midiService().addBackend(backend);
    return backend;
  }();
  std::vector<std::shared_ptr<midi::VirtualDevice>> laterDevices;
};

TEST_F(WindowWithALaterService, APortCreatedBeforeExecuteDoesNotTakeTheChosenOnesPlace) {
  auto chosen = addLater("USB Audio Device");
  answerAs(chosen.get(), 0x58);
  open();
  const int listed = controls->outList->currentIndex();
  ASSERT_EQ(listed, indexOf(controls->outList, "USB Audio Device"));
  auto newcomer = devices.add("Newcomer");  // now where the chosen device was listed
  char name[midi::kDeviceNameSize] = {};
  ASSERT_EQ(midi::systemMidi().outDeviceName(listed, name, sizeof name), midi::kMidiOk);
  ASSERT_STREQ(name, "Newcomer");

  QTest::mouseClick(controls->executeButton, Qt::LeftButton);
  EXPECT_TRUE(isUpdating());
  EXPECT_TRUE(waitUntilRaised(identitySeen, 5000));
  EXPECT_TRUE(newcomer->takeSent().empty());
}

TEST_F(Window, WhenTheChosenDeviceIsGoneExecuteSaysSoAndOpensNoNeighbour) {
  auto chosen = devices.add("USB Audio Device");
  auto neighbour = devices.add("Neighbour");
  open();
  ASSERT_EQ(controls->outList->currentText(), QStringLiteral("USB Audio Device"));
  chosen->vanish();  // the neighbour moves up into its position
  BoxWatcher watcher;
  QTest::mouseClick(controls->executeButton, Qt::LeftButton);
  ASSERT_EQ(watcher.seen().size(), 1u);
  EXPECT_EQ(watcher.seen()[0].text, QString::fromUtf8("MIDI OUTデバイスが開けません"));
  EXPECT_TRUE(isReady());
  EXPECT_TRUE(neighbour->takeSent().empty());
}

// --- a build with test images ---

class TestImageGuard : public Window {
 protected:
  void SetUp() override {
    if (!payloadsAreTestImages()) GTEST_SKIP() << "built with real firmware images";
    Window::SetUp();
    app.setSimulatedDeviceName("TAVO RT Series");
  }
  // Answers the question with `button` and notes what it saw.
  BoxWatcher answering(QMessageBox::StandardButton button) {
    return BoxWatcher([this, button](QMessageBox* box) {
      defaultWasNo = box->defaultButton() == box->button(QMessageBox::No);
      box->button(button)->click();
    });
  }
  // Execute goes to the device at once, without the question.
  void expectExecuteWithoutAQuestion() {
    open();
    BoxWatcher watcher = answering(QMessageBox::No);
    QTest::mouseClick(controls->executeButton, Qt::LeftButton);
    EXPECT_TRUE(watcher.seen().empty());
    EXPECT_TRUE(isUpdating());
    EXPECT_TRUE(waitUntilRaised(identitySeen, 5000));
  }
  testing::ScopedEnv notAllowed{"RT88H_ALLOW_TEST_IMAGES", nullptr};
  bool defaultWasNo = false;
};

// The input end is the demo's device, the output is not: Execute asks.
TEST_F(TestImageGuard, ExecuteAsksFirstAndNoLeavesTheDeviceUntouched) {
  devices.add("TAVO RT Series");
  auto device = devices.add("USB Audio Device");
  open();
  auto* badge = window->findChild<QLabel*>(QStringLiteral("testImagesLabel"));
  ASSERT_NE(badge, nullptr);
  EXPECT_TRUE(badge->isVisible());
  EXPECT_EQ(badge->text(), tableText(IDS_TEST_IMAGES_BADGE));
  EXPECT_EQ(window->windowTitle(), QStringLiteral("Tavo RT-88H System v2.01"));
  controls->inList->setCurrentIndex(indexOf(controls->inList, "TAVO RT Series"));
  BoxWatcher watcher = answering(QMessageBox::No);
  QTest::mouseClick(controls->executeButton, Qt::LeftButton);
  ASSERT_EQ(watcher.seen().size(), 1u);
  EXPECT_EQ(watcher.seen()[0].text, tableText(IDS_TEST_IMAGES_RISK));
  EXPECT_EQ(watcher.seen()[0].informative, tableText(IDS_TEST_IMAGES_QUESTION));
  EXPECT_EQ(watcher.seen()[0].buttons, QMessageBox::Yes | QMessageBox::No);
  EXPECT_TRUE(defaultWasNo);
  EXPECT_TRUE(isReady());
  EXPECT_TRUE(device->takeSent().empty());
}

TEST_F(TestImageGuard, YesStartsTheUpdate) {
  answeringDevice("USB Audio Device", 0x58);
  open();
  BoxWatcher watcher = answering(QMessageBox::Yes);
  QTest::mouseClick(controls->executeButton, Qt::LeftButton);
  EXPECT_EQ(watcher.seen().size(), 1u);
  EXPECT_TRUE(isUpdating());
  EXPECT_TRUE(waitUntilRaised(beginSeen, 10000));
}

TEST_F(TestImageGuard, TheDemosOwnDeviceIsWrittenWithoutAQuestion) {
  silentDevice("TAVO RT Series");
  expectExecuteWithoutAQuestion();
}

TEST_F(TestImageGuard, TheVariableSkipsTheQuestion) {
  testing::ScopedEnv allowed("RT88H_ALLOW_TEST_IMAGES", "1");
  silentDevice("USB Audio Device");
  expectExecuteWithoutAQuestion();
}

// --- states after each outcome ---

TEST_F(Window, AnErrorOfTheProcedureShowsItsBoxAndGivesTheControlsBack) {
  auto device = answeringDevice("USB Audio Device", 0x56);  // a model the updater refuses
  open();
  BoxWatcher watcher;
  QTest::mouseClick(controls->executeButton, Qt::LeftButton);
  EXPECT_TRUE(isUpdating());
  ASSERT_TRUE(QTest::qWaitFor([&] { return isReady(); }, 10000));
  ASSERT_EQ(watcher.seen().size(), 1u);
  EXPECT_EQ(watcher.seen()[0].text, tableText(IDS_ILLEGAL_DEVICE));
  EXPECT_EQ(watcher.seen()[0].title, tableText(IDS_ERROR_CAPTION));
  EXPECT_EQ(watcher.seen()[0].icon, QMessageBox::Critical);
  EXPECT_EQ(controls->stepText->text(), QStringLiteral("0/6"));

  // The model is learnt again: the next Execute runs on a fresh worker up to BeginUpdate.
  answerAs(device.get(), 0x58);
  QTest::mouseClick(controls->executeButton, Qt::LeftButton);
  EXPECT_TRUE(isUpdating());
  EXPECT_TRUE(waitUntilRaised(beginSeen, 10000));
  EXPECT_EQ(watcher.seen().size(), 1u);
}

TEST_F(Window, ACompletedUpdateLeavesExecuteOffUntilRescan) {
  silentDevice("USB Audio Device");
  open();
  QTest::mouseClick(controls->executeButton, Qt::LeftButton);
  ASSERT_TRUE(isUpdating());
  // The worker's last view operation for 30 s: from here it waits for the identity.
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return controls->stepText->text() == QStringLiteral("0/6"); }, 5000));
  // The end of a successful run, as the procedure does it, from another thread.
  std::atomic<bool> done{false};
  std::thread procedure([&] {
    window->stepText("6/6");
    window->progressRange(0, 720896);
    window->progressPosition(720896);
    window->statusText(loadString(IDS_UPDATE_COMPLETED));
    window->restoreControls();
    window->enableExecute(false);
    done = true;
  });
  EXPECT_TRUE(QTest::qWaitFor([&] { return done.load(); }, 5000));
  procedure.join();
  EXPECT_TRUE(isCompleted());
  EXPECT_EQ(controls->statusText->text(), tableText(IDS_UPDATE_COMPLETED));
  EXPECT_EQ(controls->stepText->text(), QStringLiteral("6/6"));
  EXPECT_EQ(controls->progress->value(), controls->progress->maximum());
  QTest::mouseClick(controls->rescanButton, Qt::LeftButton);
  EXPECT_TRUE(isReady());
  EXPECT_EQ(controls->outList->currentIndex(), indexOf(controls->outList, "USB Audio Device"));
}

TEST_F(Window, ProgressPositionsStayInsideTheRange) {
  open();
  window->progressRange(0, 10);
  window->progressPosition(25);
  EXPECT_EQ(controls->progress->value(), 10);
  window->progressRange(0, 4);
  EXPECT_EQ(controls->progress->value(), 4);
  window->progressPosition(-3);
  EXPECT_EQ(controls->progress->value(), 0);
}

// --- painting ---

// Counts the paint events of the widgets it watches.
class PaintCounter : public QObject {
 public:
  explicit PaintCounter(std::initializer_list<QWidget*> widgets) {
    for (QWidget* widget : widgets) widget->installEventFilter(this);
  }
  int of(QObject* widget) const { return counts_.value(widget, 0); }
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint) counts_[watched] += 1;
    return false;
  }

 private:
  QHash<QObject*, int> counts_;
};

// The view operations as the worker calls them, each waiting for the window's thread; returns
// once all have run and what they asked to paint has been painted.
void fromAnotherThread(const std::function<void()>& operations) {
  QEventLoop loop;
  std::thread worker([&] {
    operations();
    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
  });
  loop.exec();
  worker.join();
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents();
}

TEST_F(Window, UnchangedTextsAndSubPixelStepsPaintNothing) {
  open();
  window->stepText("1/6");
  window->statusText("Data transmit  0 / 720896 ");
  window->progressRange(0, 720896);
  QCoreApplication::processEvents();
  PaintCounter paints{controls->stepText, controls->statusText, controls->progress};
  fromAnotherThread([&] {
    for (int i = 1; i <= 50; ++i) {
      window->stepText("1/6");
      window->statusText("Data transmit  0 / 720896 ");
      window->progressPosition(i * 16);  // 800 of 720896: far below a pixel
    }
  });
  EXPECT_EQ(paints.of(controls->stepText) + paints.of(controls->statusText) +
                paints.of(controls->progress),
            0);
  EXPECT_EQ(controls->progress->value(), 800);
  // A visible change is still painted.
  fromAnotherThread([&] { window->stepText("2/6"); });
  EXPECT_EQ(paints.of(controls->stepText), 1);
}

// --- closing ---

TEST_F(Window, ClosingWithoutAnUpdateEndsAtOnce) {
  open();
  QTest::mouseClick(controls->exitButton, Qt::LeftButton);
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(window->signals().replyStatus.load(), kStatusStop);
  EXPECT_LT(closeWindow(), kCloseBoundMs);
}

TEST_F(Window, TheCloseBoxEndsARunningUpdateQuietly) {
  silentDevice("USB Audio Device");
  open();
  BoxWatcher watcher;
  QTest::mouseClick(controls->executeButton, Qt::LeftButton);
  ASSERT_TRUE(waitUntilRaised(identitySeen, 5000));
  EXPECT_TRUE(window->close());
  EXPECT_FALSE(window->isVisible());
  EXPECT_LT(closeWindow(), kCloseBoundMs);
  EXPECT_TRUE(watcher.seen().empty());
}

TEST_F(Window, ClosingDuringTheUnlimitedBeginUpdateWaitEndsQuietlyAndQuickly) {
  answeringDevice("USB Audio Device", 0x58);
  open();
  BoxWatcher watcher;
  QTest::mouseClick(controls->executeButton, Qt::LeftButton);
  ASSERT_TRUE(waitUntilRaised(beginSeen, 10000));
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return controls->statusText->text() == tableText(IDS_ERASING_FLASH); }, 5000));
  EXPECT_LT(closeWindow(), kCloseBoundMs);
  EXPECT_TRUE(watcher.seen().empty());
}

TEST_F(Window, ClosingDuringAChunkWaitEndsQuietlyAndQuickly) {
  answeringDevice("USB Audio Device", 0x58, true);
  open();
  BoxWatcher watcher;
  QTest::mouseClick(controls->executeButton, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return chunkSeen.raised(); }, 15000));
  EXPECT_EQ(controls->stepText->text(), QStringLiteral("3/6"));
  EXPECT_LT(closeWindow(), kCloseBoundMs);
  EXPECT_TRUE(watcher.seen().empty());
}

// The output device vanishes mid-run; a device request makes the timer thread answer, the send
// fails, and the update ends with the one box that says the device was disconnected.
class WindowWithVanishedOutput : public Window {
 protected:
  void startAndLoseTheOutput() {
    inSide = devices.add("In side");
    outSide = silentDevice("Out side");
    open();
    controls->inList->setCurrentIndex(indexOf(controls->inList, "In side"));
    controls->outList->setCurrentIndex(indexOf(controls->outList, "Out side"));
    QTest::mouseClick(controls->executeButton, Qt::LeftButton);
    ASSERT_TRUE(isUpdating());
    ASSERT_TRUE(waitUntilRaised(identitySeen, 5000));  // the worker's own send went out before
    outSide->vanish();
    const uint8_t identityRequest[] = {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7};
    inSide->inject(identityRequest, sizeof identityRequest);
  }
  std::shared_ptr<midi::VirtualDevice> inSide;
  std::shared_ptr<midi::VirtualDevice> outSide;
};

TEST_F(WindowWithVanishedOutput, ClosingWhileTheDisconnectionBoxIsOpenDoesNotHang) {
  QElapsedTimer sinceClose;
  BoxWatcher watcher([&](QMessageBox*) {
    sinceClose.start();
    window->reject();  // the box stays open: the window must end it
  });
  startAndLoseTheOutput();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, 10000));
  window->waitForUpdate();
  window.reset();
  EXPECT_LT(sinceClose.elapsed(), kCloseBoundMs);
  ASSERT_EQ(watcher.seen().size(), 1u);
  EXPECT_EQ(watcher.seen()[0].text, tableText(IDS_DEVICE_DISCONNECTED));
  EXPECT_EQ(watcher.seen()[0].title, tableText(IDS_ERROR_CAPTION));
  EXPECT_EQ(watcher.seen()[0].icon, QMessageBox::Critical);
}

TEST_F(WindowWithVanishedOutput, ClosingWhileTheDisconnectionBoxIsStillQueuedDoesNotHang) {
  BoxWatcher watcher;
  startAndLoseTheOutput();
  // This thread runs no events now: the timer thread's request waits in the queue.
  ASSERT_TRUE(window->forwarder().waitForWaiting(1, std::chrono::seconds(5)));
  EXPECT_LT(closeWindow(), kCloseBoundMs);
  QCoreApplication::processEvents();
  EXPECT_TRUE(watcher.seen().empty());
}

}  // namespace
}  // namespace rt88h::app
