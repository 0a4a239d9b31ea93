#include "modem/rx_streams.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using kvol::frame_decode_record;

constexpr float T = 1.888f;  // frame length at nsps 384

frame_decode_record frame(float time, float frequency, std::string_view text, int join = 0,
                          int final = 0, int errors = 1) {
  frame_decode_record f;
  f.time = time;
  f.frequency = frequency;
  f.text = kvol::to_field<kvol::kMessageChars>(text);
  f.join_flag = join;
  f.final = final;
  f.snr = 30.0f;
  f.symbol_errors = errors;
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
    for (int i = 0; i < count; ++i)
      all.push_back({std::string(kvol::trimmed(out.text[i])), out.id[i], out.frequency[i],
                     out.complete[i] != 0});
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

// A continuation (n > 0) is due n = 1 to 3 frame lengths on, within 0.1 s, and may drift 10 Hz
// plus 3 Hz a further frame; a repeat of the same frame (-1) lies a whole number of quarter
// frames away (at most three), within 3 ms and 10 Hz; anything else is no match (0).
TEST_F(RxStreams, MatchesContinuationsAndRepeatsByTimeAndFrequency) {
  const struct {
    float d_t, d_f;
    int n;
  } cases[] = {{T, 9.9f, 1},          {T, 10.0f, 0},       {2 * T, 12.9f, 2},
               {2 * T, 13.0f, 0},     {3 * T, -15.9f, 3},  {3 * T, 16.0f, 0},
               {3 * T + 0.09f, 0, 3}, {T - 0.11f, 0, 0},   {4 * T, 0, 0},
               {1.5f * T, 0, 0},      {0, 9.0f, -1},       {0.25f * T + 0.002f, 0, -1},
               {0.5f * T, -9.0f, -1}, {-0.75f * T, 0, -1}, {0.25f * T + 0.004f, 0, 0},
               {0, 10.0f, 0}};
  kvol::rx_stream_record stream;
  stream.last_time = 10.0f;
  stream.frequency = 1500.0f;
  for (const auto& c : cases) {
    const auto got = kvol::match_stream(stream, frame(10.0f + c.d_t, 1500.0f + c.d_f, "X"), T);
    EXPECT_EQ(got.same ? -1 : got.match ? got.n : 0, c.n) << "dt " << c.d_t << " df " << c.d_f;
    EXPECT_TRUE(got.match || !got.same);
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
  const std::string a30(30, 'A'), a72(72, 'A'), a80(80, 'A');
  const struct {
    std::vector<Step> steps;
    std::string stored;
    int length;  // joining blanks are not counted
    std::string shown;
  } cases[] = {
      {{{"CQ", 1, 0}, {"DE", 1, 1}, {"K1ABC", 0, 1}}, "CQ DE K1ABC", 9, "CQ DE K1ABC"},
      {{{"599 TU", 0, 0}}, "~599 TU", 7, "599 TU"},
      // Two frames lost; the frame's own leading "~" is dropped after the marker.
      {{{"HELLO", 1, 0}, {"WORLD", 0, 1}, {"~AGN", 0, 3}, {"~73", 0, 1}},
       "HELLO WORLD~~~~~AGN~73",
       21,
       "HELLO WORLD ... AGN 73"},
      {{{a30, 0, 0}, {a30, 0, 1}, {a30, 0, 1}, {a30, 0, 1}, {"BBB", 0, 3}}, a80, 80, a80},
      {{{a72, 0, 0}, {"BCDEFG", 0, 2}}, a72 + "~~~~~BCD", 80, a72 + " ... BCD"},
  };
  for (const auto& c : cases) {
    kvol::reset_streams();
    float time = 0.0f;
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      const Step& step = c.steps[i];
      time += step.gap * T;
      const auto f = frame(time, 1500.0f + i, step.text, step.join);
      ASSERT_TRUE(i == 0 ? kvol::start_stream(f) : kvol::extend_stream(0, f, step.gap));
    }
    const kvol::rx_stream_record& stream = kvol::active_streams()[0];
    EXPECT_EQ(kvol::trimmed(stream.text), c.stored);
    EXPECT_EQ(stream.text_length, c.length) << c.stored;
    EXPECT_EQ(stream.symbol_errors, static_cast<int>(c.steps.size()));
    EXPECT_EQ(stream.symbols_checked, static_cast<int>(c.steps.size()) * 59);
    const auto drained = drain_all();
    ASSERT_EQ(drained.size(), 1u);  // one record per stream, updated while undrained
    EXPECT_EQ(drained[0].text, c.shown);
    EXPECT_EQ(drained[0].frequency, 1500.0f);  // every frame read as strong as the first
  }
  // A marker at the start loses its leading blank.
  const std::pair<std::string, std::string> outputs[] = {
      {"~~~~~X", "... X"}, {"~~~~~~X", "...  X"}, {"AB~~~~", "AB"}, {"", ""}};
  for (const auto& [stored, shown] : outputs)
    EXPECT_EQ(kvol::trimmed(kvol::copy_text80(stored)), shown) << stored;
  EXPECT_EQ(kvol::copy_text80(std::string(90, 'Z')).size(), 80u);
}

// At thirty streams a new frame is dropped unless it is final: that one is reported complete and
// never kept. A dropped frame is not remembered, so a later window may find it again.
TEST_F(RxStreams, AtThirtyStreamsOnlyFinalFramesPass) {
  for (int i = 0; i < kvol::kMaxStreams; ++i)
    ASSERT_TRUE(kvol::start_stream(frame(0.0f, 300.0f + 50.0f * i, "S")));
  const auto refused = frame(0.5f, 2900.0f, "NEW");
  EXPECT_FALSE(kvol::start_stream(refused));
  EXPECT_FALSE(kvol::is_recent_decode(refused));
  EXPECT_TRUE(kvol::start_stream(frame(0.5f, 2950.0f, "END", 0, 1)));
  EXPECT_EQ(kvol::active_streams().size(), std::size_t(kvol::kMaxStreams));
  const auto drained = drain_all();
  ASSERT_EQ(drained.size(), 31u);
  EXPECT_TRUE(drained.back().text == "END" && drained.back().complete);
  EXPECT_FALSE(drained.front().complete);
  EXPECT_FALSE(kvol::extend_stream(kvol::kMaxStreams, frame(T, 300.0f, "X"), 1));
}

// A stream ends, incomplete, once more than 3 T + 0.1 s passed since its last frame at the start
// (t - 0.75 T) of the window; recent decodes older than that start - 0.05 s are forgotten.
TEST_F(RxStreams, SilentStreamsExpireAsIncomplete) {
  ASSERT_TRUE(kvol::start_stream(frame(1.0f, 1000.0f, "OLD")));
  ASSERT_TRUE(kvol::start_stream(frame(1.0f, 1200.0f, "OLD2")));
  ASSERT_TRUE(kvol::start_stream(frame(7.0f, 1500.0f, "NEWER")));
  drain_all();
  const float edge = 1.0f + 3 * T + 0.1f + 0.75f * T;
  kvol::expire_streams(edge - 0.01f, T);
  EXPECT_EQ(kvol::active_streams().size(), 3u);
  EXPECT_TRUE(drain_all().empty());
  kvol::expire_streams(edge + 0.01f, T);
  ASSERT_EQ(kvol::active_streams().size(), 1u);
  EXPECT_EQ(kvol::trimmed(kvol::active_streams()[0].text), "NEWER");
  const auto drained = drain_all();
  ASSERT_EQ(drained.size(), 2u);
  EXPECT_FALSE(drained[0].complete || drained[1].complete);
  EXPECT_FALSE(kvol::is_recent_decode(frame(1.0f, 1000.0f, "")));
  EXPECT_TRUE(kvol::is_recent_decode(frame(7.0f, 1500.0f, "")));
}

// Recent decodes lie within 12 Hz and 50 ms. A reset forgets them and the streams, but the queue
// and the ids go on.
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
// read several Hz off and the next as far the other way. A damaged continuation still joins, and
// a lone frame as weak as noise reads is shown only once a frame continues it.
TEST_F(RxStreams, KeepsNoiseOutAndDriftingReadingsTogether) {
  kvol::expire_streams(0.0f, T);
  EXPECT_FALSE(kvol::start_stream(frame(0.0f, 1500.0f, "TU 2B1HTI CQ", 0, 1, 30)));
  auto edge = frame(1.0f, 1507.6f, "SK 73", 0, 0, 29);
  edge.snr = 10.0f;
  ASSERT_TRUE(kvol::start_stream(edge));
  EXPECT_FALSE(kvol::start_stream(frame(1.0f + T - 0.11f, 1520.0f, "TU 3Y3OGV CQ", 0, 1)));
  EXPECT_TRUE(kvol::is_recent_decode(frame(1.007f, 1499.9f, "SK 73")));
  const auto match = kvol::match_stream(kvol::active_streams()[0], frame(1.0f + T, 1492.9f, ""), T);
  ASSERT_TRUE(match.match && !match.same);
  EXPECT_TRUE(kvol::extend_stream(0, frame(1.0f + 2 * T, 1500.0f, "GL", 0, 1, 35), 2));
  EXPECT_EQ(drain_all().size(), 1u);
  ASSERT_TRUE(kvol::start_stream(frame(9.0f, 800.0f, "BI8NPC", 0, 0, 15)));
  kvol::expire_streams(9.0f + 5 * T, T);
  EXPECT_TRUE(drain_all().empty());
}

}  // namespace
