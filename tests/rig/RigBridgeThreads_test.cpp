// Rig operations from several threads at once, as the chat controller's rig queue and the
// settings window's background tasks issue them, with the Hamlib log collecting every line.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QRegularExpression>
#include <atomic>
#include <mutex>
#include <thread>

#include "RigTestSupport.h"
#include "rig/HamlibLog.h"
#include "rig/RigBridge.h"
#include "rig/RigControl.h"

namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 2;

class Failures {
 public:
  void add(std::string what) {
    std::lock_guard<std::mutex> lock(mutex_);
    list_.push_back(std::move(what));
  }
  std::vector<std::string> list() {
    std::lock_guard<std::mutex> lock(mutex_);
    return list_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> list_;
};

void runRounds(int thread, Failures &failures) {
  for (int round = 0; round < kRounds; ++round) {
    char text[256] = {};
    if (!rigbridge_read_status(1, "", "", "USB", text, sizeof text) ||
        !rigtest::isStatusLine(text, "USB")) {
      failures.add(std::string("status: ") + text);
    }
    if (!rigbridge_set_frequency(1, "", "", nullptr, text, sizeof text, 7074000.0 + thread)) {
      failures.add(std::string("tune: ") + text);
    }
    if (rigbridge_read_status(999999, "", "", nullptr, text, sizeof text) ||
        std::string(text) != "Could not initialize this rig model.") {
      failures.add(std::string("unknown model: ") + text);
    }
    std::vector<std::string> modes = RigControl::supportedModes(1035);
    if (std::find(modes.begin(), modes.end(), "PKTUSB") == modes.end()) {
      failures.add("modes without PKTUSB");
    }
    if (RigControl::serialDefaults(1035)[RigSerialSetting::baudRate] != "38400") {
      failures.add("serial defaults");
    }
    if (thread == 0 && round == 0 && RigControl::listRigs().size() < 200) {
      failures.add("model list");
    }
    rigbridge_set_debug_level((thread + round) % 2 ? 5 : 4);
  }
}

TEST(RigBridgeThreads, OperationsFromSeveralThreadsNeitherCrashNorGarble) {
  HamlibLog::install();
  Failures failures;
  std::atomic<int> finished{0};
  std::vector<std::thread> workers;
  for (int thread = 0; thread < kThreads; ++thread) {
    workers.emplace_back([thread, &failures, &finished] {
      runRounds(thread, failures);
      ++finished;
    });
  }
  // The main thread keeps taking the log's entries while the workers run.
  QDeadlineTimer deadline(120000);
  while (finished.load() < kThreads && !deadline.hasExpired()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  for (std::thread &worker : workers) worker.join();
  QCoreApplication::sendPostedEvents();
  EXPECT_TRUE(failures.list().empty()) << failures.list().front();

  // Every line of the bridge's own arrived whole.
  const QList<QRegularExpression> known = {
      QRegularExpression(R"(^Hamlib not loaded from .+: .+$)"),
      QRegularExpression(R"(^Found Hamlib 4\.\S+ .*at libhamlib\.so\.4$)"),
      QRegularExpression(R"(^Using Hamlib 4\.\S+ .*from /\S+libhamlib\.so\.4$)"),
      QRegularExpression(R"(^Opening rig model (1|999999) on port ""$)"),
      QRegularExpression(R"(^rig_init\(999999\) failed: Could not initialize this rig model\.$)"),
      QRegularExpression(R"(^Rig opened\.$)"),
      QRegularExpression(R"(^Setting mode to USB$)"),
      QRegularExpression(R"(^Rig reports \d+\.\d{6} MHz  USB( \(\d+ Hz\))?$)"),
      QRegularExpression(R"(^Setting frequency to 7\.07400\d MHz$)"),
  };
  int opened = 0;
  int tuned = 0;
  for (const HamlibLogEntry &entry : HamlibLog::shared().entries()) {
    if (!entry.fromApp) continue;
    bool recognised = std::any_of(known.begin(), known.end(), [&](const QRegularExpression &re) {
      return re.match(entry.text).hasMatch();
    });
    EXPECT_TRUE(recognised) << entry.text.toStdString();
    opened += entry.text == "Rig opened." ? 1 : 0;
    tuned += entry.text.startsWith("Setting frequency to ") ? 1 : 0;
  }
  EXPECT_EQ(opened, kThreads * kRounds * 2);
  EXPECT_EQ(tuned, kThreads * kRounds);
  rigbridge_set_log_callback(nullptr);
}

}  // namespace
