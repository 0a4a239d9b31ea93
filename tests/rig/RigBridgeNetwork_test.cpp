// The bridge through Hamlib's network model (2) against real rigctld daemons serving the dummy
// rig: the shared one the test fixture starts, and private ones that are killed on purpose.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include "RigTestSupport.h"
#include "rig/RigBridge.h"
#include "rig/RigControl.h"

namespace {

using rigtest::LogRecorder;

constexpr int kNetwork = 2;

class RigBridgeNetwork : public testing::Test {
 protected:
  void SetUp() override {
    rigbridge_set_log_callback(LogRecorder::sink);
    ASSERT_NE(address, "") << "the rigctld fixture is not running";
    LogRecorder::instance().clear();
  }
  const std::string address = rigtest::fixtureAddress();
  char text[256] = {};
};

TEST_F(RigBridgeNetwork, TunesReadsBackAndKeys) {
  for (const auto &[hz, mode, status] : {std::tuple{14074000.0, "PKTUSB", "14.074000 MHz  PKTUSB"},
                                         std::tuple{7047500.0, "USB", "7.047500 MHz  USB"}}) {
    ASSERT_EQ(rigbridge_set_frequency(kNetwork, address.c_str(), "", mode, text, sizeof text, hz),
              1)
        << text;
    // Applied after the port, this line would point the rig at a port where nothing listens.
    ASSERT_EQ(rigbridge_read_status(kNetwork, address.c_str(), "rig_pathname=127.0.0.1:1", nullptr,
                                    text, sizeof text),
              1)
        << text;
    EXPECT_EQ(std::string(text).rfind(status, 0), 0u) << text;
  }
  EXPECT_EQ(rigbridge_set_ptt(kNetwork, address.c_str(), "", 1, text, sizeof text), 1) << text;

  // A connection test from another thread against a rig that takes the connection and never
  // answers, as the settings window makes one, does not keep the release waiting.
  rigtest::SilentRig silent;
  const std::string silentAddress = silent.address();
  std::atomic<bool> tested{false};
  std::thread connectionTest([&] {
    char reason[256] = {};
    rigbridge_read_status(kNetwork, silentAddress.c_str(), "", nullptr, reason, sizeof reason);
    tested = true;
  });
  // With the bridge to itself, the test says so at once.
  const auto opening = "Opening rig model 2 on port \"" + silentAddress + "\"";
  for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
       std::chrono::steady_clock::now() < deadline && !LogRecorder::instance().has(4, opening);)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(rigbridge_set_ptt(kNetwork, address.c_str(), "", 0, text, sizeof text), 1) << text;
  EXPECT_FALSE(tested) << "the release waited for the connection test";
  silent.hangUp();  // the test's connection ends, and the test with it
  connectionTest.join();

  // The network model lists no modes of its own, so "Default" means USB.
  const RigConnectionResult result = RigControl::readStatus(kNetwork, address, {}, "Default");
  EXPECT_TRUE(result.success && rigtest::isStatusLine(result.message, "USB")) << result.message;
}

// Kills the daemon from inside the operation, right after the bridge logs a given line.
struct KillOnLine {
  static inline std::atomic<pid_t> victim{-1};
  static inline const char *trigger = nullptr;
  static void sink(int level, const char *line, int fromApp) {
    LogRecorder::sink(level, line, fromApp);
    if (fromApp && trigger && std::strcmp(line, trigger) == 0) {
      pid_t pid = victim.exchange(-1);
      if (pid > 0) kill(pid, SIGKILL);
    }
  }
};

TEST_F(RigBridgeNetwork, SurvivesTheDaemonDyingInTheMiddleOfAnOperation) {
  for (const bool whileOpening : {true, false}) {
    SCOPED_TRACE(whileOpening);
    rigtest::Rigctld daemon;
    ASSERT_TRUE(daemon.running());
    KillOnLine::trigger = whileOpening ? "Rig opened." : "Setting PTT on";
    KillOnLine::victim = daemon.pid();
    rigbridge_set_log_callback(KillOnLine::sink);
    const std::string at = daemon.address();
    int result = whileOpening
                     ? rigbridge_read_status(kNetwork, at.c_str(), "", nullptr, text, sizeof text)
                     : rigbridge_set_ptt(kNetwork, at.c_str(), "", 1, text, sizeof text);
    rigbridge_set_log_callback(LogRecorder::sink);
    EXPECT_EQ(KillOnLine::victim.load(), -1) << "the daemon was not killed";
    daemon.kill(SIGKILL);  // reaps it

    // Hamlib may answer a status read from what it learnt while opening; keying has to reach
    // the daemon and fails.
    std::string reason = text;
    if (whileOpening) {
      EXPECT_TRUE(result == 1 ? rigtest::isStatusLine(reason)
                              : reason.rfind("Connected, but could not read frequency: ", 0) == 0)
          << reason;
    } else {
      EXPECT_EQ(result, 0);
      EXPECT_EQ(reason.rfind("PTT on failed: ", 0), 0u) << reason;
    }
    EXPECT_EQ(reason.find('\n'), std::string::npos);

    // The next operation finds nobody and says so.
    EXPECT_EQ(rigbridge_set_ptt(kNetwork, at.c_str(), "", 0, text, sizeof text), 0);
    EXPECT_EQ(std::string(text), "Connection failed: IO error");
  }
}

}  // namespace
