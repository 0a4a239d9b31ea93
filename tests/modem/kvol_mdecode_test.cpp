#include "modem/kvol_mdecode.h"

#include <gtest/gtest.h>

#include <array>
#include <complex>
#include <cstdint>
#include <random>
#include <vector>

#include "modem/gen_kvolwave.h"
#include "modem/kvol_constants.h"
#include "modem/kvol_sync_search.h"
#include "modem/kvol_tbcc_encoder.h"
#include "modem/rx_streams.h"

namespace {

using Complex = std::complex<float>;

constexpr int kNsps6 = 192;
constexpr int kWindow6 = 14160;

// One frame of random payload at 6000 Hz, tone 0 at f0, starting at sample `start`.
std::vector<Complex> frame_signal(float f0, int start, float noise_sigma, unsigned seed) {
  std::mt19937 rng(seed);
  kvol::PayloadBits bits{};
  for (auto& b : bits) b = rng() & 1;
  bits[32] = 0;
  const kvol::DataSymbols data = kvol::tbcc_encode(bits);
  std::vector<std::int32_t> tones(kvol::kSyncTones.begin(), kvol::kSyncTones.end());
  tones.insert(tones.end(), data.begin(), data.end());
  std::vector<Complex> wave(59 * kNsps6);
  kvol::gen_kvolwave(tones, kNsps6, 2.0f, 6000.0f, f0, wave);
  std::vector<Complex> x(kWindow6);
  std::normal_distribution<float> g(0.0f, noise_sigma);
  for (auto& v : x) v = {g(rng), g(rng)};
  for (std::size_t i = 0; i < wave.size(); ++i) x[start + i] += wave[i];
  return x;
}

TEST(FineSync, FindsTheFrameStartAndFrequency) {
  kvol::set_sync_geometry(kNsps6);
  for (const float offset : {-1.7f, 0.3f, 2.2f}) {
    const auto x = frame_signal(1500.0f + offset, 730, 0.0f, 1);
    float t = 0.0f, f = 0.0f;
    kvol::fine_sync(x, kNsps6, 732.0f / 6000.0f, 1500.0f, t, f);
    EXPECT_NEAR(t * 6000.0f, 730.0f, 2.0f) << offset;
    EXPECT_NEAR(f, 1500.0f + offset, 0.6f) << offset;
    // Without noise the summed powers peak at the frame too, if less sharply in frequency.
    const kvol::FineSync sync = kvol::fine_sync(x, kNsps6, 732.0f / 6000.0f, 1500.0f);
    EXPECT_FLOAT_EQ(sync.t, t) << offset;
    EXPECT_FLOAT_EQ(sync.f, f) << offset;
    EXPECT_NEAR(sync.power_t * 6000.0f, 730.0f, 4.0f) << offset;
    EXPECT_NEAR(sync.power_f, 1500.0f + offset, 1.0f) << offset;
  }
}

TEST(FineSync, StaysWithinItsSearchRangeAtTheWindowEdges) {
  kvol::set_sync_geometry(kNsps6);
  const auto x = frame_signal(1500.0f, 0, 0.0f, 2);
  float t = -1.0f, f = 0.0f;
  kvol::fine_sync(x, kNsps6, 0.0f, 1500.0f, t, f);
  EXPECT_GE(t, 0.0f);
  EXPECT_LE(t * 6000.0f, 24.0f);
  const kvol::FineSync sync = kvol::fine_sync(x, kNsps6, 0.0f, 1500.0f);
  EXPECT_GE(sync.power_t, 0.0f);
  EXPECT_LE(sync.power_t * 6000.0f, 24.0f);
  // A stretch too short for the sync symbols leaves the candidate as it was.
  const std::vector<Complex> shortSignal(1000);
  kvol::fine_sync(shortSignal, kNsps6, 0.01f, 1234.0f, t, f);
  EXPECT_FLOAT_EQ(t, 0.01f);
  EXPECT_FLOAT_EQ(f, 1234.0f);
}

// A window of silence is skipped before any work and leaves the streams alone.
TEST(DecodeBlock, SilentWindowLeavesStreamsUntouched) {
  kvol::reset_streams();
  kvol::frame_decode_record frame;
  frame.frequency = 1500.0f;
  frame.text = kvol::to_field<kvol::kMessageChars>("CQ TE");
  ASSERT_TRUE(kvol::start_stream(frame));
  const std::vector<std::int16_t> silence(28320, 0);
  kvol::decode_block(5665, 1, silence.data(), 28320, 384, -1, 200, 2800, 1500.0f, 20.0f, 4.6f);
  EXPECT_EQ(kvol::active_streams().size(), 1u);
  EXPECT_TRUE(kvol::redecode_list().empty());
}

}  // namespace
