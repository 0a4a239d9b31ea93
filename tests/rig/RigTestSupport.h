// What the rig tests share: a log sink that records what the bridge says, and the rigctld
// launchers of tests/support.
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "RigctldServer.h"

namespace rigtest {

// The lines the bridge's sink received, in order: its own as "<level> <text>", Hamlib's as
// "Hamlib: <text>". The sink may run on several threads at once.
inline std::mutex recordedMutex;
inline std::vector<std::string> recordedLines;

inline void record(int level, const char *text, int fromApp) {
  std::lock_guard lock(recordedMutex);
  recordedLines.push_back((fromApp ? std::to_string(level) + " " : "Hamlib: ") + text);
}
inline std::vector<std::string> recorded(bool andForget = false) {
  std::lock_guard lock(recordedMutex);
  return andForget ? std::exchange(recordedLines, {}) : recordedLines;
}
// Whether a line recorded since starts with the text.
inline bool said(const std::string &start) {
  const std::vector<std::string> lines = recorded();
  return std::any_of(lines.begin(), lines.end(),
                     [&](auto &line) { return line.starts_with(start); });
}

}  // namespace rigtest
