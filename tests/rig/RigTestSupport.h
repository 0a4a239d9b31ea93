// Helpers shared by the rig tests and benchmark: a log sink that records what the bridge sends,
// and a rigctld serving the dummy rig on a free loopback port.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace rigtest {

struct LoggedLine {
  int level;
  std::string text;
  bool fromApp;
};

// The lines the bridge's sink received, in order; the sink may run on several threads at once.
class LogRecorder {
 public:
  static LogRecorder &instance() {
    static LogRecorder recorder;
    return recorder;
  }
  static void sink(int level, const char *text, int fromApp) {
    LogRecorder &recorder = instance();
    std::lock_guard<std::mutex> lock(recorder.mutex_);
    recorder.lines_.push_back({level, text ? text : "", fromApp != 0});
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }
  std::vector<LoggedLine> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  // The bridge's own lines, texts only.
  std::vector<std::string> appTexts() {
    std::vector<std::string> texts;
    for (const LoggedLine &line : lines()) {
      if (line.fromApp) texts.push_back(line.text);
    }
    return texts;
  }
  bool hasAppLine(int level, const std::string &text) {
    for (const LoggedLine &line : lines()) {
      if (line.fromApp && line.level == level && line.text == text) return true;
    }
    return false;
  }
  bool hasAppLineStartingWith(int level, const std::string &prefix) {
    for (const LoggedLine &line : lines()) {
      if (line.fromApp && line.level == level && line.text.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }
  int hamlibLineCount() {
    int count = 0;
    for (const LoggedLine &line : lines()) count += line.fromApp ? 0 : 1;
    return count;
  }

 private:
  std::mutex mutex_;
  std::vector<LoggedLine> lines_;
};

// A status line: "<digits>.<6 digits> MHz  <MODE>", optionally " (<digits> Hz)" after it; the
// mode must be the given one unless that is empty.
inline bool isStatusLine(const std::string &text, const std::string &mode = "") {
  auto digits = [&](std::size_t &at) {
    std::size_t start = at;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
    return at - start;
  };
  std::size_t at = 0;
  if (digits(at) == 0 || at >= text.size() || text[at++] != '.' || digits(at) != 6) return false;
  if (text.compare(at, 6, " MHz  ") != 0) return false;
  at += 6;
  std::size_t modeStart = at;
  while (at < text.size() &&
         (std::isupper(static_cast<unsigned char>(text[at])) ||
          std::isdigit(static_cast<unsigned char>(text[at])) || text[at] == '-')) {
    ++at;
  }
  if (at == modeStart || (!mode.empty() && text.substr(modeStart, at - modeStart) != mode)) {
    return false;
  }
  if (at == text.size()) return true;
  if (text.compare(at, 2, " (") != 0) return false;
  at += 2;
  return digits(at) > 0 && text.compare(at, std::string::npos, " Hz)") == 0;
}

inline bool listening(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool connected = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

// A loopback port nobody listens on right now.
inline int unusedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// rigctld -m 1 -P RIG as a direct child of the test, stopped by its process id.
class Rigctld {
 public:
  Rigctld() {
    for (int attempt = 0; attempt < 10 && pid_ <= 0; ++attempt) start();
  }
  ~Rigctld() { kill(SIGINT); }
  Rigctld(const Rigctld &) = delete;
  Rigctld &operator=(const Rigctld &) = delete;

  bool running() const { return pid_ > 0; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  pid_t pid() const { return pid_; }

  void kill(int signal) {
    if (pid_ <= 0) return;
    ::kill(pid_, signal);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  void start() {
    port_ = unusedPort();
    std::string portText = std::to_string(port_);
    const char *argv[] = {"rigctld",        "-m",   "1", "-P", "RIG", "-T", "127.0.0.1", "-t",
                          portText.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int failed =
        posix_spawnp(&pid, "rigctld", &actions, nullptr, const_cast<char **>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed) return;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
      if (waitpid(pid, nullptr, WNOHANG) == pid) return;  // it could not bind: try another port
      if (listening(port_)) {
        pid_ = pid;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }

  pid_t pid_ = -1;
  int port_ = 0;
};

// The port of the rigctld that the CTest fixture started, or 0 when there is none.
inline int fixtureRigctldPort() {
#ifdef RIGCTLD_STATE_FILE
  std::ifstream state(RIGCTLD_STATE_FILE);
  int port = 0;
  if (state >> port) return port;
#endif
  return 0;
}

}  // namespace rigtest
