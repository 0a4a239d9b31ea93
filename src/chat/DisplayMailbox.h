// Hands input levels and waterfall rows from the capture thread to the main thread without
// allocating on the capture thread once warm: a fixed ring of entries under a short lock, and
// one wake-up of the main thread per batch rather than per block. When the main thread falls
// behind by a whole ring, the oldest entries go.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <mutex>
#include <span>
#include <vector>

class DisplayMailbox final {
 public:
  static constexpr std::size_t kEntries = 32;

  // Capture thread. An empty row means none is due. True when the main thread must be woken
  // to take what is there (nothing has woken it since its last take).
  bool put(float levelDb, std::span<const float> row);

  // Main thread: every entry since the last take, oldest first.
  void take(const std::function<void(float)>& level,
            const std::function<void(std::span<const float>)>& row);

 private:
  struct Entry {
    float levelDb = 0.0f;
    bool hasRow = false;
    std::vector<float> row;  // its capacity is kept when entries swap places
  };

  std::mutex mutex_;
  std::array<Entry, kEntries> entries_;  // guarded by mutex_
  std::size_t first_ = 0;                // guarded by mutex_
  std::size_t count_ = 0;                // guarded by mutex_
  bool wakePending_ = false;             // guarded by mutex_
  std::array<Entry, kEntries> taken_;    // main thread only
};
