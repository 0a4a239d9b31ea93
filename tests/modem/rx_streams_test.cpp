#include "modem/rx_streams.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using kvol::frame_decode_record;
using kvol::rx_stream_record;

constexpr float T = 1.888f;  // frame length at nsps 384

frame_decode_record frame(float time, float frequency, std::string_view text, int join = 0,
                          int final = 0) {
  frame_decode_record f;
  f.time = time;
  f.frequency = frequency;
  f.text = kvol::to_field<kvol::kMessageChars>(text);
  f.join_flag = join;
  f.final = final;
  f.snr = 30.0f;
  f.symbol_errors = 1;
  f.symbols_checked = 59;
  return f;
}

struct Drained {
  std::string text;
  std::int64_t id;
  float frequency;
  bool complete;
};

std::vector<Drained> drain_all() {
  std::vector<Drained> all;
  kvol::rkvol_decodes out;
  int count;
  do {
    count = kvol::rkvol_take_decodes(out);
    for (int i = 0; i < count; ++i) {
      all.push_back({std::string(kvol::trimmed(out.text[i])), out.id[i], out.frequency[i],
                     out.complete[i] != 0});
    }
  } while (count == kvol::kDecodeBatch);
  return all;
}

class RxStreams : public ::testing::Test {
 protected:
  void SetUp() override {
    kvol::reset_streams();
    drain_all();
  }
};

struct MatchCase {
  float d_t;
  float d_f;
  bool match;
  bool same;
  int n;
};

TEST_F(RxStreams, MatchesContinuationsAndRepeatsByTimeAndFrequency) {
  const MatchCase cases[] = {
      {T, 9.9f, true, false, 1},
      {T, 10.0f, false, false, 1},
      {2 * T, 12.9f, true, false, 2},
      {2 * T, 13.0f, false, false, 1},
      {3 * T, -15.9f, true, false, 3},
      {3 * T, 16.0f, false, false, 1},
      {3 * T + 0.09f, 0.0f, true, false, 3},
      {T - 0.11f, 0.0f, false, false, 1},
      {4 * T, 0.0f, false, false, 1},
      {1.5f * T, 0.0f, false, false, 1},
      {0.0f, 9.0f, true, true, 1},
      {0.25f * T + 0.002f, 0.0f, true, true, 1},
      {0.5f * T, -9.0f, true, true, 1},
      {-0.75f * T, 0.0f, true, true, 1},
      {0.25f * T + 0.004f, 0.0f, false, false, 1},
      {0.0f, 10.0f, false, false, 1},
  };
  rx_stream_record stream;
  stream.last_time = 10.0f;
  stream.frequency = 1500.0f;
  for (const auto& c : cases) {
    const auto got = kvol::match_stream(stream, frame(10.0f + c.d_t, 1500.0f + c.d_f, "X"), T);
    EXPECT_EQ(got.match, c.match) << "dt " << c.d_t << " df " << c.d_f;
    EXPECT_EQ(got.same, c.same) << "dt " << c.d_t << " df " << c.d_f;
    EXPECT_EQ(got.n, c.n) << "dt " << c.d_t << " df " << c.d_f;
  }
}

// A stream's stored text: blanks where the join flag says, "~" before a report at the start
// (read plain on output), gap markers (" ... " on output), and never more than 80 characters
// while the updates go on.
TEST_F(RxStreams, StoredTextJoinsFramesUpToEightyCharacters) {
  struct Step {
    std::string text;
    int join;
    int gap;  // frame lengths since the previous frame
  };
  struct Case {
    std::vector<Step> steps;
    std::string stored;
    int length;  // joining blanks are not counted
    std::string shown;
  };
  const std::string a30(30, 'A');
  const Case cases[] = {
      {{{"CQ", 1, 0}, {"DE", 1, 1}, {"K1ABC", 0, 1}}, "CQ DE K1ABC", 9, "CQ DE K1ABC"},
      {{{"599 TU", 0, 0}}, "~599 TU", 7, "599 TU"},
      // Two frames lost; the frame's own leading "~" is dropped after the marker.
      {{{"HELLO", 1, 0}, {"WORLD", 0, 1}, {"~AGN", 0, 3}, {"~73", 0, 1}},
       "HELLO WORLD~~~~~AGN~73",
       -1,
       "HELLO WORLD ... AGN 73"},
      {{{a30, 0, 0}, {a30, 0, 1}, {a30, 0, 1}, {a30, 0, 1}, {"BBB", 0, 3}},
       std::string(80, 'A'),
       80,
       std::string(80, 'A')},
      {{{std::string(72, 'A'), 0, 0}, {"BCDEFG", 0, 2}},
       std::string(72, 'A') + "~~~~~BCD",
       80,
       std::string(72, 'A') + " ... BCD"},
  };
  for (const Case& c : cases) {
    kvol::reset_streams();
    float time = 0.0f;
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      const Step& step = c.steps[i];
      time += step.gap * T;
      const auto f = frame(time, 1500.0f + i, step.text, step.join);
      ASSERT_TRUE(i == 0 ? kvol::start_stream(f) : kvol::extend_stream(0, f, step.gap));
    }
    const rx_stream_record& stream = kvol::active_streams()[0];
    EXPECT_EQ(kvol::trimmed(stream.text), c.stored);
    if (c.length >= 0) {
      EXPECT_EQ(stream.text_length, c.length) << c.stored;
    }
    EXPECT_EQ(stream.symbol_errors, static_cast<int>(c.steps.size()));
    EXPECT_EQ(stream.symbols_checked, static_cast<int>(c.steps.size()) * 59);
    const auto drained = drain_all();
    ASSERT_EQ(drained.size(), 1u);  // one record per stream, updated while undrained
    EXPECT_EQ(drained[0].text, c.shown);
    EXPECT_EQ(drained[0].frequency, 1500.0f);  // every frame read as strong as the first
  }
}

// A final frame is reported complete and never kept, so it passes even the thirtieth stream.
TEST_F(RxStreams, AtThirtyStreamsNewNonFinalFramesAreDropped) {
  for (int i = 0; i < kvol::kMaxStreams; ++i) {
    ASSERT_TRUE(kvol::start_stream(frame(0.0f, 300.0f + 50.0f * i, "S")));
  }
  const auto refused = frame(0.5f, 2900.0f, "NEW");
  EXPECT_FALSE(kvol::start_stream(refused));
  EXPECT_FALSE(kvol::is_recent_decode(refused));  // a later window may find it again
  EXPECT_TRUE(kvol::start_stream(frame(0.5f, 2950.0f, "END", 0, 1)));
  EXPECT_EQ(kvol::active_streams().size(), std::size_t(kvol::kMaxStreams));
  const auto drained = drain_all();
  ASSERT_EQ(drained.size(), 31u);
  EXPECT_EQ(drained.back().text, "END");
  EXPECT_TRUE(drained.back().complete);
  EXPECT_FALSE(drained.front().complete);
  EXPECT_FALSE(kvol::extend_stream(kvol::kMaxStreams, frame(T, 300.0f, "X"), 1));
}

TEST_F(RxStreams, SilentStreamsExpireAsIncomplete) {
  ASSERT_TRUE(kvol::start_stream(frame(1.0f, 1000.0f, "OLD")));
  ASSERT_TRUE(kvol::start_stream(frame(1.0f, 1200.0f, "OLD2")));
  ASSERT_TRUE(kvol::start_stream(frame(7.0f, 1500.0f, "NEWER")));
  drain_all();
  // t0 = t - 0.75 T; a stream ends when t0 - last_time > 3 T + 0.1.
  const float edge = 1.0f + 3 * T + 0.1f + 0.75f * T;
  kvol::expire_streams(edge - 0.01f, T);
  EXPECT_EQ(kvol::active_streams().size(), 3u);
  EXPECT_TRUE(drain_all().empty());

  kvol::expire_streams(edge + 0.01f, T);
  ASSERT_EQ(kvol::active_streams().size(), 1u);
  EXPECT_EQ(kvol::trimmed(kvol::active_streams()[0].text), "NEWER");
  const auto drained = drain_all();
  ASSERT_EQ(drained.size(), 2u);
  EXPECT_FALSE(drained[0].complete);
  EXPECT_FALSE(drained[1].complete);
  // Recent decodes older than t0 - 0.05 are forgotten too.
  EXPECT_FALSE(kvol::is_recent_decode(frame(1.0f, 1000.0f, "")));
  EXPECT_TRUE(kvol::is_recent_decode(frame(7.0f, 1500.0f, "")));
}

// Recent decodes lie within 12 Hz and 50 ms.
TEST_F(RxStreams, ResetForgetsStreamsAndRecentDecodesButKeepsQueueAndIds) {
  ASSERT_TRUE(kvol::start_stream(frame(0.0f, 1500.0f, "A")));
  kvol::remember_decode(frame(10.0f, 1000.0f, ""));
  EXPECT_TRUE(kvol::is_recent_decode(frame(10.0f, 1011.9f, "")));
  EXPECT_TRUE(kvol::is_recent_decode(frame(10.049f, 988.1f, "")));
  EXPECT_FALSE(kvol::is_recent_decode(frame(10.0f, 1012.0f, "")));
  EXPECT_FALSE(kvol::is_recent_decode(frame(10.051f, 1000.0f, "")));
  EXPECT_TRUE(kvol::is_recent_decode(frame(0.0f, 1500.0f, "")));
  kvol::reset_streams();
  EXPECT_TRUE(kvol::active_streams().empty());
  EXPECT_FALSE(kvol::is_recent_decode(frame(0.0f, 1500.0f, "")));
  ASSERT_TRUE(kvol::start_stream(frame(0.0f, 1500.0f, "B")));
  const auto drained = drain_all();
  ASSERT_EQ(drained.size(), 2u);
  EXPECT_EQ(drained[1].id, drained[0].id + 1);
}

// What a clean channel showed wrongly: a lone frame mostly in error, and a misaligned read of a
// strong signal, each taken for a message; and a message split where a frame at a window's end
// read several Hz off and the next as far the other way. A damaged continuation still joins.
TEST_F(RxStreams, KeepsNoiseOutAndDriftingReadingsTogether) {
  kvol::expire_streams(0.0f, T);
  auto noise = frame(0.0f, 1500.0f, "TU 2B1HTI CQ", 0, 1);
  noise.symbol_errors = 30;
  EXPECT_FALSE(kvol::start_stream(noise));
  auto edge = frame(1.0f, 1507.6f, "SK 73");
  edge.symbol_errors = 29;
  edge.snr = 10.0f;
  ASSERT_TRUE(kvol::start_stream(edge));
  EXPECT_FALSE(kvol::start_stream(frame(1.0f + T - 0.11f, 1520.0f, "TU 3Y3OGV CQ", 0, 1)));
  EXPECT_TRUE(kvol::is_recent_decode(frame(1.007f, 1499.9f, "SK 73")));
  const auto next = frame(1.0f + T, 1492.9f, "TU");
  const kvol::stream_match match = kvol::match_stream(kvol::active_streams()[0], next, T);
  ASSERT_TRUE(match.match && !match.same);
  auto damaged = frame(1.0f + 2 * T, 1500.0f, "GL", 0, 1);
  damaged.symbol_errors = 35;
  EXPECT_TRUE(kvol::extend_stream(0, damaged, 2));
  EXPECT_EQ(drain_all().size(), 1u);
  // A lone frame as weak as noise reads is shown only once a frame continues it.
  auto weak = frame(9.0f, 800.0f, "BI8NPC");
  weak.symbol_errors = 15;
  ASSERT_TRUE(kvol::start_stream(weak));
  kvol::expire_streams(9.0f + 5 * T, T);
  EXPECT_TRUE(drain_all().empty());
}

TEST(CopyText80, FormatsStoredTextForOutput) {
  const std::pair<std::string, std::string> cases[] = {
      {"AB~~~~~CD", "AB ... CD"}, {"~599 TU", "599 TU"}, {"A~B~C", "A B C"},
      {"~~~~~X", "... X"},  // the marker's leading blank is dropped with the rest
      {"~~~~~~X", "...  X"},      {"AB~~~~", "AB"},      {"", ""},
  };
  for (const auto& [stored, shown] : cases) {
    EXPECT_EQ(kvol::trimmed(kvol::copy_text80(stored)), shown) << stored;
  }
  EXPECT_EQ(kvol::copy_text80(std::string(90, 'Z')).size(), 80u);
}

}  // namespace
