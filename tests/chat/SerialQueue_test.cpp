// A serial queue: calls run one at a time on one thread of their own, in the order posted, and
// their results come back on the main thread; a queue that is gone delivers nothing.
#include "chat/SerialQueue.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>
#include <QtTest/QTest>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <vector>

namespace {

TEST(SerialQueue, RunsCallsInOrderOffTheMainThreadAndAnswersOnIt) {
  std::vector<int> ran, answered;  // each written on one thread only
  std::atomic<int> running{0};
  bool gone = false;
  {
    SerialQueue queue(QStringLiteral("test"));
    for (int i = 0; i < 50; ++i) {
      queue.call<int>(
          [&, i] {
            EXPECT_EQ(running.fetch_add(1), 0);
            EXPECT_NE(QThread::currentThread(), QCoreApplication::instance()->thread());
            ran.push_back(i);
            running.fetch_sub(1);
            return i;
          },
          [&](int result) {
            EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
            answered.push_back(result);
          });
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return answered.size() == 50; }, 10000));
    queue.call<int>([] { return 1; }, [&](int) { gone = true; });
    queue.runAndWait([] {});  // the call has run and posted its answer
  }
  QCoreApplication::processEvents();
  EXPECT_FALSE(gone) << "an answer for a queue that is gone";
  for (int i = 0; i < 50; ++i) EXPECT_EQ(std::pair(ran[i], answered[i]), std::pair(i, i));
}

// The way out: calls that have not started are dropped, and the release goes before the rest.
TEST(SerialQueue, DropsCallsNotStartedAndRunsACallPutNextFirst) {
  SerialQueue queue(QStringLiteral("test"));
  auto started = std::make_shared<std::promise<void>>();
  std::promise<void> going;
  std::vector<int> ran;  // written on the queue's thread only, read after runAndWait
  queue.post([started, gone = going.get_future().share()] {
    started->set_value();
    gone.wait();
  });
  queue.post([&] { ran.push_back(1); });
  // Only a call that has started is spared: drop once the first one runs, or it goes too.
  ASSERT_EQ(started->get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  queue.dropPending();
  queue.post([&] { ran.push_back(2); });
  queue.postNext([&] { ran.push_back(3); });
  going.set_value();
  queue.runAndWait([] {});
  EXPECT_EQ(ran, (std::vector<int>{3, 2}));
}

}  // namespace
