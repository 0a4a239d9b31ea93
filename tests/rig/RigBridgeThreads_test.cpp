// Rig operations from several threads at once, as the chat controller's rig queue and the
// settings window's background tasks issue them, with the Hamlib log collecting every line.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "QtTestSupport.h"
#include "rig/HamlibLog.h"
#include "rig/RigBridge.h"
#include "rig/RigControl.h"

namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 2;

TEST(RigBridgeThreads, OperationsFromSeveralThreadsNeitherCrashNorGarble) {
  HamlibLog::install();
  std::atomic<int> finished{0};
  std::vector<std::thread> workers;
  for (int thread = 0; thread < kThreads; ++thread)
    workers.emplace_back([thread, &finished] {
      for (int round = 0; round < kRounds; ++round) {
        char text[256] = {};
        EXPECT_EQ(rigbridge_read_status(1, "", "", "USB", text, sizeof text), 1) << text;
        EXPECT_EQ(
            rigbridge_set_frequency(1, "", "", nullptr, text, sizeof text, 7074000.0 + thread), 1);
        EXPECT_EQ(rigbridge_read_status(999999, "", "", nullptr, text, sizeof text), 0);
        EXPECT_EQ(rigbridge_set_ptt(1, "", "", 1, text, sizeof text), 0);  // the dummy rig refuses
        EXPECT_EQ(RigControl::serialDefaults(1035)[RigSerialSetting::baudRate], "38400");
        EXPECT_GE(RigControl::listRigs().size(), 200u);
        rigbridge_set_debug_level((thread + round) % 2 ? 5 : 4);
      }
      ++finished;
    });
  // The main thread keeps taking the log's entries while the workers run.
  EXPECT_TRUE(waitFor([&] { return finished == kThreads; }, 120000));
  for (std::thread &worker : workers) worker.join();
  QCoreApplication::sendPostedEvents();

  // Every line of the bridge's own arrived whole, and Hamlib's own lines came along.
  std::map<QString, int> seen;  // the bridge's own lines, and "" for Hamlib's
  for (const HamlibLogEntry &entry : HamlibLog::shared().entries())
    ++seen[entry.fromApp ? entry.text : QString()];
  EXPECT_EQ(seen["Rig opened."], kThreads * kRounds * 3);
  EXPECT_EQ(seen["rig_init(999999) failed: Could not initialize this rig model."],
            kThreads * kRounds);
  for (int thread = 0; thread < kThreads; ++thread)
    EXPECT_EQ(seen[QString("Setting frequency to 7.07400%1 MHz").arg(thread)], kRounds);
  EXPECT_GT(seen[QString()], 0);
  rigbridge_set_log_callback(nullptr);
}

}  // namespace
