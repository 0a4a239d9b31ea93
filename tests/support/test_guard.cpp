// Runs one test and ends with it every process it started, however the test ends: passed,
// failed, crashed, or killed by CTest on its timeout. CTest kills only the processes it finds as
// the test's descendants, and servers that detach themselves (PulseAudio's daemon, the streams
// that keep it awake, a program or X server whose parent died) have been handed to init by then.
//
//   palavrix_test_guard COMMAND [ARGUMENT...]
//
// Two processes: the guard, which CTest sees and may kill, and under it a keeper that runs the
// test. The keeper is the child subreaper of everything below it, so that a process that
// detaches becomes its child rather than init's. It learns of the guard's death through
// PR_SET_PDEATHSIG; the test's process learns of the keeper's, and the guard of CTest's, the
// same way. When the test ends, or the guard is gone, the keeper kills every process left below
// it and ends as the test did.
#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The processes whose parent is `parent`, read from /proc.
std::vector<pid_t> childrenOf(pid_t parent) {
  std::vector<pid_t> children;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return children;
  while (const dirent* entry = readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    FILE* file = std::fopen(("/proc/" + std::string(entry->d_name) + "/stat").c_str(), "r");
    if (file == nullptr) continue;
    char stat[512] = {};
    const std::size_t length = std::fread(stat, 1, sizeof stat - 1, file);
    std::fclose(file);
    stat[length] = '\0';
    // "pid (name) state ppid ...": the name may hold anything, so read after its last ')'.
    const char* close = std::strrchr(stat, ')');
    char state = 0;
    long ppid = 0;
    if (close && std::sscanf(close + 1, " %c %ld", &state, &ppid) == 2 && ppid == parent)
      children.push_back(pid_t(pid));
  }
  closedir(proc);
  return children;
}

std::string commandOf(pid_t pid) {
  FILE* file = std::fopen(("/proc/" + std::to_string(pid) + "/cmdline").c_str(), "r");
  if (file == nullptr) return "?";
  char text[256] = {};
  const std::size_t length = std::fread(text, 1, sizeof text - 1, file);
  std::fclose(file);
  for (std::size_t i = 0; i + 1 < length; ++i)
    if (text[i] == '\0') text[i] = ' ';
  return text;
}

// Kills every process below the keeper until none is left. A process killed hands its own
// children to the keeper, so this goes on until a look finds nobody.
void endEverythingLeft() {
  std::vector<pid_t> reported;
  for (;;) {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    const std::vector<pid_t> left = childrenOf(getpid());
    if (left.empty() && waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD) return;
    for (const pid_t pid : left) {
      if (std::find(reported.begin(), reported.end(), pid) == reported.end())
        std::fprintf(stderr, "palavrix_test_guard: ending process %d the test left: %s\n", pid,
                     commandOf(pid).c_str());
      reported.push_back(pid);
      kill(pid, SIGKILL);
    }
    usleep(10000);
  }
}

// Ends this process the way the test ended, so that CTest reports a crash as a crash.
[[noreturn]] void endLike(int status) {
  if (WIFSIGNALED(status)) {
    const int signal = WTERMSIG(status);
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    ::signal(signal, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
  }
  std::_Exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}

[[noreturn]] void keep(pid_t guard, char** command) {
  sigset_t heard;
  sigemptyset(&heard);
  for (const int signal : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) sigaddset(&heard, signal);
  sigprocmask(SIG_BLOCK, &heard, nullptr);
  // With CTest gone, a word on its pipe would end the keeper before its work is done.
  ::signal(SIGPIPE, SIG_IGN);
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  if (getppid() != guard) std::_Exit(1);  // the guard died before it could be watched

  const pid_t keeper = getpid();
  const pid_t test = fork();
  if (test < 0) {
    std::perror("palavrix_test_guard: fork");
    std::_Exit(1);
  }
  if (test == 0) {
    sigprocmask(SIG_UNBLOCK, &heard, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != keeper) std::_Exit(1);
    execvp(command[0], command);
    std::fprintf(stderr, "palavrix_test_guard: cannot run %s: %s\n", command[0],
                 std::strerror(errno));
    std::_Exit(127);
  }

  int status = 0;
  for (bool running = true; running;) {
    siginfo_t info{};
    if (sigwaitinfo(&heard, &info) < 0) continue;
    if (info.si_signo != SIGCHLD) {
      std::fprintf(stderr, "palavrix_test_guard: stopped by signal %d; ending the test\n",
                   info.si_signo);
      kill(test, SIGKILL);
      waitpid(test, nullptr, 0);
      status = W_EXITCODE(128 + info.si_signo, 0);
      break;
    }
    // Orphans handed to the keeper end here too; only the test's end ends the wait.
    for (pid_t pid; (pid = waitpid(-1, &status, WNOHANG)) > 0;) {
      if (pid == test) {
        running = false;
        break;
      }
    }
  }
  endEverythingLeft();
  endLike(status);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s COMMAND [ARGUMENT...]\n", argv[0]);
    return 2;
  }
  // Should CTest itself be killed (a CI job's time limit), the test goes with it.
  const pid_t runner = getppid();
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != runner) return 1;
  const pid_t guard = getpid();
  const pid_t keeper = fork();
  if (keeper < 0) {
    std::perror("palavrix_test_guard: fork");
    return 1;
  }
  if (keeper == 0) keep(guard, argv + 1);
  int status = 0;
  while (waitpid(keeper, &status, 0) < 0 && errno == EINTR) {
  }
  endLike(status);
}
