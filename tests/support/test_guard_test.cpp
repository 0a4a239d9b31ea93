// The guard every test runs under: whatever a test started, a PulseAudio server that detached
// itself included, ends with the test, also when the guard is killed as CTest kills on a timeout.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

// Gone, or a zombie that nothing of ours will reap.
bool running(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return false;
  const std::size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::vector<pid_t> pidsIn(const std::filesystem::path& file) {
  std::vector<pid_t> pids;
  std::ifstream in(file);
  for (pid_t pid = 0; in >> pid;) pids.push_back(pid);
  return pids;
}

// A test that starts a private PulseAudio server with the fixture's script (the server detaches,
// and so do the two streams that keep it awake), a child of its own, and then `rest`.
class Guard : public testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/palavrix-guard-XXXXXX";  // short: the server's socket lives in it
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
  }
  void TearDown() override {
    // Should the guard have failed, what it left must not outlive this test either.
    for (const pid_t pid : seen_)
      if (running(pid)) kill(pid, SIGKILL);
    std::filesystem::remove_all(dir_);
  }

  // The guard, or with `runner` a shell that runs it as CTest does.
  pid_t runGuarded(const std::string& rest, bool runner) {
    const std::string script = std::string(PALAVRIX_PULSE_SCRIPT) + " start " + dir_.string() +
                               " >/dev/null && { sleep 600 & echo $! >" +
                               (dir_ / "child.pid").string() + "; } && " + rest;
    std::vector<std::string> arguments = {PALAVRIX_TEST_GUARD, "/bin/sh", "-c", script};
    if (runner) arguments.insert(arguments.begin(), {"/bin/sh", "-c", "\"$0\" \"$@\" & wait"});
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    return pid;
  }

  // The server, its keep-alive streams and the test's own child, once all have started.
  std::vector<pid_t> started() {
    std::vector<pid_t> pids = pidsIn(dir_ / "pulse/pid");
    for (const pid_t pid : pidsIn(dir_ / "keepalive.pid")) pids.push_back(pid);
    for (const pid_t pid : pidsIn(dir_ / "child.pid")) pids.push_back(pid);
    return pids;
  }

  std::filesystem::path dir_;
  std::vector<pid_t> seen_;
};

// Ended by the guard, which CTest would otherwise see end as the test did; killed: the guard
// killed alone, as CTest kills on a timeout when it does not find the test's processes, or what
// runs the guard killed (CTest itself, at a CI job's time limit).
TEST_F(Guard, EndsEveryProcessTheTestStartedHoweverTheTestEnds) {
  const struct {
    const char* rest;
    bool runner;
    bool killed;
    int exitCode;  // or the signal that ended it, negated
  } cases[] = {{"exit 3", false, false, 3},
               {"kill -SEGV $$", false, false, -SIGSEGV},
               {"exec sleep 600", false, true, 0},
               {"exec sleep 600", true, true, 0}};
  for (const auto& test : cases) {
    SCOPED_TRACE(std::string(test.rest) + (test.runner ? " under a runner" : ""));
    const pid_t guard = runGuarded(test.rest, test.runner);
    ASSERT_GT(guard, 0);
    ASSERT_TRUE(waitUntil([&] { return started().size() == 4; }, std::chrono::seconds(30)));
    const std::vector<pid_t> pids = started();
    seen_.insert(seen_.end(), pids.begin(), pids.end());
    if (test.killed) kill(guard, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(guard, &status, 0), guard);
    if (test.killed) {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    } else if (test.exitCode >= 0) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == test.exitCode) << status;
    } else {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == -test.exitCode) << status;
    }
    // The guard waits for the keeper, which ends everything before it ends; killed, the keeper
    // still has to hear of it.
    const auto limit = std::chrono::seconds(test.killed ? 10 : 0);
    for (const pid_t pid : pids)
      EXPECT_TRUE(waitUntil([pid] { return !running(pid); }, limit)) << "still running: " << pid;
    for (const char* file : {"pulse/pid", "keepalive.pid", "child.pid"})
      std::filesystem::remove(dir_ / file);
  }
}

}  // namespace
