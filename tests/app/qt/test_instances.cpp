// Instance numbering: per-name locks held by live processes, the lowest free number, the
// refusal of a twenty-first copy, and the lock directory's safety checks.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <memory>
#include <vector>

#include "app/core/instance_lock.h"
#include "app/qt/updater_app.h"
#include "app/qt/updater_window.h"
#include "tests/app/qt/app_test_support.h"

namespace rt88h::app {
namespace {

using testing::BoxWatcher;
using testing::RuntimeDir;

// Copies of the probe, each holding the number it got until it is ended or killed.
class Copies {
 public:
  ~Copies() {
    for (auto& copy : copies_) {
      if (copy->state() != QProcess::NotRunning) {
        copy->kill();
        copy->waitForFinished(5000);
      }
    }
  }
  // Starts one copy; its answer: the number, "refused", or "" when it said nothing in time.
  QString start() {
    auto copy = std::make_unique<QProcess>();
    copy->setProgram(QStringLiteral(RT88H_INSTANCE_PROBE));
    copy->setProcessEnvironment(QProcessEnvironment::systemEnvironment());
    copy->start();
    if (!copy->waitForStarted(5000)) return {};
    const QString answer = testing::firstLine(*copy, 5000);
    copies_.push_back(std::move(copy));
    return answer;
  }
  QProcess& operator[](std::size_t i) { return *copies_.at(i); }
  void end(std::size_t i) {
    copies_.at(i)->closeWriteChannel();
    copies_.at(i)->waitForFinished(5000);
  }
  void killHard(std::size_t i) {
    copies_.at(i)->kill();  // SIGKILL: no chance to clean up
    copies_.at(i)->waitForFinished(5000);
  }

 private:
  std::vector<std::unique_ptr<QProcess>> copies_;
};

class InstanceNumbers : public ::testing::Test {
 protected:
  RuntimeDir runtime;
  Copies copies;
};

TEST_F(InstanceNumbers, EachCopyTakesTheLowestFreeNumberAndAnEndedOrKilledOneFreesIt) {
  EXPECT_EQ(copies.start(), QStringLiteral("1"));
  EXPECT_EQ(copies.start(), QStringLiteral("2"));
  EXPECT_TRUE(QFileInfo::exists(runtime.path() + QStringLiteral("/Tavo RT-88H System v2.01.lock")));
  EXPECT_TRUE(
      QFileInfo::exists(runtime.path() + QStringLiteral("/Tavo RT-88H System v2.01 (2).lock")));
  ASSERT_EQ(copies.start(), QStringLiteral("3"));
  copies.end(1);
  EXPECT_EQ(copies.start(), QStringLiteral("2"));
  copies.killHard(0);
  EXPECT_EQ(copies.start(), QStringLiteral("1"));
  EXPECT_EQ(copies.start(), QStringLiteral("4"));
}

TEST_F(InstanceNumbers, WithTwentyRunningTheTwentyFirstIsRefusedAndTheOthersGoOn) {
  for (int n = 1; n <= 20; ++n) {
    ASSERT_EQ(copies.start(), QString::number(n));
  }
  EXPECT_EQ(copies.start(), QStringLiteral("refused"));
  EXPECT_TRUE(copies[20].waitForFinished(5000));
  EXPECT_EQ(copies[20].exitCode(), 0);
  for (std::size_t i = 0; i < 20; ++i) EXPECT_EQ(copies[i].state(), QProcess::Running) << i;
}

TEST_F(InstanceNumbers, ANumberHeldInThisProcessIsTakenToo) {
  // flock belongs to the open file: a second open of the same name conflicts even here.
  InstanceLock first;
  ASSERT_TRUE(first.tryTake(instanceName(1)));
  InstanceLock again;
  EXPECT_FALSE(again.tryTake(instanceName(1)));
  CLumoUpdatorApp app;
  ASSERT_TRUE(app.chooseInstanceNumber());
  EXPECT_EQ(app.getInstanceNumber(), 2);
}

// The demo plays the device its own copy pre-selects: "TAVO RT Series (n)" in copy n.
TEST_F(InstanceNumbers, TheSecondCopyOfTheDemoPlaysTheDeviceWithItsNumber) {
#ifndef RT88H_DEMO
  GTEST_SKIP() << "built without the demo";
#else
  ASSERT_EQ(copies.start(), QStringLiteral("1"));
  QProcess demo;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  demo.setProcessEnvironment(environment);
  demo.start(QStringLiteral(RT88H_DEMO), QStringList());
  ASSERT_TRUE(demo.waitForStarted(5000));
  const QString line = testing::firstLine(demo);
  demo.kill();
  demo.waitForFinished(5000);
  EXPECT_EQ(line, QStringLiteral("Using a simulated RT-88H named \"TAVO RT Series (2)\"."));
#endif
}

TEST(TwentyFirstCopy, ShowsTheRefusalAndNoWindow) {
  RuntimeDir runtime;
  std::vector<InstanceLock> held(20);
  for (int n = 1; n <= 20; ++n) {
    ASSERT_TRUE(held[std::size_t(n - 1)].tryTake(instanceName(n)));
  }

  CLumoUpdatorApp app;
  app.setAppName(QStringLiteral("rt88h-updater"));
  bool windowSeen = false;
  BoxWatcher watcher([&](QMessageBox* box) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (qobject_cast<CLumoUpdatorDlg*>(widget) != nullptr) windowSeen = true;
    }
    box->button(QMessageBox::Ok)->click();
  });
  EXPECT_FALSE(app.InitInstance());
  ASSERT_EQ(watcher.seen().size(), 1u);
  const testing::SeenBox& box = watcher.seen()[0];
  EXPECT_EQ(box.text,
            QStringLiteral("It is forbidden to launch more than 20 instance of this application."));
  EXPECT_EQ(box.title, QStringLiteral("rt88h-updater"));
  EXPECT_EQ(box.icon, QMessageBox::Warning);
  EXPECT_EQ(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
  EXPECT_FALSE(windowSeen);
  EXPECT_EQ(app.getInstanceNumber(), 0);
  EXPECT_EQ(app.mainWindow(), nullptr);
}

// Without XDG_RUNTIME_DIR the locks live in a private directory under the temp directory.
class FallbackLockDirectory : public ::testing::Test {
 protected:
  QTemporaryDir temp;
  QTemporaryDir elsewhere;
  testing::ScopedEnv noRuntime{"XDG_RUNTIME_DIR", nullptr};
  testing::ScopedEnv tmpdir{"TMPDIR", temp.path().toLocal8Bit().constData()};
  QString expected = temp.path() + QStringLiteral("/rt88h-updater-") + QString::number(::geteuid());
};

TEST_F(FallbackLockDirectory, IsCreatedPrivate) {
  EXPECT_EQ(QString::fromStdString(lockDirectory()), expected);
  struct stat st {};
  ASSERT_EQ(::lstat(expected.toLocal8Bit().constData(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  CLumoUpdatorApp app;
  EXPECT_TRUE(app.chooseInstanceNumber());
  EXPECT_EQ(app.getInstanceNumber(), 1);
}

TEST_F(FallbackLockDirectory, APlantedLinkIsNotFollowedNorADirectoryOthersMayWrite) {
  ASSERT_TRUE(QFile::link(elsewhere.path(), expected));
  EXPECT_EQ(lockDirectory(), "");
  CLumoUpdatorApp app;
  EXPECT_FALSE(app.chooseInstanceNumber());
  EXPECT_TRUE(QDir(elsewhere.path()).isEmpty());
  ASSERT_TRUE(QFile::remove(expected));
  ASSERT_EQ(::mkdir(expected.toLocal8Bit().constData(), 0700), 0);
  ASSERT_EQ(::chmod(expected.toLocal8Bit().constData(), 0777), 0);
  EXPECT_EQ(lockDirectory(), "");
}

TEST_F(FallbackLockDirectory, ALinkAsLockFileIsNotFollowed) {
  ASSERT_EQ(QString::fromStdString(lockDirectory()), expected);
  const QString target = elsewhere.path() + QStringLiteral("/victim");
  ASSERT_TRUE(QFile::link(target, expected + QStringLiteral("/Tavo RT-88H System v2.01.lock")));
  CLumoUpdatorApp app;
  ASSERT_TRUE(app.chooseInstanceNumber());
  EXPECT_EQ(app.getInstanceNumber(), 2);  // the name behind the link counts as taken
  EXPECT_FALSE(QFileInfo::exists(target));
}

// An XDG_RUNTIME_DIR that cannot hold the locks safely is passed over, as Qt passes it over.
TEST_F(FallbackLockDirectory, TakesOverFromARuntimeDirThatIsAFileMissingOrOpen) {
  const QByteArray place = elsewhere.path().toLocal8Bit();
  QFile plain(elsewhere.path() + QStringLiteral("/runtime"));
  ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
  for (const QByteArray& runtimeDir : {place + "/runtime", place + "/gone"}) {
    qputenv("XDG_RUNTIME_DIR", runtimeDir);
    EXPECT_EQ(QString::fromStdString(lockDirectory()), expected) << runtimeDir.constData();
  }
  CLumoUpdatorApp app;
  EXPECT_TRUE(app.chooseInstanceNumber());
  EXPECT_EQ(app.getInstanceNumber(), 1);

  qputenv("XDG_RUNTIME_DIR", place);
  ASSERT_EQ(::chmod(place.constData(), 0700), 0);
  EXPECT_EQ(lockDirectory(), place.toStdString());
  ASSERT_EQ(::chmod(place.constData(), 0777), 0);
  EXPECT_EQ(QString::fromStdString(lockDirectory()), expected);
}

// Without a display Qt would abort; start-up must notice first.
TEST(DisplayCheck, AChosenPlatformNeedsItsOwnServerAndNoneMeansNoDisplay) {
  struct Case {
    const char *platform, *x11, *wayland;
    bool available;
  };
  const Case cases[] = {{nullptr, nullptr, nullptr, false},
                        {nullptr, ":0", nullptr, true},
                        {nullptr, nullptr, "wayland-0", true},
                        {"xcb", nullptr, "wayland-0", false},
                        {"offscreen", nullptr, nullptr, true}};
  for (const Case& c : cases) {
    testing::ScopedEnv platform("QT_QPA_PLATFORM", c.platform);
    testing::ScopedEnv x11("DISPLAY", c.x11);
    testing::ScopedEnv wayland("WAYLAND_DISPLAY", c.wayland);
    EXPECT_EQ(displayAvailable(), c.available)
        << (c.platform ? c.platform : "-") << (c.x11 ? c.x11 : "-")
        << (c.wayland ? c.wayland : "-");
  }
}

}  // namespace
}  // namespace rt88h::app
