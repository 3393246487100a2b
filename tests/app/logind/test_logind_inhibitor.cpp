// logind's inhibitor as logind sees it: listed with the update's reason while taken, gone once
// released, and gone when the window's program ends in an update, by a signal or by dying;
// without logind the update goes on and one line says so.
#include <gtest/gtest.h>
#include <signal.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include "app/logind/logind_inhibitor.h"
#include "resources/string_table.h"

namespace rt88h::app {
namespace {

// How many of logind's inhibitors are the update's; -1 when logind does not answer.
int ours() {
  const QDBusMessage list = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
      QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("ListInhibitors"));
  const QDBusMessage reply = QDBusConnection::systemBus().call(list);
  if (reply.type() != QDBusMessage::ReplyMessage) return -1;
  const QDBusArgument inhibitors = reply.arguments().constFirst().value<QDBusArgument>();
  int count = 0;
  inhibitors.beginArray();
  while (!inhibitors.atEnd()) {
    QString what, who, why, mode;
    uint uid = 0, pid = 0;
    inhibitors.beginStructure();
    inhibitors >> what >> who >> why >> mode >> uid >> pid;
    inhibitors.endStructure();
    count += what == "sleep:shutdown:idle" && who.toStdString() == loadString(IDS_INHIBITOR_WHO) &&
             why.toStdString() == loadString(IDS_INHIBITOR_WHY) && mode == "block";
  }
  inhibitors.endArray();
  return count;
}

// logind notices a closed descriptor in its own time.
bool oursBecome(int count) {
  QElapsedTimer waited;
  waited.start();
  while (ours() != count) {
    if (waited.elapsed() > 5000) return false;
    QThread::msleep(20);
  }
  return true;
}

// The window's program (the probe) in an update on its simulated device, with its own lock
// directory; started once its line says the update runs.
class UpdatingProgram {
 public:
  explicit UpdatingProgram(const char* systemBus = nullptr) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    if (systemBus != nullptr) {
      environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), QString::fromLatin1(systemBus));
    }
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(RT88H_WINDOW_PROBE), {QStringLiteral("--update")});
    while (process.waitForReadyRead(10000) && !process.canReadLine()) {
    }
    started = process.canReadLine();
  }
  ~UpdatingProgram() {
    process.kill();
    process.waitForFinished();
  }
  // The signal's time to the end, or -1 after 2 s.
  qint64 endBy(int signal) {
    QElapsedTimer elapsed;
    elapsed.start();
    ::kill(static_cast<pid_t>(process.processId()), signal);
    return process.waitForFinished(2000) ? elapsed.elapsed() : -1;
  }

  QTemporaryDir runtime;
  QProcess process;
  bool started = false;
};

class Logind : public ::testing::Test {
 protected:
  void SetUp() override {
    if (qgetenv("RT88H_LOGIND_MOCK") != "1") GTEST_SKIP() << "runs under with-logind-mock";
    ASSERT_EQ(ours(), 0);
  }
};

TEST_F(Logind, TheInhibitorIsListedWhileTakenAndGoneOnceReleased) {
  LogindInhibitor inhibitor;
  inhibitor.take();
  EXPECT_TRUE(oursBecome(1));
  inhibitor.release();
  EXPECT_TRUE(oursBecome(0));
}

// SIGTERM and SIGINT take the stop question's Yes path; a killed program's descriptor is closed
// by the kernel.
TEST_F(Logind, AnUpdateHoldsItUntilItsProgramEnds) {
  for (const int signal : {SIGTERM, SIGINT, SIGKILL}) {
    SCOPED_TRACE(signal);
    UpdatingProgram program;
    ASSERT_TRUE(program.started);
    EXPECT_TRUE(oursBecome(1));
    const qint64 ms = program.endBy(signal);
    std::printf("signal %d during the update: ended after %lld ms\n", signal, ms);
    EXPECT_GE(ms, 0) << "still running 2 s after the signal";
    if (signal != SIGKILL) {
      EXPECT_EQ(program.process.exitStatus(), QProcess::NormalExit);
      EXPECT_EQ(program.process.exitCode(), 0);
    }
    EXPECT_TRUE(oursBecome(0));
  }
}

TEST(NoLogind, TheUpdateGoesOnAndOneLineSaysSo) {
  UpdatingProgram program("unix:path=/nonexistent/bus");
  ASSERT_TRUE(program.started);
  EXPECT_EQ(program.process.state(), QProcess::Running);
  EXPECT_GE(program.endBy(SIGTERM), 0);
  const QStringList lines =
      QString::fromLocal8Bit(program.process.readAllStandardError()).split(QLatin1Char('\n'));
  EXPECT_EQ(lines.filter(QStringLiteral("may sleep or shut down during the update")).size(), 1)
      << lines.join(QLatin1Char('\n')).toStdString();
}

}  // namespace
}  // namespace rt88h::app

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
