// rigctld serving Hamlib's dummy rig, for the tests and benchmarks: one of a test's own, the
// CTest fixture's (tests/fixtures), and rigctld's own protocol to ask either what the rig does.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace rigtest {

// Whether that process itself listens on the loopback port. A test's own connection cannot tell:
// another test's daemon may have taken the same free port, and a connection to a port in the
// ephemeral range nobody listens on yet may be given that port as its own and meet itself.
bool listensOn(pid_t pid, int port);
// A loopback port nobody listens on right now.
int unusedPort();

// The first line of rigctld's answer to a command, or "" when nobody answers. Asked on a
// connection kept for the port. Any thread.
std::string askRigctld(int port, const std::string& command);

// The port of the rigctld the fixture started (its state file, named by RIGCTLD_STATE_FILE,
// holds "PORT PID"), 0 without one; and its "127.0.0.1:PORT", "" without one.
int fixturePort();
std::string fixtureAddress();
inline std::string askFixture(const std::string& command) {
  return askRigctld(fixturePort(), command);
}

// A rig port that takes connections and never answers: the kernel accepts them for a socket
// that listens, whoever calls accept(). Hanging up ends the calls waiting on it.
class SilentRig {
 public:
  SilentRig();
  ~SilentRig() { hangUp(); }
  SilentRig(const SilentRig&) = delete;
  SilentRig& operator=(const SilentRig&) = delete;

  int port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  void hangUp();

 private:
  int fd_ = -1;
  int port_ = 0;
};

// Connections to a stopped daemon wait in its listening socket's queue; once the queue is full,
// a new connection hangs in connect() for minutes, as it does on a rig daemon that stopped after
// a few status polls. Hanging up lets connections in again.
class FullConnectionQueue {
 public:
  explicit FullConnectionQueue(int port);
  ~FullConnectionQueue() { hangUp(); }
  FullConnectionQueue(const FullConnectionQueue&) = delete;
  FullConnectionQueue& operator=(const FullConnectionQueue&) = delete;

  bool full() const { return full_; }
  void hangUp();

 private:
  std::vector<int> fds_;
  bool full_ = false;
};

// rigctld -m 1 as a direct child of the test, stopped by its process id. Without a port it
// takes a free one; with one it may be stopped and started again there.
class Rigctld {
 public:
  explicit Rigctld(int port = 0);
  ~Rigctld() { stop(); }
  Rigctld(const Rigctld&) = delete;
  Rigctld& operator=(const Rigctld&) = delete;

  // Whether it answers; a fresh dummy rig each time.
  bool start();
  void stop();
  void kill(int signal);

  bool running() const { return pid_ > 0; }
  int port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  pid_t pid() const { return pid_; }

 private:
  bool startOn(int port);

  pid_t pid_ = -1;
  int port_ = 0;
  bool ownPort_ = false;
};

}  // namespace rigtest
