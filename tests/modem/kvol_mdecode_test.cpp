// Decoding of one analysis window and its debug listing, on frames made by the transmitter and
// received over a noisy channel.
#include "modem/kvol_mdecode.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "kvol_channel.h"
#include "modem/KvolDecoder.h"
#include "modem/rkvol_sub.h"
#include "modem/rx_streams.h"

namespace {

constexpr int kNsps = 384;
constexpr double kSigma = 1000.0;

// "CQ TEST K1ABC", three frames at 1500 Hz, the first starting 0.2 s into the audio.
std::vector<std::int16_t> received_message() {
  KvolDecoder encoder;
  const KvolDecoder::Encoded sent = encoder.encode("CQ TEST K1ABC", 1500.0f);
  EXPECT_TRUE(sent.ok);
  kvol_channel::Channel channel(8 * kvol_channel::kRate);
  channel.add_signal(kvol_channel::decimate_48k_to_12k(sent.samples), 2400, 5.0, kSigma);
  channel.add_noise(kSigma, 7);
  return channel.quantised();
}

std::vector<kvol::rx_message_record> drain() {
  std::vector<kvol::rx_message_record> records;
  kvol::rkvol_decodes out;
  int count = 0;
  do {
    count = kvol::rkvol_take_decodes(out);
    for (int i = 0; i < count; ++i)
      records.push_back({out.id[i], out.frequency[i], out.start_time[i], out.text[i],
                         out.complete[i] != 0, out.snr[i], out.symbol_errors[i],
                         out.symbols_checked[i]});
  } while (count == kvol::kDecodeBatch);
  return records;
}

// What the first window of the audio prints at that debug setting, and what it queued.
std::string listing_of_first_window(const std::vector<std::int16_t>& audio, int debug,
                                    std::vector<kvol::rx_message_record>& queued) {
  drain();
  testing::internal::CaptureStdout();
  kvol::decode_block(1, 1, audio.data(), kvol::rkvol_window(kNsps), kNsps, debug, 200, 2800,
                     1500.0f, 20.0f, 4.6f);
  std::string printed = testing::internal::GetCapturedStdout();
  queued = drain();
  return printed;
}

// The line formats "(i4,2x,a)" and "(6i4,2L3,f7.1,f7.3,f9.3,i5,i4,i4,2x,a)", the numbers checked
// against the frame the streams queued: the window starts at sample 1, so dt is the frame's time.
TEST(DecodeListing, PrintsTheShortLineAtZeroTheLongLineAboveAndNothingBelow) {
  const std::vector<std::int16_t> audio = received_message();
  std::vector<kvol::rx_message_record> queued;

  EXPECT_EQ(listing_of_first_window(audio, -1, queued), "");
  ASSERT_EQ(queued.size(), 1u) << "the first frame, decoded all the same";

  const std::string shortLine = listing_of_first_window(audio, 0, queued);
  ASSERT_EQ(queued.size(), 1u);
  const kvol::rx_message_record frame = queued[0];
  const std::string text(frame.text.data(), frame.text.size());
  ASSERT_TRUE(text.starts_with("CQ ")) << text;
  EXPECT_NEAR(frame.frequency, 1500.0f, 3.0f);
  EXPECT_EQ(frame.symbol_errors, 0);
  char expected[256];
  std::snprintf(expected, sizeof expected, "%4ld  %s\n", std::lround(frame.frequency),
                text.c_str());
  EXPECT_EQ(shortLine, expected);
  EXPECT_EQ(shortLine.size(), 4u + 2u + 80u + 1u);

  const std::string longLine = listing_of_first_window(audio, 1, queued);
  ASSERT_EQ(queued.size(), 1u);
  // Pass 0, its first iteration and first candidate, the period's first decode, which started
  // stream 1 of 1; no stream matched, no re-decode; all 13 sync tones right.
  std::snprintf(expected, sizeof expected,
                "   0   1   1   1   1   1  F  F%7.1f%7.3f%9.3f%5ld  13   0  %s\n", frame.frequency,
                frame.start_time, frame.start_time, std::lround(frame.snr - 20.0f), text.c_str());
  EXPECT_EQ(longLine, expected);
  EXPECT_EQ(longLine.size(), 6u * 4 + 2 * 3 + 7 + 7 + 9 + 5 + 4 + 4 + 2 + 80 + 1);
}

// The program's own decoder lists nothing while it decodes.
TEST(DecodeListing, TheFacadePrintsNothing) {
  const std::vector<std::int16_t> audio = received_message();
  KvolDecoder decoder;
  std::string text;
  decoder.onMessageUpdated = [&](const KvolDecoder::Update& u) {
    if (u.isComplete) text = u.text;
  };
  testing::internal::CaptureStdout();
  for (std::size_t i = 0; i < audio.size(); i += 2048) {
    decoder.append(std::span(audio).subspan(i, std::min<std::size_t>(2048, audio.size() - i)));
    decoder.decodePending();
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(text, "CQ TEST K1ABC");
}

}  // namespace
