#include "rig/RigConnectWatch.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct RigConnectWatch::Watched {
  pid_t task = 0;
  pthread_t thread{};
  std::chrono::steady_clock::time_point deadline;
  bool interrupted = false;
};

namespace {

// The signal that interrupts a waiting connect(). Ignored by default, so that one arriving
// elsewhere does no harm; no socket of this program asks for its usual meaning (urgent data).
constexpr int kInterruptSignal = SIGURG;
// How often a thread past its limit is looked at again: Hamlib may try the next address.
constexpr std::chrono::milliseconds kRecheckInterval{100};

// Whether the kernel has the thread waiting in connect() right now.
bool waitsInConnect(pid_t task) {
#ifdef SYS_connect
  std::ifstream syscall("/proc/self/task/" + std::to_string(task) + "/syscall");
  long number = -1;
  return syscall >> number && number == SYS_connect;
#else
  (void)task;
  return false;
#endif
}

// One thread looks after every watch.
class Watcher {
 public:
  static Watcher &instance() {
    static Watcher &watcher = *new Watcher;  // its thread may still run at exit
    return watcher;
  }

  void add(const std::shared_ptr<RigConnectWatch::Watched> &watched) {
    {
      std::lock_guard lock(mutex_);
      watched_.push_back(watched);
    }
    changed_.notify_all();
  }
  // Once removed, the thread is never signalled for this watch again.
  void remove(const std::shared_ptr<RigConnectWatch::Watched> &watched) {
    std::lock_guard lock(mutex_);
    std::erase(watched_, watched);
  }
  bool interrupted(const RigConnectWatch::Watched &watched) {
    std::lock_guard lock(mutex_);
    return watched.interrupted;
  }

 private:
  Watcher() {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the interrupted connect() must return
    sigaction(kInterruptSignal, &action, nullptr);
    std::thread([this] { run(); }).detach();
  }

  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (watched_.empty()) {
        changed_.wait(lock);
        continue;
      }
      const auto now = std::chrono::steady_clock::now();
      auto wake = std::chrono::steady_clock::time_point::max();
      for (const auto &watched : watched_) {
        if (now < watched->deadline) {
          wake = std::min(wake, watched->deadline);
          continue;
        }
        // Signalled under the lock, so that the watch cannot end (and its thread go on to
        // other things) in between.
        if (waitsInConnect(watched->task)) {
          pthread_kill(watched->thread, kInterruptSignal);
          watched->interrupted = true;
        }
        wake = std::min(wake, now + kRecheckInterval);
      }
      changed_.wait_until(lock, wake);
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::shared_ptr<RigConnectWatch::Watched>> watched_;
};

}  // namespace

RigConnectWatch::RigConnectWatch(std::chrono::milliseconds limit)
    : watched_(std::make_shared<Watched>()) {
  watched_->task = gettid();
  watched_->thread = pthread_self();
  watched_->deadline = std::chrono::steady_clock::now() + limit;
  Watcher::instance().add(watched_);
}

RigConnectWatch::~RigConnectWatch() { Watcher::instance().remove(watched_); }

bool RigConnectWatch::interrupted() const { return Watcher::instance().interrupted(*watched_); }
