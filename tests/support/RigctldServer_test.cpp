// The tests' rigctld counts as started only once its own daemon listens: a port taken for free
// may already be another daemon's, and the test would then talk to, and lose, a rig not its own.
#include "RigctldServer.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

TEST(Rigctld, CountsAsStartedOnlyOnceItsOwnDaemonListens) {
  rigtest::Rigctld first;
  ASSERT_TRUE(first.running());
  EXPECT_TRUE(rigtest::listensOn(first.pid(), first.port()));
  EXPECT_FALSE(rigtest::listensOn(getpid(), first.port()));

  rigtest::Rigctld second(first.port());  // its daemon cannot have the port, and ends
  EXPECT_FALSE(second.running());
  EXPECT_EQ(rigtest::askRigctld(first.port(), "t"), "0");
}

// The fixture's script stops the daemon its state file names only while that process still
// listens on the port the file gives: the id may have gone to another test's rigctld since.
TEST(RigctldFixture, StopsOnlyTheDaemonThatListensOnItsPort) {
  rigtest::Rigctld daemon;
  ASSERT_TRUE(daemon.running());
  const std::string state =
      testing::TempDir() + "rigctld_fixture_" + std::to_string(getpid()) + ".state";
  const auto stopWithState = [&](int port) {
    std::ofstream(state) << port << ' ' << daemon.pid() << '\n';
    const std::string command = std::string(PALAVRIX_RIGCTLD_SCRIPT) + " stop " + state;
    return std::system(command.c_str());
  };

  int elsewhere = rigtest::unusedPort();
  if (elsewhere == daemon.port()) elsewhere = rigtest::unusedPort();
  EXPECT_EQ(stopWithState(elsewhere), 0);
  EXPECT_EQ(rigtest::askRigctld(daemon.port(), "t"), "0") << "another port's daemon was ended";

  // The script returns once its daemon has ended; left unreaped, the id stays the daemon's.
  EXPECT_EQ(stopWithState(daemon.port()), 0);
  siginfo_t ended{};
  ASSERT_EQ(waitid(P_PID, id_t(daemon.pid()), &ended, WEXITED | WNOHANG | WNOWAIT), 0);
  EXPECT_EQ(ended.si_pid, daemon.pid()) << "its own daemon runs on";
}
