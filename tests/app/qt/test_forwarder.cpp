// Work forwarded to the Qt window's thread reaches it as a queued call, done before the call
// returns; the forwarder's rules themselves: tests/app/core.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>
#include <QtTest/QTest>
#include <atomic>
#include <thread>

#include "app/qt/forwarder.h"

namespace rt88h::app {
namespace {

TEST(GuiForwarder, WorkFromAnotherThreadRunsOnTheObjectsThreadBeforeTheCallReturns) {
  GuiForwarder forwarder;
  QThread* ranOn = nullptr;
  int value = 0;
  bool seenAfterReturn = false;
  std::atomic<bool> finished{false};
  std::thread caller([&] {
    const bool ran = forwarder.call([&] {
      ranOn = QThread::currentThread();
      value = 42;
    });
    seenAfterReturn = ran && value == 42;
    finished = true;
  });
  EXPECT_TRUE(QTest::qWaitFor([&] { return finished.load(); }, 5000));
  caller.join();
  EXPECT_EQ(ranOn, QCoreApplication::instance()->thread());
  EXPECT_TRUE(seenAfterReturn);
}

}  // namespace
}  // namespace rt88h::app
