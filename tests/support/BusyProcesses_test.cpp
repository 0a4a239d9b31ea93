// The load a test puts on the machine matches the cores it runs on: pinned to a few cores of a
// big machine, it spins as many processes as those few take, not as many as the machine has.
#include "BusyProcesses.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <vector>

namespace {

// The first `count` cores this process may run on, or fewer when it may run on fewer.
cpu_set_t firstCores(const cpu_set_t& allowed, int count) {
  cpu_set_t chosen;
  CPU_ZERO(&chosen);
  for (int core = 0; core < CPU_SETSIZE && CPU_COUNT(&chosen) < count; ++core) {
    if (CPU_ISSET(core, &allowed)) CPU_SET(core, &chosen);
  }
  return chosen;
}

TEST(BusyProcesses, SpinAsManyPerCoreAsTheProcessMayRunOn) {
  cpu_set_t allowed;
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  std::vector<int> counts;
  for (const int cores : {1, 2}) {
    cpu_set_t pinned = firstCores(allowed, cores);
    if (CPU_COUNT(&pinned) < cores) break;
    ASSERT_EQ(sched_setaffinity(0, sizeof pinned, &pinned), 0);
    EXPECT_EQ(loadtest::usableCores(), cores);
    loadtest::BusyProcesses load(3);
    counts.push_back(load.count());
  }
  ASSERT_EQ(sched_setaffinity(0, sizeof allowed, &allowed), 0);
  ASSERT_FALSE(counts.empty());
  EXPECT_EQ(counts[0], 3);
  if (counts.size() > 1) {
    EXPECT_EQ(counts[1], 6);
  }
}

}  // namespace
