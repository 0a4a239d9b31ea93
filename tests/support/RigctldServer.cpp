#include "RigctldServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

extern char** environ;

namespace rigtest {

namespace {

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

bool listensOn(pid_t pid, int port) {
  char local[16];
  std::snprintf(local, sizeof local, "0100007F:%04X", unsigned(port));
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the column names
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, address, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> address >> remote >> state >> queues >> timer >> retransmits >> uid >>
        timeout >> inode;
    if (address != local || state != "0A") continue;  // 0A: listening
    std::error_code error;
    const std::string socket = "socket:[" + inode + "]";
    for (const auto& fd :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
      if (std::filesystem::read_symlink(fd.path(), error).string() == socket) return true;
    }
  }
  return false;
}

int unusedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = loopback(0);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

namespace {

// The first line of the answer on fd; none when the connection has gone, and a connection
// that left its answer unfinished is not asked again (the rest would answer the next question).
std::optional<std::string> askOn(int fd, const std::string& command, bool& finished) {
  const std::string line = command + "\n";
  finished = false;
  if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) != ssize_t(line.size())) {
    return std::nullopt;
  }
  std::string answer;
  pollfd waiting{fd, POLLIN, 0};
  char c = 0;
  while (poll(&waiting, 1, 2000) == 1) {
    if (read(fd, &c, 1) != 1) return std::nullopt;
    if (c == '\n') {
      finished = true;
      break;
    }
    answer += c;
  }
  return answer;
}

int connectTo(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  close(fd);
  return -1;
}

}  // namespace

// Asked over and over on fresh connections, rigctld starves the program under test of its own,
// so each port's connection is kept, and made again when the daemon has gone or was restarted.
std::string askRigctld(int port, const std::string& command) {
  static std::mutex mutex;
  static std::map<int, int> kept;
  std::lock_guard lock(mutex);
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto line = kept.find(port);
    const bool old = line != kept.end();
    const int fd = old ? line->second : connectTo(port);
    if (fd < 0) return "";
    bool finished = false;
    const std::optional<std::string> answer = askOn(fd, command, finished);
    if (finished) {
      kept[port] = fd;
      return *answer;
    }
    close(fd);
    kept.erase(port);
    if (answer || !old) return answer.value_or("");
  }
  return "";
}

int fixturePort() {
  const char* path = std::getenv("RIGCTLD_STATE_FILE");
  std::ifstream state(path ? path : "");
  int port = 0;
  return state >> port ? port : 0;
}

std::string fixtureAddress() {
  const int port = fixturePort();
  return port ? "127.0.0.1:" + std::to_string(port) : "";
}

SilentRig::SilentRig() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  if (bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 && listen(fd_, 16) == 0 &&
      getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port_ = ntohs(address.sin_port);
  }
}

void SilentRig::hangUp() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

FullConnectionQueue::FullConnectionQueue(int port) {
  sockaddr_in address = loopback(port);
  for (int i = 0; i < 1000; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    fds_.push_back(fd);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) continue;
    pollfd connecting{fd, POLLOUT, 0};
    if (poll(&connecting, 1, 300) == 0) {
      full_ = true;
      return;
    }
  }
}

void FullConnectionQueue::hangUp() {
  for (int fd : fds_) ::close(fd);
  fds_.clear();
}

Rigctld::Rigctld(int port) : port_(port), ownPort_(port == 0) { start(); }

bool Rigctld::start() {
  if (!ownPort_) return startOn(port_);
  for (int attempt = 0; attempt < 10; ++attempt) {
    if (startOn(unusedPort())) return true;
  }
  return false;
}

void Rigctld::stop() { kill(SIGINT); }

void Rigctld::kill(int signal) {
  if (pid_ <= 0) return;
  ::kill(pid_, signal);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

bool Rigctld::startOn(int port) {
  port_ = port;
  std::string portText = std::to_string(port_);
  const char* argv[] = {"rigctld",        "-m",   "1", "-P", "RIG", "-T", "127.0.0.1", "-t",
                        portText.c_str(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int failed = posix_spawnp(&pid, "rigctld", &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed) return false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return false;  // it could not bind the port
    if (listensOn(pid, port_)) {
      pid_ = pid;
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ::kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return false;
}

}  // namespace rigtest
