#include "app/ExitSignalNotifier.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSignalSpy>
#include <csignal>

namespace {

TEST(ExitSignalNotifier, HandsEachSignalToTheMainLoopAndGivesTheHandlersBack) {
  {
    ExitSignalNotifier notifier;
    QSignalSpy requested(&notifier, &ExitSignalNotifier::exitRequested);
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
      ASSERT_EQ(raise(signalNumber), 0);  // the process would end here without the notifier
      ASSERT_TRUE(requested.wait(5000));
      EXPECT_EQ(requested.takeFirst().at(0).toInt(), signalNumber);
    }
  }
  struct sigaction current = {};
  sigaction(SIGTERM, nullptr, &current);
  EXPECT_EQ(current.sa_handler, SIG_DFL);
  ExitSignalNotifier again;  // a second one may follow the first
}

}  // namespace
