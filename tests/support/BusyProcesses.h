// A machine busy with other work, as a desktop compiling in the background is: processes that
// spin on the CPU for as long as this object lives, each ended by its process id.
#pragma once

#include <sys/types.h>

#include <vector>

namespace loadtest {

// The cores this process may run on: those of its affinity (a test pinned to two cores of a big
// machine has two), which its children inherit.
int usableCores();

class BusyProcesses {
 public:
  // `perCore` spinning processes for every core this process may run on; they run on those.
  explicit BusyProcesses(int perCore = 2);
  ~BusyProcesses();
  BusyProcesses(const BusyProcesses&) = delete;
  BusyProcesses& operator=(const BusyProcesses&) = delete;

  int count() const { return int(pids_.size()); }

 private:
  std::vector<pid_t> pids_;
};

}  // namespace loadtest
