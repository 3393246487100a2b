// The window as an X11 window manager and taskbar see it: a normal top-level window, not a
// transient dialog, with a fixed size. Needs Xvfb and xprop; skips without them.
#include <gtest/gtest.h>

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QString>

#include "tests/app/qt/app_test_support.h"

namespace rt88h::app {
namespace {

using testing::firstLine;

class PrivateXServer {
 public:
  PrivateXServer() {
    server_.start(QStringLiteral("Xvfb"),
                  {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                   QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                   QStringLiteral("800x600x24")});
    if (server_.waitForStarted(5000)) {
      const QString number = firstLine(server_);
      if (!number.isEmpty()) display_ = QStringLiteral(":") + number;
    }
  }
  ~PrivateXServer() {
    server_.terminate();
    if (!server_.waitForFinished(5000)) server_.kill();
    server_.waitForFinished(5000);
  }
  const QString& display() const { return display_; }

 private:
  QProcess server_;
  QString display_;
};

TEST(WindowType, IsANormalTopLevelWindowWithAFixedSize) {
  for (const char* tool : {"Xvfb", "xprop"}) {
    if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) {
      GTEST_SKIP() << tool << " is not installed (packages xvfb, x11-utils)";
    }
  }
  testing::RuntimeDir runtime;
  PrivateXServer x;
  ASSERT_FALSE(x.display().isEmpty()) << "Xvfb did not start";

  QProcess probe;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("DISPLAY"), x.display());
  environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
  environment.insert(QStringLiteral("JACK_NO_START_SERVER"), QStringLiteral("1"));
  probe.setProcessEnvironment(environment);
  probe.start(QStringLiteral(RT88H_WINDOW_PROBE), QStringList());
  ASSERT_TRUE(probe.waitForStarted(5000));
  const QString id = firstLine(probe);
  ASSERT_FALSE(id.isEmpty()) << probe.readAllStandardError().toStdString();

  QProcess xprop;
  xprop.start(QStringLiteral("xprop"),
              {QStringLiteral("-display"), x.display(), QStringLiteral("-id"), id,
               QStringLiteral("_NET_WM_WINDOW_TYPE"), QStringLiteral("WM_TRANSIENT_FOR"),
               QStringLiteral("WM_NORMAL_HINTS")});
  ASSERT_TRUE(xprop.waitForFinished(10000));
  const QString properties = QString::fromUtf8(xprop.readAllStandardOutput());
  probe.closeWriteChannel();
  EXPECT_TRUE(probe.waitForFinished(10000));

  EXPECT_TRUE(properties.contains(
      QStringLiteral("_NET_WM_WINDOW_TYPE(ATOM) = _NET_WM_WINDOW_TYPE_NORMAL\n")))
      << properties.toStdString();
  EXPECT_TRUE(properties.contains(QStringLiteral("WM_TRANSIENT_FOR:  not found.")))
      << properties.toStdString();
  const QRegularExpression minimum(QStringLiteral("minimum size: (\\d+) by (\\d+)"));
  const QRegularExpression maximum(QStringLiteral("maximum size: (\\d+) by (\\d+)"));
  const auto smallest = minimum.match(properties);
  const auto largest = maximum.match(properties);
  ASSERT_TRUE(smallest.hasMatch() && largest.hasMatch()) << properties.toStdString();
  EXPECT_EQ(smallest.captured(1), largest.captured(1));
  EXPECT_EQ(smallest.captured(2), largest.captured(2));
}

}  // namespace
}  // namespace rt88h::app
