// A rigctld serving Hamlib's dummy rig on a free loopback port, for the rig tests and benchmark,
// and the loopback port helpers it needs.
#pragma once

#include <sys/types.h>

#include <string>

namespace rigtest {

// Whether something accepts connections on this loopback port.
bool listening(int port);
// A loopback port nobody listens on right now.
int unusedPort();

// rigctld -m 1 -P RIG as a direct child of the test, stopped by its process id.
class Rigctld {
 public:
  Rigctld();
  ~Rigctld();
  Rigctld(const Rigctld&) = delete;
  Rigctld& operator=(const Rigctld&) = delete;

  bool running() const { return pid_ > 0; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  pid_t pid() const { return pid_; }

  void kill(int signal);

 private:
  void start();

  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace rigtest
