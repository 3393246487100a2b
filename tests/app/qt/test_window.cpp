// What the Qt window adds to the behaviour (tested in tests/app/core): its controls and their
// keys, its boxes and questions, the About box, painting, and closing by each way without a hang.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHash>
#include <QLabel>
#include <QPlainTextEdit>
#include <QToolButton>
#include <QtTest/QTest>
#include <atomic>
#include <functional>
#include <initializer_list>
#include <memory>
#include <thread>

#include "app/core/about_text.h"
#include "app/core/instance_lock.h"
#include "app/qt/about_dlg.h"
#include "app/qt/updater_app.h"
#include "app/qt/updater_window.h"
#include "protocol/flash_plan.h"
#include "resources/string_table.h"
#include "tests/app/qt/app_test_support.h"
#include "tests/support/sysex_support.h"

namespace rt88h::app {
namespace {

using rt88h::testing::Sent;
using testing::BoxWatcher;
using testing::Controls;
using testing::indexOf;
using testing::tableText;

constexpr qint64 kCloseBoundMs = 2000;

// The GUI thread must keep running events meanwhile: the worker's view operations need it.
bool waitUntilRaised(const std::atomic<bool>& flag, int milliseconds) {
  return QTest::qWaitFor([&] { return flag.load(); }, milliseconds);
}

// Runs `trigger` and, once the About box it opens is up, `inspect` on it, then closes it; false
// when no About box came.
bool withAboutBox(const std::function<void()>& trigger,
                  const std::function<void(CAboutDlg*)>& inspect = {}) {
  bool opened = false;
  QTimer::singleShot(0, [&] {
    const auto about = [] { return qobject_cast<CAboutDlg*>(QApplication::activeModalWidget()); };
    opened = QTest::qWaitFor([&] { return about() != nullptr; }, 5000);
    if (!opened) return;
    if (inspect) inspect(about());
    about()->close();
  });
  trigger();
  return opened;
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

  // Closes as a yes to the question does, then what start-up does after the modal run; the time
  // it took.
  qint64 closeWindow() {
    QElapsedTimer elapsed;
    elapsed.start();
    if (window->isVisible()) window->done(QDialog::Rejected);
    window->waitForUpdate();
    window.reset();
    controls.reset();
    return elapsed.elapsed();
  }

  // Ready: the lists, Execute and Rescan usable; updating: only Exit.
  bool controlsAre(bool ready) const {
    return controls->inList->isEnabled() == ready && controls->outList->isEnabled() == ready &&
           controls->executeButton->isEnabled() == ready &&
           controls->rescanButton->isEnabled() == ready && controls->exitButton->isEnabled() &&
           window->signals().busy.load() == (ready ? 0 : 1);
  }
  bool isReady() const { return controlsAre(true); }
  bool isUpdating() const { return controlsAre(false); }

  std::shared_ptr<midi::VirtualDevice> silentDevice(const std::string& name) {
    auto device = devices.add(name);
    device->setReceiver([this](const uint8_t* bytes, std::size_t count) {
      if (rt88h::testing::kindOf(bytes, count) == Sent::Identity) identitySeen = true;
    });
    return device;
  }

  testing::RuntimeDir runtime;
  // These devices are simulated: like every test rig, the tests may write test images to them.
  testing::ScopedEnv allowTestImages{"RT88H_ALLOW_TEST_IMAGES", "1"};
  std::vector<InstanceLock> held;
  CLumoUpdatorApp app;
  testing::Devices devices;
  std::atomic<bool> identitySeen{false};
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
}

TEST_F(Window, CopyThreeShowsItsNumberAndTheAboutBoxDoesNot) {
  becomeCopy(3);
  open();
  EXPECT_EQ(window->windowTitle(), QStringLiteral("Tavo RT-88H System v2.01 (3)"));

  EXPECT_TRUE(withAboutBox(
      [&] { window->OnSysCommand(kAboutCommand); },
      [&](CAboutDlg* about) {
        EXPECT_EQ(about->windowTitle(), tableText(IDS_ABOUT_TITLE));
        EXPECT_EQ(about->findChild<QLineEdit*>(QStringLiteral("titleEdit"))->text(),
                  QStringLiteral("Tavo RT-88H System v2.01"));
        const QString imagesLine = about->findChild<QLabel*>(QStringLiteral("imagesLine"))->text();
        EXPECT_TRUE(!payloadsAreTestImages() || imagesLine.contains(QStringLiteral("test images")))
            << imagesLine.toStdString();
        // Text to select and copy, which Tab reaches: no tooltip, no mouse needed.
        auto* digests = about->findChild<QPlainTextEdit*>(QStringLiteral("digests"));
        EXPECT_EQ(digests->toPlainText().toStdString(), aboutImagesDigests());
        EXPECT_TRUE((digests->focusPolicy() & Qt::TabFocus) != 0);
        EXPECT_TRUE((digests->textInteractionFlags() & Qt::TextSelectableByKeyboard) != 0);
        for (const QString& line : digests->toPlainText().split(QLatin1Char('\n'))) {
          // Whole, not scrolled to.
          EXPECT_LE(digests->fontMetrics().horizontalAdvance(line), digests->viewport()->width());
        }
        for (const uint32_t id : {129u, 136u, 137u}) {
          EXPECT_TRUE(digests->toPlainText().contains(QString::fromUtf8(payloadSha256(id)))) << id;
        }
      }));
  EXPECT_TRUE(!payloadsAreTestImages() || !controls->executeButton->toolTip().isEmpty());
}

// On the context menu, and a framed button that Tab reaches and whose Enter is its own.
TEST_F(Window, TheAboutBoxOpensFromTheContextMenuAndFromItsButtonByKeyboard) {
  auto device = devices.add("USB Audio Device");
  open();
  const QList<QAction*> actions = window->actions();
  ASSERT_EQ(actions.size(), 1);
  EXPECT_EQ(actions[0]->text(), tableText(IDS_ABOUTBOX));
  EXPECT_EQ(window->contextMenuPolicy(), Qt::ActionsContextMenu);
  EXPECT_TRUE(withAboutBox([&] { actions[0]->trigger(); }));

  auto* button = window->findChild<QToolButton*>(QStringLiteral("aboutButton"));
  ASSERT_NE(button, nullptr);
  EXPECT_TRUE(button->isVisible());
  EXPECT_EQ(button->toolTip(), QStringLiteral("About RT-88H Updater..."));
  EXPECT_FALSE(button->autoRaise());
  controls->stepText->setFocus();
  QTest::keyClick(controls->stepText, Qt::Key_Tab);
  ASSERT_EQ(window->focusWidget(), button);
  EXPECT_TRUE(withAboutBox([&] { QTest::keyClick(button, Qt::Key_Return); }));
  EXPECT_TRUE(device->takeSent().empty());
}

// --- Execute ---

// The core's boxes as Qt shows them: its caption (empty: the program's name), icon and button.
TEST_F(Window, EachBoxShowsItsCaptionIconAndOneOkButton) {
  struct Look {
    bool inputChosen;
    QString text, title;
    QMessageBox::Icon icon;
  };
  const Look looks[] = {
      {true, QString::fromUtf8("MIDI OUTデバイスが開けません"), QCoreApplication::applicationName(),
       QMessageBox::NoIcon},
      {false, tableText(IDS_CANT_OPEN_MIDI_IN), tableText(IDS_ERROR_CAPTION),
       QMessageBox::Critical},
  };
  devices.add("USB Audio Device");
  open();
  for (const Look& look : looks) {
    const int device = indexOf(controls->outList, "USB Audio Device");
    controls->outList->setCurrentIndex(look.inputChosen ? -1 : device);
    controls->inList->setCurrentIndex(look.inputChosen ? device : -1);
    BoxWatcher watcher;
    QTest::mouseClick(controls->executeButton, Qt::LeftButton);
    ASSERT_EQ(watcher.seen().size(), 1u);
    EXPECT_EQ(watcher.seen()[0].text, look.text);
    EXPECT_EQ(watcher.seen()[0].title, look.title);
    EXPECT_EQ(watcher.seen()[0].icon, look.icon);
    EXPECT_EQ(watcher.seen()[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_TRUE(isReady());
  }
}

// A focused push button takes Enter; elsewhere Enter goes to the default button, Execute.
TEST_F(Window, EnterGoesToTheFocusedButtonElseToExecute) {
  struct Case {
    const char* focus;
    Qt::Key key;
    bool closes, rescans, updates;
  };
  const Case cases[] = {{"exitButton", Qt::Key_Return, true, false, false},
                        {"rescanButton", Qt::Key_Enter, false, true, false},
                        {"outList", Qt::Key_Return, false, false, true}};
  auto device = silentDevice("USB Audio Device");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.focus);
    open();
    auto later = devices.add("TAVO RT Series");
    QWidget* focused = window->findChild<QWidget*>(QString::fromLatin1(c.focus));
    focused->setFocus();
    QTest::keyClick(focused, c.key, c.key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
    EXPECT_EQ(window->isVisible(), !c.closes);
    EXPECT_EQ(indexOf(controls->outList, "TAVO RT Series") >= 0, c.rescans);
    EXPECT_EQ(isUpdating(), c.updates);
    EXPECT_EQ(waitUntilRaised(identitySeen, c.updates ? 5000 : 0), c.updates);
    closeWindow();
    later->vanish();
  }
}

// --- a build with test images ---

class TestImageGuard : public Window {
 protected:
  void SetUp() override {
    if (!payloadsAreTestImages()) GTEST_SKIP() << "built with real firmware images";
    Window::SetUp();
    app.setSimulatedDeviceName("TAVO RT Series");
  }
  testing::ScopedEnv notAllowed{"RT88H_ALLOW_TEST_IMAGES", nullptr};
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
  bool defaultWasNo = false;
  BoxWatcher watcher([&](QMessageBox* box) {
    defaultWasNo = box->defaultButton() == box->button(QMessageBox::No);
    box->button(QMessageBox::No)->click();
  });
  QTest::mouseClick(controls->executeButton, Qt::LeftButton);
  ASSERT_EQ(watcher.seen().size(), 1u);
  EXPECT_EQ(watcher.seen()[0].text, tableText(IDS_TEST_IMAGES_RISK));
  EXPECT_EQ(watcher.seen()[0].informative, tableText(IDS_TEST_IMAGES_QUESTION));
  EXPECT_EQ(watcher.seen()[0].buttons, QMessageBox::Yes | QMessageBox::No);
  EXPECT_TRUE(defaultWasNo);
  EXPECT_TRUE(isReady());
  EXPECT_TRUE(device->takeSent().empty());
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

// Each way of closing, in an update and out of one; the question's No keeps the update going.
// Execute going grey must not hand the focus, and with it Enter, to Exit.
TEST_F(Window, EveryWayOfClosingAsksOnlyDuringAnUpdateAndEndsPromptlyAndEnterIsNone) {
  enum class Way { ExitButton, CloseBox, EscapeKey, Signal, EnterKey };
  struct Case {
    bool updating;
    Way way;
    Qt::Key answer;  // to the question: Enter and Escape are No; Key_Y clicks Yes
    bool asks, closes;
  };
  const Case cases[] = {
      {false, Way::ExitButton, Qt::Key_unknown, false, true},
      {false, Way::EscapeKey, Qt::Key_unknown, false, true},
      {true, Way::EscapeKey, Qt::Key_unknown, false, false},
      {true, Way::ExitButton, Qt::Key_Return, true, false},
      {true, Way::CloseBox, Qt::Key_Escape, true, false},
      {true, Way::CloseBox, Qt::Key_Y, true, true},
      {true, Way::Signal, Qt::Key_unknown, false, true},
      {true, Way::EnterKey, Qt::Key_unknown, false, false},
  };
  silentDevice("USB Audio Device");
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "updating " << c.updating << " way "
                                      << static_cast<int>(c.way) << " answer " << c.answer);
    open();
    if (c.updating) QTest::mouseClick(controls->executeButton, Qt::LeftButton);
    ASSERT_EQ(isUpdating(), c.updating);
    bool defaultWasNo = false;
    BoxWatcher watcher([&](QMessageBox* box) {
      defaultWasNo = box->defaultButton() == box->button(QMessageBox::No);
      if (c.answer == Qt::Key_Y) {
        box->button(QMessageBox::Yes)->click();
      } else {
        QTest::keyClick(box, c.answer);
      }
    });
    QElapsedTimer elapsed;
    elapsed.start();
    switch (c.way) {
      case Way::ExitButton: QTest::mouseClick(controls->exitButton, Qt::LeftButton); break;
      case Way::CloseBox: window->close(); break;
      case Way::EscapeKey: QTest::keyClick(controls->statusText, Qt::Key_Escape); break;
      case Way::Signal: window->terminate(); break;
      case Way::EnterKey: QTest::keyClick(window->focusWidget(), Qt::Key_Return); break;
    }
    ASSERT_EQ(watcher.seen().size(), c.asks ? 1u : 0u);
    if (c.asks) {
      EXPECT_EQ(watcher.seen()[0].text, tableText(IDS_STOP_UPDATE_QUESTION));
      EXPECT_EQ(watcher.seen()[0].buttons, QMessageBox::Yes | QMessageBox::No);
      EXPECT_TRUE(defaultWasNo);
    }
    EXPECT_EQ(window->isVisible(), !c.closes);
    EXPECT_EQ(window->behaviour().updateRunning(), c.updating && !c.closes);
    EXPECT_LT(elapsed.elapsed() + closeWindow(), kCloseBoundMs);
  }
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
    window->terminate();  // the box stays open: the window must end it
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
