// Rig operations from several threads at once, as the chat controller's rig queue and the
// settings window's background tasks issue them, with the Hamlib log collecting every line.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QRegularExpression>
#include <atomic>
#include <thread>

#include "RigTestSupport.h"
#include "rig/HamlibLog.h"
#include "rig/RigBridge.h"
#include "rig/RigControl.h"

namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 2;

void runRounds(int thread) {
  for (int round = 0; round < kRounds; ++round) {
    char text[256] = {};
    EXPECT_EQ(rigbridge_read_status(1, "", "", "USB", text, sizeof text), 1) << text;
    EXPECT_TRUE(rigtest::isStatusLine(text, "USB")) << text;
    EXPECT_EQ(rigbridge_set_frequency(1, "", "", nullptr, text, sizeof text, 7074000.0 + thread), 1)
        << text;
    EXPECT_EQ(rigbridge_read_status(999999, "", "", nullptr, text, sizeof text), 0);
    EXPECT_STREQ(text, "Could not initialize this rig model.");
    EXPECT_EQ(rigbridge_set_ptt(1, "", "", 1, text, sizeof text), 0);  // the dummy rig refuses
    const std::vector<std::string> modes = RigControl::supportedModes(1035);
    EXPECT_NE(std::find(modes.begin(), modes.end(), "PKTUSB"), modes.end());
    EXPECT_EQ(RigControl::serialDefaults(1035)[RigSerialSetting::baudRate], "38400");
    if (thread == 0 && round == 0) {
      EXPECT_GE(RigControl::listRigs().size(), 200u);
    }
    rigbridge_set_debug_level((thread + round) % 2 ? 5 : 4);
  }
}

TEST(RigBridgeThreads, OperationsFromSeveralThreadsNeitherCrashNorGarble) {
  HamlibLog::install();
  std::atomic<int> finished{0};
  std::vector<std::thread> workers;
  for (int thread = 0; thread < kThreads; ++thread) {
    workers.emplace_back([thread, &finished] {
      runRounds(thread);
      ++finished;
    });
  }
  // The main thread keeps taking the log's entries while the workers run.
  QDeadlineTimer deadline(120000);
  while (finished.load() < kThreads && !deadline.hasExpired())
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  for (std::thread &worker : workers) worker.join();
  QCoreApplication::sendPostedEvents();

  // Every line of the bridge's own arrived whole, and Hamlib's own lines came along.
  const QRegularExpression known(
      "^(Hamlib not loaded from .+: .+|Found Hamlib 4\\.\\S+ .*at libhamlib\\.so\\.4|"
      "Using Hamlib 4\\.\\S+ .*from /\\S+libhamlib\\.so\\.4|"
      "Opening rig model (1|999999) on port \"\"|"
      "rig_init\\(999999\\) failed: Could not initialize this rig model\\.|Rig opened\\.|"
      "Setting mode to USB|Rig reports \\d+\\.\\d{6} MHz  USB( \\(\\d+ Hz\\))?|"
      "Setting frequency to 7\\.07400\\d MHz|Setting PTT on|"
      "rig_set_ptt\\(on\\) failed: .+ \\(error -?\\d+\\)\nHamlib error trace:\n(.|\n)+)$");
  int opened = 0;
  int tuned = 0;
  int fromHamlib = 0;
  for (const HamlibLogEntry &entry : HamlibLog::shared().entries()) {
    EXPECT_FALSE(entry.text.isEmpty() || entry.text.endsWith('\n'));
    if (!entry.fromApp) {
      fromHamlib += entry.level >= HamlibLogLevel::verbose;
      continue;
    }
    EXPECT_TRUE(known.match(entry.text).hasMatch()) << entry.text.toStdString();
    opened += entry.text == "Rig opened." ? 1 : 0;
    tuned += entry.text.startsWith("Setting frequency to ") ? 1 : 0;
  }
  EXPECT_EQ(opened, kThreads * kRounds * 3);
  EXPECT_EQ(tuned, kThreads * kRounds);
  EXPECT_GT(fromHamlib, 0);
  rigbridge_set_log_callback(nullptr);
}

}  // namespace
