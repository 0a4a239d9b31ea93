#include "modem/gen_kvolwave.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <vector>

namespace kvol {
namespace {

// Known answers: eight tones at 64 samples per symbol, 6000 Hz, tone 0 at 900 Hz. They pin the
// Gaussian smoothing, the phase start and the ramps of what is sent.
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

// Unsound parameters give no waveform and leave the output as it was. Otherwise the output stops
// one symbol past the tones, a shorter one ramps only what exists, and odd tone values and far
// but finite frequencies stay finite and in range.
TEST(GenKvolWave, OutputIsCappedAndUnsoundParametersGiveNone) {
  const std::vector<std::int32_t> tones = {0, 1, 2, 3};
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const struct {
    int nsps;
    float bt, fsample, f0;
  } unsound[] = {{64, 2.0f, 8000.0f, nan},      {64, 2.0f, 8000.0f, inf},
                 {64, 2.0f, 8000.0f, 3e38f},    {64, nan, 8000.0f, 1000.0f},
                 {64, 2.0f, 0.0f, 1000.0f},     {0, 2.0f, 8000.0f, 1000.0f},
                 {-64, 2.0f, 8000.0f, 1000.0f}, {1 << 30, 2.0f, 8000.0f, 1000.0f}};
  std::vector<float> wave(4 * 64, 5.0f);
  EXPECT_EQ(gen_kvolwave({}, 64, 2.0f, 8000.0f, 1000.0f, wave), 0);
  EXPECT_EQ(gen_kvolwave(tones, 64, 2.0f, 8000.0f, 1000.0f, std::span<float>()), 0);
  for (const auto& u : unsound)
    EXPECT_EQ(gen_kvolwave(tones, u.nsps, u.bt, u.fsample, u.f0, wave), 0) << u.f0 << " " << u.nsps;
  for (float x : wave) ASSERT_EQ(x, 5.0f);

  std::vector<float> longer(7 * 64, 9.0f);
  EXPECT_EQ(gen_kvolwave(tones, 64, 2.0f, 8000.0f, 1000.0f, longer), 5 * 64);
  for (std::size_t k = 5 * 64; k < longer.size(); ++k) ASSERT_EQ(longer[k], 0.0f);
  std::vector<float> part(150);
  EXPECT_EQ(gen_kvolwave(tones, 64, 2.0f, 8000.0f, 1000.0f, part), 150);

  std::vector<std::complex<float>> cwave(4 * 64);
  const std::vector<std::int32_t> odd = {-7, 1 << 30, 3, 0};
  for (float f0 : {-1000.0f, 1e20f}) {
    ASSERT_EQ(gen_kvolwave(odd, 64, 2.0f, 8000.0f, f0, cwave), 4 * 64);
    for (auto z : cwave) ASSERT_TRUE(std::isfinite(z.real()) && std::abs(z) <= 1.0001f);
  }
}

}  // namespace
}  // namespace kvol
