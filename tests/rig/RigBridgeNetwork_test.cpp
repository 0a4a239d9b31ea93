// Rig calls through Hamlib's network model (2) against real rigctld daemons serving the dummy
// rig: the shared one the test fixture starts, and one of the test's own that it kills.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "QtTestSupport.h"
#include "RigTestSupport.h"
#include "rig/RigBridge.h"
#include "rig/RigControl.h"

namespace {

constexpr int kNetwork = 2;

TEST(RigBridgeNetwork, TunesKeysAndReadsBack) {
  rigbridge_set_log_callback(rigtest::record);
  const std::string address = rigtest::fixtureAddress();
  ASSERT_NE(address, "") << "the rigctld fixture is not running";
  // The network model lists no modes of its own, so "Default" means USB.
  for (const auto &[hz, mode, status] : {std::tuple{14074000.0, "PKTUSB", "14.074000 MHz  PKTUSB"},
                                         std::tuple{7047500.0, "Default", "7.047500 MHz  USB"}}) {
    EXPECT_EQ(RigControl::setFrequency({kNetwork, address, {}, mode}, hz), std::nullopt);
    const RigConnectionResult result = RigControl::readStatus(kNetwork, address, {}, std::nullopt);
    EXPECT_TRUE(result.success && result.message.starts_with(status)) << result.message;
  }
  const RigTxSettings rig{kNetwork, address, {}, "Default"};
  bool sent = false;
  EXPECT_EQ(RigControl::setPushToTalk(rig, true, &sent), std::nullopt);
  EXPECT_TRUE(sent);
  EXPECT_EQ(rigtest::askFixture("t"), "1");
  // Releasing another rig leaves this one keyed, as far as the bridge knows.
  rigtest::Rigctld other;
  EXPECT_EQ(RigControl::setPushToTalk({kNetwork, other.address(), {}, "Default"}, false),
            std::nullopt);

  // A connection test from another thread against a rig that takes the connection and never
  // answers, as the settings window makes one, does not keep the release waiting.
  rigtest::SilentRig silent;
  std::atomic<bool> tested{false};
  std::thread connectionTest([&] {
    RigControl::readStatus(kNetwork, silent.address(), {}, std::nullopt);
    tested = true;
  });
  // Had it the bridge to itself, the test would say so at once.
  waitFor([&] { return rigtest::said("4 Opening rig model 2 on port \"" + silent.address()); },
          1000);
  EXPECT_EQ(RigControl::setPushToTalk(rig, false), std::nullopt);
  EXPECT_EQ(rigtest::askFixture("t"), "0");
  EXPECT_FALSE(tested) << "the release waited for the connection test";
  silent.hangUp();  // the test's connection ends, and the test with it
  connectionTest.join();
}

// The configuration comes after the port, so that a rig_pathname in it names the port used.
TEST(RigBridgeNetwork, TakesThePortTheConfigurationNames) {
  const std::string nobody = "127.0.0.1:" + std::to_string(rigtest::unusedPort());
  const std::string conf = "rig_pathname=" + rigtest::fixtureAddress();
  char text[256] = {};
  EXPECT_EQ(
      rigbridge_read_status(kNetwork, nobody.c_str(), conf.c_str(), nullptr, text, sizeof text), 1)
      << text;
  char frequency[32] = {};
  snprintf(frequency, sizeof frequency, "%.6f MHz  ", std::stod(rigtest::askFixture("f")) / 1e6);
  EXPECT_TRUE(std::string(text).starts_with(frequency)) << text << " against " << frequency;
}

TEST(RigBridgeNetwork, AKeyCallThatNeverReachedItsRigHoldsNoOtherThreadsCallsBack) {
  const RigTxSettings nobody{
      kNetwork, "127.0.0.1:" + std::to_string(rigtest::unusedPort()), {}, "Default"};
  bool sent = true;
  EXPECT_EQ(RigControl::setPushToTalk(nobody, true, &sent).value_or("").substr(0, 18),
            "Connection failed:");
  EXPECT_FALSE(sent);
  // The settings window's connection test, from another thread, goes ahead at once: had the
  // bridge taken the rig for keyed, it would wait ten seconds for a release.
  std::atomic<bool> tested{false};
  std::thread connectionTest([&] {
    tested = RigControl::readStatus(kNetwork, rigtest::fixtureAddress(), {}, std::nullopt).success;
  });
  EXPECT_TRUE(waitFor([&] { return tested.load(); }, 5000));
  connectionTest.join();
}

// The status poll and the settings window's connection test read a rig that never answers, each
// asking again the moment it is done, while the settings window asks for the model list, a
// model's modes and the library's version: these come once the rig call inside Hamlib ends,
// before another one has run its course.
TEST(RigBridgeNetwork, LibraryCallsWaitForOneHungRigCallAtMost) {
  rigbridge_set_log_callback(rigtest::record);
  rigtest::SilentRig silent;
  std::atomic<bool> stop{false};
  std::atomic<int> readsDone{0};
  auto readAgainAndAgain = [&] {
    while (!stop) {
      RigControl::readStatus(kNetwork, silent.address(), {}, std::nullopt);
      ++readsDone;
    }
  };
  std::thread poll(readAgainAndAgain);
  ASSERT_TRUE(waitFor(
      [&] { return rigtest::said("4 Opening rig model 2 on port \"" + silent.address()); }, 5000));
  std::thread connectionTest(readAgainAndAgain);

  // How many silent reads had ended when each answer came.
  std::atomic<int> answered{0};
  int readsBeforeList = 0, readsBeforeModes = 0, readsBeforeVersion = 0;
  std::vector<RigInfo> rigs;
  std::vector<std::string> modes;
  std::optional<std::string> version;
  std::thread list([&] {
    rigs = RigControl::listRigs();
    readsBeforeList = readsDone;
    ++answered;
  });
  std::thread modeList([&] {
    modes = RigControl::supportedModes(1);
    readsBeforeModes = readsDone;
    ++answered;
  });
  std::thread versionText([&] {
    version = RigControl::hamlibVersion();
    readsBeforeVersion = readsDone;
    ++answered;
  });
  // One silent read takes Hamlib's timeout (20 s); a third is not needed to tell.
  waitFor([&] { return answered == 3 || readsDone >= 2; }, 90000);
  EXPECT_EQ(answered, 3) << "the settings window still waits after " << readsDone
                         << " rig calls ended";
  stop = true;
  silent.hangUp();  // the waiting reads fail at once
  for (std::thread *thread : {&poll, &connectionTest, &list, &modeList, &versionText}) {
    thread->join();
  }
  // The first read may end a moment after the answers that waited for it.
  EXPECT_LE(readsBeforeList, 1) << "the model list waited for a later rig call";
  EXPECT_LE(readsBeforeModes, 1) << "the modes waited for a later rig call";
  EXPECT_LE(readsBeforeVersion, 1) << "the version waited for a later rig call";
  EXPECT_FALSE(rigs.empty());
  EXPECT_FALSE(modes.empty());
  EXPECT_TRUE(version.has_value());
}

// Hamlib 4.5 takes an EAGAIN it finds in errno after a read for a busy port and naps 5 ms per
// byte it reads, so that opening the rig takes seconds: the exit's release ran out of time so.
// The log sink may leave one (a contended lock in Qt sets it), inside Hamlib's reading.
TEST(RigBridgeNetwork, ReadsTheDaemonAtFullSpeedWhateverErrnoTheLogSinkLeaves) {
  rigbridge_set_debug_level(5);  // Hamlib says each nap: "port_read is busy?"
  rigbridge_set_log_callback([](int level, const char *line, int fromApp) {
    rigtest::record(level, line, fromApp);
    errno = EAGAIN;
  });
  const RigConnectionResult status =
      RigControl::readStatus(kNetwork, rigtest::fixtureAddress(), {}, std::nullopt);
  EXPECT_TRUE(status.success) << status.message;
  EXPECT_TRUE(rigtest::said("Hamlib: read_string_generic called")) << "Hamlib said nothing";
  EXPECT_FALSE(rigtest::said("Hamlib: read_string_generic: port_read is busy?"));
}

// Kills the daemon from inside the keying, right after the bridge says it keys.
std::atomic<pid_t> victim{-1};

TEST(RigBridgeNetwork, SurvivesTheDaemonDyingInTheMiddleOfAnOperation) {
  rigtest::Rigctld daemon;
  ASSERT_TRUE(daemon.running());
  victim = daemon.pid();
  rigbridge_set_log_callback([](int, const char *line, int fromApp) {
    const pid_t pid =
        fromApp && std::string_view(line) == "Setting PTT on" ? victim.exchange(-1) : -1;
    if (pid > 0) kill(pid, SIGKILL);
  });
  const RigTxSettings rig{kNetwork, daemon.address(), {}, "Default"};
  bool sent = false;
  const std::string reason = RigControl::setPushToTalk(rig, true, &sent).value_or("");
  EXPECT_TRUE(sent) << "the key command went out before the daemon died";
  EXPECT_EQ(victim, -1) << "the daemon was not killed";
  daemon.kill(SIGKILL);  // reaps it
  EXPECT_TRUE(reason.starts_with("PTT on failed: ") && reason.find('\n') == std::string::npos)
      << reason;
  // The next operation finds nobody and says so.
  EXPECT_EQ(RigControl::setPushToTalk(rig, false, &sent), "Connection failed: IO error");
  EXPECT_FALSE(sent);
}

}  // namespace
