#include "modem/subtract_kvol.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

#include "modem/gen_kvolwave.h"
#include "modem/kvol_constants.h"

namespace {

using cf = std::complex<float>;

constexpr int kNsps = 192;  // samples per symbol at 6000 Hz for the facade's nsps 384
constexpr int kFrame = kvol::kSymbolsPerFrame * kNsps;
constexpr int kNpts = 14160;  // half the facade's analysis window

std::vector<std::int32_t> frame_tones(unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::int32_t> tones(kvol::kSyncTones.begin(), kvol::kSyncTones.end());
  for (int i = 0; i < kvol::kDataSymbols; ++i) tones.push_back(std::int32_t(rng() % 4));
  return tones;
}

// The frame as it arrives: the clean waveform with a slowly fading amplitude, a carrier phase
// and a small frequency error, placed at `start` (clipped to the buffer).
std::vector<cf> received(const std::vector<std::int32_t>& tones, float f0, int start) {
  std::vector<cf> clean(kFrame), out(kNpts);
  EXPECT_EQ(kvol::gen_kvolwave(tones, kNsps, 2.0f, 6000.0f, f0, clean), kFrame);
  for (int i = std::max(0, -start); i < kFrame && start + i < kNpts; ++i) {
    const double fade = 0.8 + 0.4 * i / kFrame;
    const double phase = 0.7 + 2.0 * std::numbers::pi * 0.2 * i / 6000.0;
    out[start + i] = clean[i] * cf(std::polar(0.3 * fade, phase));
  }
  return out;
}

double power(const std::vector<cf>& x, int from, int to) {
  double sum = 0.0;
  for (int i = from; i < to; ++i) sum += std::norm(x[i]);
  return sum;
}

// Whatever part of the frame lies in the buffer is removed, however the frame lies and whatever
// transform length the caller asks for, while a frame 260 Hz up that overlaps it is spared;
// nothing outside the frame or the buffer changes.
TEST(SubtractKvol, RemovesWhatOfTheFrameLiesInTheBufferAndSparesAnother) {
  const struct {
    int start, nfft;
    float f0;
  } cases[] = {{1234, 32768, 1500.0f},          // wholly inside
               {-1800, 32768, 1400.0f},         // starts before the buffer
               {kNpts - 6000, 32768, 1600.0f},  // runs past its end
               {500, 1024, 1500.0f},            // a transform too short is raised
               {-kFrame, 32768, 1500.0f},       // wholly before
               {kNpts, 32768, 1500.0f}};        // wholly after
  constexpr int guard = 4096;
  const cf sentinel{123.0f, -456.0f};
  for (std::size_t k = 0; k < std::size(cases); ++k) {
    const auto& c = cases[k];
    const auto tones = frame_tones(3 + k);
    const auto frame = received(tones, c.f0, c.start);
    const auto other = received(frame_tones(20 + k), c.f0 + 260.0f, c.start + 3000);
    std::vector<cf> storage(kNpts + 2 * guard, sentinel);
    for (int i = 0; i < kNpts; ++i) storage[guard + i] = frame[i] + other[i];
    std::span<cf> buffer(storage.data() + guard, kNpts);
    kvol::subtract_kvol(buffer, c.nfft, tones, kNsps, c.f0, c.start / 6000.0f);
    std::vector<cf> residue(kNpts);
    for (int i = 0; i < kNpts; ++i) residue[i] = buffer[i] - other[i];
    for (int i = 0; i < guard; ++i) {
      ASSERT_EQ(storage[i], sentinel) << k << " before, " << i;
      ASSERT_EQ(storage[guard + kNpts + i], sentinel) << k << " after, " << i;
    }
    const int from = std::max(c.start, 0) + kNsps;  // the frame's interior
    const int to = std::min(c.start + kFrame, kNpts) - kNsps;
    if (from < to) {
      EXPECT_GE(10.0 * std::log10(power(frame, from, to) / power(residue, from, to)), 30.0) << k;
    }
    for (int i = 0; i < kNpts; ++i) {
      const bool inside = i >= c.start && i < c.start + kFrame;
      ASSERT_TRUE(inside || buffer[i] == frame[i] + other[i]) << k << ", " << i;
    }
  }
}

}  // namespace
