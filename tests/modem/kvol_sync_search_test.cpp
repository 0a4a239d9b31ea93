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

// The sync symbols at start sample `start`, shifted up to `frequency` Hz, in weak noise.
std::vector<Complex> window_with_sync(int start, double frequency) {
  std::mt19937 rng(11);
  std::normal_distribution<float> g(0.0f, 0.05f);
  std::vector<Complex> x(kWindow6);
  for (auto& v : x) v = {g(rng), g(rng)};
  const auto refs = kvol::sync_refs();
  const double w = 2.0 * std::acos(-1.0) * frequency / 6000.0;
  for (std::size_t n = 0; n < refs.size(); ++n)
    x[start + n] += refs[n] * std::polar(1.0f, static_cast<float>(w * n));
  return x;
}

TEST(SyncSearch, PicksTheSyncPeakThenExcludesItsSurroundings) {
  kvol::set_sync_geometry(kNsps6);
  kvol::set_sync_hull(1500.0f, 20.0f, 200, 2800);
  kvol::sync_zoom_dft(window_with_sync(12 * 50, 1500.0));
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
}

}  // namespace
