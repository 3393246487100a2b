// Work forwarded to the window's thread: done before the call returns, and never waited for
// once the forwarder is closed.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QtTest/QTest>
#include <atomic>
#include <chrono>
#include <thread>

#include "app/qt/forwarder.h"

namespace rt88h::app {
namespace {

using namespace std::chrono_literals;

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

TEST(GuiForwarder, OnItsOwnThreadWorkRunsDirectly) {
  GuiForwarder forwarder;
  int value = 0;
  EXPECT_TRUE(forwarder.call([&] { value = 7; }));
  EXPECT_EQ(value, 7);
}

TEST(GuiForwarder, ClosingReleasesAWaitingCallerAndDropsItsWork) {
  GuiForwarder forwarder;
  std::atomic<int> ranCount{0};
  std::atomic<int> result{-1};
  std::thread caller([&] { result = forwarder.call([&] { ++ranCount; }) ? 1 : 0; });
  // This thread runs no events, so the request stays queued.
  ASSERT_TRUE(forwarder.waitForWaiting(1, 5s));
  QElapsedTimer elapsed;
  elapsed.start();
  forwarder.close();
  caller.join();
  EXPECT_LT(elapsed.elapsed(), 1000);
  EXPECT_EQ(result.load(), 0);
  QCoreApplication::processEvents();  // the queued request comes round now
  QCoreApplication::sendPostedEvents();
  EXPECT_EQ(ranCount.load(), 0);
}

TEST(GuiForwarder, OnceClosedCallsReturnAtOnceFromEveryThread) {
  GuiForwarder forwarder;
  forwarder.close();
  int ran = 0;
  EXPECT_FALSE(forwarder.call([&] { ++ran; }));
  bool otherResult = true;
  std::thread caller([&] { otherResult = forwarder.call([&] { ++ran; }); });
  caller.join();
  EXPECT_FALSE(otherResult);
  QCoreApplication::processEvents();
  EXPECT_EQ(ran, 0);
}

TEST(GuiForwarder, WorkAlreadyRunningIsWaitedForEvenWhenClosedMeanwhile) {
  // Work may refer to the caller's locals: the caller must not leave while it runs.
  GuiForwarder forwarder;
  std::atomic<bool> callerReturned{false};
  bool returnedDuringWork = true;
  std::thread caller([&] {
    forwarder.call([&] {
      forwarder.close();
      returnedDuringWork = callerReturned.load();
    });
    callerReturned = true;
  });
  EXPECT_TRUE(QTest::qWaitFor([&] { return callerReturned.load(); }, 5000));
  caller.join();
  EXPECT_FALSE(returnedDuringWork);
}

}  // namespace
}  // namespace rt88h::app
