// Helpers shared by the rig tests: a log sink that records what the bridge sends, and the
// fixture's rigctld; the rigctld launcher itself is in tests/support.
#pragma once

#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "RigctldServer.h"

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
  // Whether the bridge itself logged a line at this level starting with (or, when whole, equal
  // to) the text.
  bool has(int level, const std::string &text, bool whole = true) {
    for (const LoggedLine &line : lines()) {
      if (line.fromApp && line.level == level &&
          (whole ? line.text == text : line.text.rfind(text, 0) == 0))
        return true;
    }
    return false;
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

}  // namespace rigtest
