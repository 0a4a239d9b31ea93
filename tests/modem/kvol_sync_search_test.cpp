#include "modem/kvol_sync_search.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

namespace {

using Complex = std::complex<float>;
using kvol::SearchRange;
using kvol::set_search_range;

constexpr int kNsps6 = 192;
constexpr int kWindow6 = 14160;  // the facade's window at 6000 Hz

std::vector<Complex> noise(int n, float sigma, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0.0f, sigma);
  std::vector<Complex> x(n);
  for (auto& v : x) v = {g(rng), g(rng)};
  return x;
}

// Adds the sync symbols at start sample `start`, shifted up to `frequency` Hz.
void add_sync(std::vector<Complex>& x, int start, double frequency, float amplitude) {
  const auto refs = kvol::sync_refs();
  const double w = 2.0 * std::acos(-1.0) * frequency / 6000.0;
  for (std::size_t n = 0; n < refs.size(); ++n)
    x[start + n] += amplitude * refs[n] * std::polar(1.0f, static_cast<float>(w * n));
}

TEST(SyncSearch, FacadeRangesGiveTheDesignedBins) {
  const SearchRange narrow = set_search_range(0, 1500.0f, 20.0f, 200, 2800);
  const SearchRange low = set_search_range(1, 1500.0f, 20.0f, 200, 2800);
  const SearchRange high = set_search_range(2, 1500.0f, 20.0f, 200, 2800);
  ASSERT_TRUE(narrow.ok && low.ok && high.ok);
  EXPECT_EQ(narrow.i1, 2020);
  EXPECT_EQ(narrow.i2, 2075);
  EXPECT_EQ(low.i1, 1638);
  EXPECT_EQ(low.i2, 2048);
  EXPECT_EQ(high.i1, 2048);
  EXPECT_EQ(high.i2, 2457);
  EXPECT_FALSE(set_search_range(3, 1500.0f, 20.0f, 200, 2800).ok);
}

TEST(SyncSearch, NarrowRangeIsNotClampedButWideRangesAre) {
  const SearchRange narrow = set_search_range(0, 3000.0f, 20.0f, 1400, 1450);
  ASSERT_TRUE(narrow.ok);
  EXPECT_EQ(narrow.i1, 4068);
  EXPECT_EQ(narrow.i2, 4094);
  const SearchRange low = set_search_range(1, 3000.0f, 20.0f, 1400, 1450);
  ASSERT_TRUE(low.ok);
  EXPECT_EQ(low.i1, 1912);  // ceil(1400 / df)
  EXPECT_EQ(low.i2, 1979);  // floor(1450 / df)
  EXPECT_FALSE(set_search_range(1, 1500.0f, 20.0f, 2800, 200).ok);
  int i1 = 0, i2 = 0;
  EXPECT_FALSE(
      kvol::search_bins(1500.0f, -1.0f, 200, 2800, false, kvol::kSyncBinWidth, 3, 4094, i1, i2));
}

// The chirp-z map must equal the zero-padded 8192-point DFT it stands for.
TEST(SyncSearch, ZoomMapMatchesDirectTransform) {
  kvol::set_sync_geometry(kNsps6);
  kvol::set_sync_hull(1500.0f, 20.0f, 200, 2800);
  const auto x = noise(kWindow6, 1.0f, 7);
  kvol::sync_zoom_dft(x);
  ASSERT_TRUE(kvol::sync_map_valid());
  ASSERT_EQ(kvol::sync_map_columns(), 237);

  const auto refs = kvol::sync_refs();
  const double two_pi = 2.0 * std::acos(-1.0);
  for (int column : {0, 117, 236}) {
    for (int bin : {1638, 2047, 2457}) {
      double expected = 0.0;
      const double weights[5] = {1, 2, 3, 2, 1};
      for (int d = -2; d <= 2; ++d) {
        std::complex<double> sum;
        for (std::size_t n = 0; n < refs.size(); ++n) {
          const std::complex<double> v(x[12 * column + n] * std::conj(refs[n]));
          sum +=
              v * std::polar(1.0, -two_pi * static_cast<double>((n * (bin + d)) % 8192) / 8192.0);
        }
        expected += weights[d + 2] * std::norm(sum);
      }
      EXPECT_NEAR(kvol::sync_power_at(bin, column), expected, 1e-3 * expected)
          << "column " << column << " bin " << bin;
    }
  }
}

TEST(SyncSearch, PicksTheSyncPeakThenExcludesItsSurroundings) {
  kvol::set_sync_geometry(kNsps6);
  kvol::set_sync_hull(1500.0f, 20.0f, 200, 2800);
  auto x = noise(kWindow6, 0.05f, 11);
  add_sync(x, 12 * 50, 1500.0, 1.0f);
  kvol::sync_zoom_dft(x);

  const SearchRange narrow = set_search_range(0, 1500.0f, 20.0f, 200, 2800);
  kvol::begin_candidate_pass(0, narrow);
  float t = 0.0f, f = 0.0f;
  ASSERT_TRUE(kvol::pick_sync_candidate(0, narrow, t, f));
  EXPECT_FLOAT_EQ(t, 0.1f);
  EXPECT_NEAR(f, 1500.0f, 0.01f);
  float t2 = 0.0f, f2 = 0.0f;
  ASSERT_TRUE(kvol::pick_sync_candidate(0, narrow, t2, f2));
  const bool apart = std::fabs(f2 - f) > 14 * kvol::kSyncBinWidth || std::fabs(t2 - t) > 8 * 0.002f;
  EXPECT_TRUE(apart) << t2 << " s " << f2 << " Hz";

  // A decoded peak keeps the wide passes away from its bins.
  kvol::clear_sync_peaks();
  kvol::record_sync_peak(1500.0f, 0.1f);
  EXPECT_TRUE(kvol::near_sync_peak(1502.0f, 0.14f));
  EXPECT_FALSE(kvol::near_sync_peak(1504.0f, 0.1f));
  const SearchRange low = set_search_range(1, 1500.0f, 20.0f, 200, 2800);
  kvol::begin_candidate_pass(1, low);
  ASSERT_TRUE(kvol::pick_sync_candidate(1, low, t, f));
  EXPECT_GT(std::fabs(f - 1500.0f), 10.0f);
  EXPECT_EQ(kvol::sync_power_at(2048, 50), 0.0f);
}

TEST(SyncSearch, ReleaseFreesSlotsAndTheNextMapIsTheSame) {
  kvol::set_sync_geometry(kNsps6);
  kvol::set_sync_hull(1500.0f, 20.0f, 200, 2800);
  const auto x = noise(kWindow6, 1.0f, 3);
  kvol::sync_zoom_dft(x);
  const float before = kvol::sync_power_at(2000, 100);
  kvol::kvol_decoder_release();
  kvol::sync_zoom_dft(x);
  EXPECT_FLOAT_EQ(kvol::sync_power_at(2000, 100), before);
  int log2n = -1;
  EXPECT_EQ(kvol::get_fft_slot(1024, 1, log2n), 0);
  EXPECT_EQ(log2n, 0);
  EXPECT_EQ(kvol::get_fft_slot(8192, 0, log2n), 1);
  EXPECT_EQ(log2n, 13);
  kvol::kvol_decoder_release();
}

TEST(SyncSearch, SilentWindowPicksNothingUseful) {
  kvol::set_sync_geometry(kNsps6);
  kvol::set_sync_hull(1500.0f, 20.0f, 200, 2800);
  const std::vector<Complex> x(kWindow6);
  kvol::sync_zoom_dft(x);
  EXPECT_EQ(kvol::sync_power_at(2048, 0), 0.0f);
}

}  // namespace
