// The tests' rigctld counts as started only once its own daemon listens: a port taken for free
// may already be another daemon's, and the test would then talk to, and lose, a rig not its own.
#include <gtest/gtest.h>
#include <unistd.h>

#include "RigctldServer.h"

TEST(Rigctld, CountsAsStartedOnlyOnceItsOwnDaemonListens) {
  rigtest::Rigctld first;
  ASSERT_TRUE(first.running());
  EXPECT_TRUE(rigtest::listensOn(first.pid(), first.port()));
  EXPECT_FALSE(rigtest::listensOn(getpid(), first.port()));

  rigtest::Rigctld second(first.port());  // its daemon cannot have the port, and ends
  EXPECT_FALSE(second.running());
  EXPECT_EQ(rigtest::askRigctld(first.port(), "t"), "0");
}
