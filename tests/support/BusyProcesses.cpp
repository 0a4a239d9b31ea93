#include "BusyProcesses.h"

#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <thread>

extern char** environ;

namespace loadtest {

int usableCores() {
  cpu_set_t cores;
  if (sched_getaffinity(0, sizeof cores, &cores) == 0) return std::max(1, CPU_COUNT(&cores));
  return int(std::max(1u, std::thread::hardware_concurrency()));
}

BusyProcesses::BusyProcesses(int perCore) {
  const int count = perCore * usableCores();
  // A shell loop rather than a fork of this process: nothing of the test (its threads, its
  // sanitiser) is copied into the children.
  char shell[] = "/bin/sh";
  char option[] = "-c";
  char loop[] = "while :; do :; done";
  char* arguments[] = {shell, option, loop, nullptr};
  for (int i = 0; i < count; ++i) {
    pid_t pid = 0;
    if (posix_spawn(&pid, shell, nullptr, nullptr, arguments, environ) == 0) pids_.push_back(pid);
  }
}

BusyProcesses::~BusyProcesses() {
  for (const pid_t pid : pids_) kill(pid, SIGKILL);
  for (const pid_t pid : pids_) waitpid(pid, nullptr, 0);
}

}  // namespace loadtest
