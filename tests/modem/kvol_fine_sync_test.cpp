#include "modem/kvol_fine_sync.h"

#include <gtest/gtest.h>

#include <complex>
#include <cstdint>
#include <random>
#include <vector>

#include "modem/gen_kvolwave.h"
#include "modem/kvol_constants.h"
#include "modem/kvol_sync_search.h"
#include "modem/kvol_tbcc_encoder.h"

namespace {

using Complex = std::complex<float>;

constexpr int kNsps6 = 192;

// One noiseless frame of random payload at 6000 Hz, tone 0 at f0, starting at sample `start` of
// the facade's window.
std::vector<Complex> frame_signal(float f0, int start) {
  std::mt19937 rng(1);
  kvol::PayloadBits bits{};
  for (auto& b : bits) b = rng() & 1;
  bits[kvol::kAtomWordBits] = 0;
  const kvol::DataSymbols data = kvol::tbcc_encode(bits);
  std::vector<std::int32_t> tones(kvol::kSyncTones.begin(), kvol::kSyncTones.end());
  tones.insert(tones.end(), data.begin(), data.end());
  std::vector<Complex> x(14160);
  kvol::gen_kvolwave(tones, kNsps6, kvol::kTxBt, kvol::kRxSignalRate, f0,
                     std::span(x).subspan(start, kvol::kSymbolsPerFrame * kNsps6));
  return x;
}

TEST(FineSync, FindsTheFrameStartAndFrequencyWithinItsSearchBox) {
  kvol::set_sync_geometry(kNsps6);
  const struct {
    float offset_hz;  // of the frame from the candidate's 1500 Hz
    int start;        // the frame's first sample
    float guess_s;    // the candidate's start time
  } cases[] = {{-1.7f, 730, 732.0f / 6000.0f},
               {0.3f, 730, 732.0f / 6000.0f},
               {2.2f, 730, 732.0f / 6000.0f},
               {0.0f, 0, 0.0f}};  // at the window's edge: never before it
  for (const auto& c : cases) {
    const auto x = frame_signal(1500.0f + c.offset_hz, c.start);
    const kvol::FineSync sync = kvol::fine_sync(x, kNsps6, c.guess_s, 1500.0f);
    EXPECT_NEAR(sync.t * kvol::kRxSignalRate, c.start, 2.0f) << c.offset_hz;
    EXPECT_NEAR(sync.f, 1500.0f + c.offset_hz, 0.6f) << c.offset_hz;
    // Without noise the summed powers peak at the frame too, if less sharply in frequency.
    EXPECT_NEAR(sync.power_t * kvol::kRxSignalRate, c.start, 4.0f) << c.offset_hz;
    EXPECT_NEAR(sync.power_f, 1500.0f + c.offset_hz, 1.0f) << c.offset_hz;
    EXPECT_GE(sync.power_t, 0.0f);
  }
  // A stretch too short for the sync symbols leaves the candidate as it was.
  const kvol::FineSync same = kvol::fine_sync(std::vector<Complex>(1000), kNsps6, 0.01f, 1234.0f);
  EXPECT_FLOAT_EQ(same.t, 0.01f);
  EXPECT_FLOAT_EQ(same.f, 1234.0f);
}

}  // namespace
