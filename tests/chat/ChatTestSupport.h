// Helpers for the controller's tests: a settings store of each test's own, a controller made
// with shortened intervals and a clock the test moves, and decoder updates to inject.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QtTest/QTest>
#include <memory>

#include "chat/AppSettings.h"
#include "chat/ChatViewModel.h"

namespace chattest {

// A fresh XDG_CONFIG_HOME, so that the settings store is empty until the test writes it.
class ConfigHome {
 public:
  ConfigHome() { qputenv("XDG_CONFIG_HOME", dir_.path().toUtf8()); }
  QString path() const { return dir_.path(); }

 private:
  QTemporaryDir dir_;
};

inline ChatViewModel::Timing quickTiming() {
  ChatViewModel::Timing timing;
  timing.captureRetryInterval = std::chrono::milliseconds(20);
  timing.rigPollInterval = std::chrono::milliseconds(200);
  return timing;
}

inline KvolDecoder::Update update(int64_t id, const char* text, bool complete, int snrDb = -10) {
  return {id, text, 1500.0f, complete, snrDb, 3, 46};
}

// Waits, running the event loop, until done() holds or the deadline passes.
template <typename Done>
bool waitFor(Done done, int timeoutMs = 10000) {
  return QTest::qWaitFor(done, timeoutMs);
}

// The test program's entry: a Qt application for timers and queued calls.
inline int runTests(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

}  // namespace chattest
