#include "modem/gen_kvolwave.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <vector>

#include "modem/kvol_constants.h"

namespace kvol {
namespace {

std::vector<std::int32_t> random_tones(int count, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::int32_t> tones(count);
  for (auto& t : tones) t = static_cast<std::int32_t>(rng() % 4);
  return tones;
}

std::vector<float> transmit_wave(const std::vector<std::int32_t>& tones, float f0) {
  std::vector<float> wave(tones.size() * kTxSamplesPerSymbol);
  EXPECT_EQ(gen_kvolwave(tones, kTxSamplesPerSymbol, kTxBt, kTxSampleRate, f0, wave),
            static_cast<int>(wave.size()));
  return wave;
}

// Known answers: eight tones at 64 samples per symbol, 6000 Hz, tone 0 at 900 Hz. They pin the
// Gaussian smoothing, the phase start and the ramps, which sender and receiver share.
TEST(GenKvolWave, KnownSamplesOfAShortSequence) {
  const std::vector<std::int32_t> tones = {0, 3, 1, 2, 2, 0, 3, 1};
  std::vector<float> wave(tones.size() * 64);
  ASSERT_EQ(gen_kvolwave(tones, 64, 2.0f, 6000.0f, 900.0f, wave), 512);
  const std::pair<int, float> known[] = {
      {2, 0.13928f},   {5, -0.69134f},   {6, -0.50171f},   {9, 0.80902f},    {40, 0.0f},
      {63, -0.11249f}, {100, -0.97003f}, {131, -0.92872f}, {200, 0.99484f},  {254, 0.32761f},
      {300, 0.63441f}, {397, 0.91230f},  {500, -0.90400f}, {506, -0.78535f}, {509, 0.28631f}};
  for (const auto& [k, value] : known) EXPECT_NEAR(wave[k], value, 2e-4) << "sample " << k;
}

// Another parameter set in between rebuilds the pulse, and the first comes back the same; the
// complex output is the unit phasor of the real one's phase.
TEST(GenKvolWave, RebuildsGiveIdenticalOutputAndComplexMatchesReal) {
  const std::vector<std::int32_t> tones = random_tones(59, 9);
  const std::vector<float> first = transmit_wave(tones, 1500.0f);
  std::vector<std::complex<float>> cwave(59 * 192);
  std::vector<float> wave(59 * 192);
  ASSERT_EQ(gen_kvolwave(tones, 192, 2.0f, 6000.0f, 1000.0f, cwave), 59 * 192);
  transmit_wave(random_tones(3, 1), 1500.0f);
  EXPECT_EQ(transmit_wave(tones, 1500.0f), first);
  ASSERT_EQ(gen_kvolwave(tones, 192, 2.0f, 6000.0f, 1000.0f, wave), 59 * 192);
  for (std::size_t k = 24; k < cwave.size() - 24; ++k) {
    ASSERT_NEAR(std::abs(cwave[k]), 1.0f, 1e-4f);
    ASSERT_NEAR(cwave[k].imag(), wave[k], 2e-4f) << "sample " << k;
  }
}

TEST(GenKvolWave, OutputIsCappedAtOneSymbolPastTheTones) {
  const std::vector<std::int32_t> tones = {1, 2};
  std::vector<float> wave(5 * 100, 9.0f);
  EXPECT_EQ(gen_kvolwave(tones, 100, 2.0f, 8000.0f, 1000.0f, wave), 300);
  for (std::size_t k = 300; k < wave.size(); ++k) ASSERT_EQ(wave[k], 0.0f);
  // A request shorter than the tones still ramps only what exists.
  std::vector<float> part(150);
  EXPECT_EQ(gen_kvolwave(tones, 100, 2.0f, 8000.0f, 1000.0f, part), 150);
}

TEST(GenKvolWave, UnsoundParametersGiveNoWaveform) {
  const std::vector<std::int32_t> tones = {0, 1, 2, 3};
  std::vector<float> wave(4 * 64, 5.0f);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(gen_kvolwave({}, 64, 2.0f, 8000.0f, 1000.0f, wave), 0);
  EXPECT_EQ(gen_kvolwave(tones, 64, 2.0f, 8000.0f, 1000.0f, std::span<float>()), 0);
  EXPECT_EQ(gen_kvolwave(tones, 64, 2.0f, 8000.0f, nan, wave), 0);
  EXPECT_EQ(gen_kvolwave(tones, 64, 2.0f, 8000.0f, inf, wave), 0);
  EXPECT_EQ(gen_kvolwave(tones, 64, 2.0f, 8000.0f, 3e38f, wave), 0);
  EXPECT_EQ(gen_kvolwave(tones, 64, nan, 8000.0f, 1000.0f, wave), 0);
  EXPECT_EQ(gen_kvolwave(tones, 64, 2.0f, 0.0f, 1000.0f, wave), 0);
  EXPECT_EQ(gen_kvolwave(tones, 0, 2.0f, 8000.0f, 1000.0f, wave), 0);
  EXPECT_EQ(gen_kvolwave(tones, -64, 2.0f, 8000.0f, 1000.0f, wave), 0);
  EXPECT_EQ(gen_kvolwave(tones, 1 << 30, 2.0f, 8000.0f, 1000.0f, wave), 0);
  for (float x : wave) ASSERT_EQ(x, 5.0f);

  // Negative and huge but finite frequencies and odd tone values stay finite and in range.
  std::vector<std::complex<float>> cwave(4 * 64);
  const std::vector<std::int32_t> odd = {-7, 1 << 30, 3, 0};
  for (float f0 : {-1000.0f, 1e20f}) {
    ASSERT_EQ(gen_kvolwave(odd, 64, 2.0f, 8000.0f, f0, cwave), 4 * 64);
    for (auto z : cwave) ASSERT_TRUE(std::isfinite(z.real()) && std::abs(z) <= 1.0001f);
  }
}

}  // namespace
}  // namespace kvol
