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
  float snr;
  int symbol_errors;
  int symbols_checked;
};

std::vector<Drained> drain_all() {
  std::vector<Drained> all;
  kvol::rkvol_decodes out;
  int count;
  do {
    count = kvol::rkvol_take_decodes(out);
    for (int i = 0; i < count; ++i) {
      all.push_back({std::string(kvol::trimmed(out.text[i])), out.id[i], out.frequency[i],
                     out.complete[i] != 0, out.snr[i], out.symbol_errors[i],
                     out.symbols_checked[i]});
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

TEST_F(RxStreams, JoinsFramesWithBlanksAndMarksGaps) {
  ASSERT_TRUE(kvol::start_stream(frame(1.0f, 1500.0f, "HELLO", 1)));
  ASSERT_TRUE(kvol::extend_stream(0, frame(1.0f + T, 1501.0f, "WORLD"), 1));
  // Two frames lost; the frame's own leading "~" is dropped after the marker.
  ASSERT_TRUE(kvol::extend_stream(0, frame(1.0f + 4 * T, 1502.0f, "~AGN"), 3));
  EXPECT_EQ(kvol::trimmed(kvol::active_streams()[0].text), "HELLO WORLD~~~~~AGN");
  ASSERT_TRUE(kvol::extend_stream(0, frame(1.0f + 5 * T, 1503.0f, "~73", 0, 1), 1));
  EXPECT_TRUE(kvol::active_streams().empty());

  const auto drained = drain_all();
  ASSERT_EQ(drained.size(), 1u);  // one stream, updated in place while undrained
  EXPECT_EQ(drained[0].text, "HELLO WORLD ... AGN 73");
  EXPECT_TRUE(drained[0].complete);
  EXPECT_EQ(drained[0].frequency, 1503.0f);
  EXPECT_EQ(drained[0].symbol_errors, 4);
  EXPECT_EQ(drained[0].symbols_checked, 4 * 59);
}

TEST_F(RxStreams, JoinFlagPutsABlankBeforeTheNextFrame) {
  ASSERT_TRUE(kvol::start_stream(frame(0.0f, 1500.0f, "CQ", 1)));
  ASSERT_TRUE(kvol::extend_stream(0, frame(T, 1500.0f, "DE", 1), 1));
  ASSERT_TRUE(kvol::extend_stream(0, frame(2 * T, 1500.0f, "K1ABC", 0), 1));
  EXPECT_EQ(kvol::trimmed(kvol::active_streams()[0].text), "CQ DE K1ABC");
  EXPECT_EQ(kvol::active_streams()[0].text_length, 9);  // joining blanks are not counted
}

TEST_F(RxStreams, ReportAtTheStartIsMarkedAndReadsPlainOnOutput) {
  ASSERT_TRUE(kvol::start_stream(frame(0.0f, 1500.0f, "599 TU")));
  EXPECT_EQ(kvol::trimmed(kvol::active_streams()[0].text), "~599 TU");
  const auto drained = drain_all();
  ASSERT_EQ(drained.size(), 1u);
  EXPECT_EQ(drained[0].text, "599 TU");
}

TEST_F(RxStreams, SingleFinalFrameIsReportedCompleteAndForgotten) {
  ASSERT_TRUE(kvol::start_stream(frame(0.0f, 1500.0f, "TEST", 0, 1)));
  EXPECT_TRUE(kvol::active_streams().empty());
  const auto drained = drain_all();
  ASSERT_EQ(drained.size(), 1u);
  EXPECT_TRUE(drained[0].complete);
  EXPECT_EQ(drained[0].text, "TEST");
}

TEST_F(RxStreams, TextStopsAt80CharactersWhileUpdatesContinue) {
  const std::string chunk(30, 'A');
  ASSERT_TRUE(kvol::start_stream(frame(0.0f, 1500.0f, chunk)));
  for (int k = 1; k <= 3; ++k) {
    ASSERT_TRUE(kvol::extend_stream(0, frame(k * T, 1500.0f + k, chunk), 1));
  }
  // A gap marker with no room left must not push the count past the field.
  ASSERT_TRUE(kvol::extend_stream(0, frame(6 * T, 1510.0f, "BBB"), 3));
  const rx_stream_record& stream = kvol::active_streams()[0];
  EXPECT_EQ(kvol::trimmed(stream.text), std::string(80, 'A'));
  EXPECT_EQ(stream.text_length, 80);
  EXPECT_EQ(stream.frequency, 1510.0f);
  EXPECT_EQ(stream.symbols_checked, 5 * 59);
  const auto drained = drain_all();
  ASSERT_EQ(drained.size(), 1u);
  EXPECT_EQ(drained[0].frequency, 1510.0f);
  EXPECT_EQ(drained[0].text.size(), 80u);
}

TEST_F(RxStreams, GapNearTheEndKeepsOnlyWhatFits) {
  ASSERT_TRUE(kvol::start_stream(frame(0.0f, 1500.0f, std::string(72, 'A'))));
  ASSERT_TRUE(kvol::extend_stream(0, frame(2 * T, 1500.0f, "BCDEFG"), 2));
  EXPECT_EQ(kvol::trimmed(kvol::active_streams()[0].text), std::string(72, 'A') + "~~~~~BCD");
  EXPECT_EQ(kvol::active_streams()[0].text_length, 80);
}

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

TEST_F(RxStreams, RecentDecodesAreWithin12HzAnd50Ms) {
  kvol::remember_decode(frame(10.0f, 1000.0f, ""));
  EXPECT_TRUE(kvol::is_recent_decode(frame(10.0f, 1011.9f, "")));
  EXPECT_TRUE(kvol::is_recent_decode(frame(10.049f, 988.1f, "")));
  EXPECT_FALSE(kvol::is_recent_decode(frame(10.0f, 1012.0f, "")));
  EXPECT_FALSE(kvol::is_recent_decode(frame(10.051f, 1000.0f, "")));
}

TEST_F(RxStreams, ResetForgetsStreamsAndRecentDecodesButKeepsQueueAndIds) {
  ASSERT_TRUE(kvol::start_stream(frame(0.0f, 1500.0f, "A")));
  kvol::remember_decode(frame(0.0f, 1000.0f, ""));
  kvol::reset_streams();
  EXPECT_TRUE(kvol::active_streams().empty());
  EXPECT_FALSE(kvol::is_recent_decode(frame(0.0f, 1000.0f, "")));
  ASSERT_TRUE(kvol::start_stream(frame(0.0f, 1500.0f, "B")));
  const auto drained = drain_all();
  ASSERT_EQ(drained.size(), 2u);
  EXPECT_EQ(drained[1].id, drained[0].id + 1);
}

// 65 results drain in three batches in the order queued, whether the queue grew or moved a
// partly drained remainder to the front; entries past a batch's count are cleared.
TEST_F(RxStreams, QueueDrainsInOrderInBatchesOf30) {
  kvol::rkvol_decodes out;
  for (int i = 0; i < 31; ++i) kvol::start_stream(frame(0.0f, 100.0f * i, "F", 0, 1));
  ASSERT_EQ(kvol::rkvol_take_decodes(out), 30);
  EXPECT_EQ(out.frequency[29], 2900.0f);
  for (int i = 0; i < 64; ++i) kvol::start_stream(frame(0.0f, 10.0f * i, "G", 0, 1));
  EXPECT_EQ(kvol::rkvol_take_decodes(out), 30);
  EXPECT_EQ(kvol::trimmed(out.text[0]), "F");
  EXPECT_EQ(kvol::trimmed(out.text[1]), "G");
  for (int i = 1; i < 30; ++i) EXPECT_EQ(out.id[i], out.id[i - 1] + 1);
  EXPECT_EQ(kvol::rkvol_take_decodes(out), 30);
  EXPECT_EQ(kvol::rkvol_take_decodes(out), 5);
  EXPECT_EQ(out.frequency[4], 630.0f);
  EXPECT_EQ(out.id[5], 0);
  EXPECT_EQ(kvol::trimmed(out.text[5]), "");
  EXPECT_EQ(kvol::rkvol_take_decodes(out), 0);
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
