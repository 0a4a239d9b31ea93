// The capture thread's hand-off of levels and waterfall rows: everything put arrives in order
// with one wake-up per batch, and a main thread that falls a whole ring behind loses the oldest.
#include "chat/DisplayMailbox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(DisplayMailbox, HandsOverEverythingInOrderAcrossThreads) {
  DisplayMailbox mailbox;
  constexpr int kBlocks = 20000;
  std::atomic<int> wakes{0}, consumed{0};
  std::thread capture([&] {
    for (int i = 0; i < kBlocks; ++i) {
      // Within the ring: this part is about order, not about losing the oldest.
      while (i - consumed.load() >= 16) std::this_thread::yield();
      const std::vector<float> row{float(i), float(i)};
      wakes += mailbox.put(float(i), i % 3 == 0 ? row : std::span<const float>());
    }
  });
  std::vector<float> levels, rows;
  while (levels.size() < size_t(kBlocks)) {
    while (wakes.load() == 0) std::this_thread::yield();
    --wakes;
    mailbox.take([&](float db) { levels.push_back(db); },
                 [&](std::span<const float> row) { rows.push_back(row[0] + row[1]); });
    consumed = int(levels.size());
  }
  capture.join();
  for (int i = 0; i < kBlocks; ++i) ASSERT_EQ(levels[i], float(i));
  ASSERT_EQ(rows.size(), size_t((kBlocks + 2) / 3));
  for (size_t i = 0; i < rows.size(); ++i) ASSERT_EQ(rows[i], float(6 * i));

  const int count = int(DisplayMailbox::kEntries) + 5;
  int wakesBehind = 0;
  for (int i = 0; i < count; ++i) wakesBehind += mailbox.put(float(i), {});
  EXPECT_EQ(wakesBehind, 1);
  levels.clear();
  mailbox.take([&](float db) { levels.push_back(db); }, [](std::span<const float>) {});
  ASSERT_EQ(levels.size(), DisplayMailbox::kEntries);
  EXPECT_EQ(levels.front(), 5.0f);
  EXPECT_EQ(levels.back(), float(count - 1));
  EXPECT_TRUE(mailbox.put(0.0f, {}));  // taken: the next put wakes the main thread again
}

}  // namespace
