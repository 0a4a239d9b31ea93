#include "chat/DisplayMailbox.h"

#include <utility>

bool DisplayMailbox::put(float levelDb, std::span<const float> row) {
  std::lock_guard lock(mutex_);
  if (count_ == kEntries) {
    first_ = (first_ + 1) % kEntries;
    --count_;
  }
  Entry& entry = entries_[(first_ + count_) % kEntries];
  ++count_;
  entry.levelDb = levelDb;
  entry.hasRow = !row.empty();
  if (entry.hasRow) entry.row.assign(row.begin(), row.end());
  return !std::exchange(wakePending_, true);
}

void DisplayMailbox::take(const std::function<void(float)>& level,
                          const std::function<void(std::span<const float>)>& row) {
  std::size_t count = 0;
  {
    std::lock_guard lock(mutex_);
    count = count_;
    for (std::size_t i = 0; i < count; ++i) std::swap(taken_[i], entries_[(first_ + i) % kEntries]);
    first_ = 0;
    count_ = 0;
    wakePending_ = false;
  }
  for (std::size_t i = 0; i < count; ++i) {
    level(taken_[i].levelDb);
    if (taken_[i].hasRow) row(taken_[i].row);
  }
}
