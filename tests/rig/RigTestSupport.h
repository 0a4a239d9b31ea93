// Helpers shared by the rig tests: a log sink that records what the bridge sends, and the
// fixture's rigctld; the rigctld launcher itself is in tests/support.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "RigctldServer.h"

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
    const std::vector<LoggedLine> all = lines();
    return static_cast<int>(
        std::count_if(all.begin(), all.end(), [](auto &l) { return !l.fromApp; }));
  }

 private:
  std::mutex mutex_;
  std::vector<LoggedLine> lines_;
};

// A status line: "<digits>.<6 digits> MHz  <MODE>", optionally " (<digits> Hz)" after it; the
// mode must be the given one unless that is empty.
inline bool isStatusLine(const std::string &text, const std::string &mode = "") {
  static const std::regex line(R"(\d+\.\d{6} MHz  ([A-Z0-9-]+)( \(\d+ Hz\))?)");
  std::smatch match;
  return std::regex_match(text, match, line) && (mode.empty() || match[1] == mode);
}

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
