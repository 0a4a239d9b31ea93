#include "modem/rkvol_sub.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "modem/rx_streams.h"

namespace {

// The facade's settings.
void run(const std::vector<std::int16_t>& buffer, int npts, int nsps = 384) {
  kvol::rkvol_sub_entry(buffer.data(), npts, nsps, 200, 2800, 1500.0f, 20.0f);
}

void reset() {
  const std::vector<std::int16_t> one(1, 0);
  run(one, 1);
}

// Silence keeps decoding cheap; the window bookkeeping is the same.
const std::vector<std::int16_t>& silence() {
  static const std::vector<std::int16_t> buffer(100000, 0);
  return buffer;
}

// Must stay the first test: it needs the process's untouched scheduler.
TEST(Scheduler, FirstCallOfTheProcessOnlyResets) {
  ASSERT_EQ(kvol::rkvol_saved_length(), 9'999'999);
  run(silence(), 40000);
  EXPECT_EQ(kvol::rkvol_saved_length(), 40000);
  EXPECT_EQ(kvol::rkvol_next_window(), 1);
  run(silence(), 40001);  // the next, longer call decodes from sample 1
  EXPECT_EQ(kvol::rkvol_next_window(), 1 + 3 * 5664);  // windows at 1, 5665 and 11329
}

TEST(Scheduler, DecodesEveryWindowTheBufferCompletes) {
  EXPECT_EQ(kvol::rkvol_step(384), 5664);
  EXPECT_EQ(kvol::rkvol_window(384), 28320);
  EXPECT_EQ(kvol::rkvol_window(240), 17700);
  EXPECT_EQ(kvol::rkvol_window(320), 23600);
  EXPECT_EQ(kvol::rkvol_window(480), 35400);

  reset();
  run(silence(), 28319);
  EXPECT_EQ(kvol::rkvol_next_window(), 1);
  run(silence(), 28320);
  EXPECT_EQ(kvol::rkvol_next_window(), 5665);
  run(silence(), 28320);  // the same length again: nothing new, and no reset
  EXPECT_EQ(kvol::rkvol_next_window(), 5665);
  EXPECT_EQ(kvol::rkvol_saved_length(), 1);

  reset();
  run(silence(), 33984);  // windows at 1 and 5665 in one call
  EXPECT_EQ(kvol::rkvol_next_window(), 11329);
}

TEST(Scheduler, IgnoresUnsupportedSymbolLengths) {
  reset();
  run(silence(), 50000, 256);
  EXPECT_EQ(kvol::rkvol_saved_length(), 1);
  EXPECT_EQ(kvol::rkvol_next_window(), 1);
  run(silence(), 50000, 480);
  EXPECT_EQ(kvol::rkvol_next_window(), 1 + 3 * 7080);
}

TEST(Scheduler, ResetForgetsStreamsButKeepsTheQueue) {
  reset();
  kvol::frame_decode_record frame;
  frame.frequency = 1500.0f;
  frame.time = 1.0f;
  frame.text = kvol::to_field<kvol::kMessageChars>("CQ TE");
  ASSERT_TRUE(kvol::start_stream(frame));
  ASSERT_EQ(kvol::active_streams().size(), 1u);
  const int queued = kvol::result_queue_state().count;
  ASSERT_GE(queued, 1);

  reset();
  EXPECT_TRUE(kvol::active_streams().empty());
  EXPECT_EQ(kvol::result_queue_state().count, queued);
  EXPECT_EQ(kvol::rkvol_next_window(), 1);
}

}  // namespace
