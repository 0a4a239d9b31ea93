#include "modem/gen_kvolwave.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <numbers>
#include <vector>

#include "modem/kvol_fatal.h"

namespace kvol {
namespace {

constexpr int kPhasorCount = 65536;
// Beyond any caller's frame (a 16-frame message is 946 periods of 1536 samples); bigger
// requests get no waveform instead of gigabytes of work array.
constexpr std::int64_t kMaxWorkSamples = std::int64_t{1} << 26;
constexpr std::size_t kKeptWorkSamples = std::size_t{1} << 16;

// The pulse and work array, kept per thread: transmission and the receiver's subtraction use
// different parameters and run on different threads, so a shared cache would both race and be
// rebuilt on every switch. The key is the exact parameter set the pulse depends on.
struct WaveformCache {
  int nsps = 0;
  float bt = 0;
  float fsample = 0;
  float twopi = 0;
  float h = 0;
  float dt = 0;
  std::vector<float> pulse;
  std::vector<float> phaseStep;              // work array, reused so warm calls allocate nothing
  std::vector<std::complex<float>> phasors;  // exp(i 2 pi j / 65536), complex output only
};
thread_local WaveformCache cache;

template <typename T>
void resize_or_stop(std::vector<T>& values, std::size_t count, int line) {
  try {
    values.assign(count, T{});
  } catch (const std::bad_alloc&) {
    allocation_failed(count * sizeof(T), "gen_kvolwave", line);
  }
}

// Unit phasors for the complex output, built on a thread's first complex call.
const std::vector<std::complex<float>>& phasor_table() {
  if (cache.phasors.empty()) {
    resize_or_stop(cache.phasors, kPhasorCount, 37);
    for (int j = 0; j < kPhasorCount; ++j) {
      const double angle = 2.0 * std::numbers::pi * j / kPhasorCount;
      cache.phasors[j] = {static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle))};
    }
  }
  return cache.phasors;
}

void prepare_cache(int nsps, float bt, float fsample) {
  if (cache.nsps == nsps && cache.bt == bt && cache.fsample == fsample) return;
  cache.twopi = 8.0f * std::atan(1.0f);
  cache.h = 1.0f;
  cache.dt = 1.0f / fsample;
  resize_or_stop(cache.pulse, 3 * static_cast<std::size_t>(nsps), 37);
  for (int i = 0; i < 3 * nsps; ++i) {
    // Centred on sample 1.5 * nsps counted from 1.
    const float t = (static_cast<float>(i + 1) - 1.5f * nsps) / static_cast<float>(nsps);
    cache.pulse[i] = gaussian_pulse(bt, t);
  }
  cache.nsps = nsps;
  cache.bt = bt;
  cache.fsample = fsample;
}

bool parameters_sound(std::size_t nsym, int nsps, float bt, float fsample, float f0) {
  if (nsps < 1 || !std::isfinite(bt) || bt <= 0 || !std::isfinite(fsample) || fsample <= 0 ||
      !std::isfinite(f0)) {
    return false;
  }
  if (nsym > static_cast<std::size_t>(kMaxWorkSamples)) return false;
  if ((static_cast<std::int64_t>(nsym) + 2) * nsps > kMaxWorkSamples) return false;
  // The carrier step must stay far from overflow so the phase stays finite.
  return std::fabs(6.2831855f * f0 / fsample) < 1e30f;
}

// The phase modulo 2 pi in [0, 2 pi). One subtraction is exact (and equals fmod) for the usual
// step below 2 pi, and much cheaper per sample.
float reduce_phase(float phi, float twopi) {
  if (phi >= twopi && phi < 2 * twopi) {
    phi -= twopi;
  } else if (phi < 0 || phi >= twopi) {
    phi = std::fmod(phi, twopi);
    if (phi < 0) phi += twopi;
  }
  return phi < twopi ? phi : 0.0f;
}

// Writes one sample per phase through `put` and returns the count; the ramps follow.
template <typename Sample, typename Put>
int synthesize(std::span<const std::int32_t> tones, int nsps, float bt, float fsample, float f0,
               std::span<Sample> out, Put put) {
  const std::size_t nsym = tones.size();
  if (out.empty() || nsym == 0) return 0;
  if (!parameters_sound(nsym, nsps, bt, fsample, f0)) return 0;

  std::fill(out.begin(), out.end(), Sample{});
  prepare_cache(nsps, bt, fsample);
  const auto n = static_cast<std::size_t>(nsps);
  const std::size_t nwave = std::min(out.size(), (nsym + 1) * n);

  // Phase increment per sample; tone j's pulse is centred in period j + 1, period 0 a lead-in.
  std::vector<float>& d = cache.phaseStep;
  resize_or_stop(d, (nsym + 2) * n, 57);
  const float* pulse = cache.pulse.data();
  const float p = cache.twopi * cache.h / static_cast<float>(nsps);
  for (std::size_t j = 0; j < nsym; ++j) {
    const float weight = p * static_cast<float>(tones[j]);
    float* dj = d.data() + j * n;
    for (std::size_t k = 0; k < 3 * n; ++k) dj[k] += weight * pulse[k];
  }
  // Copies of the first and last tone one period outside, so the edges stay smooth.
  const float first = p * static_cast<float>(tones.front());
  const float last = p * static_cast<float>(tones.back());
  for (std::size_t k = 0; k < 2 * n; ++k) {
    d[k] += first * pulse[n + k];
    d[nsym * n + k] += last * pulse[k];
  }
  const float carrier = cache.twopi * f0 * cache.dt;
  for (float& step : d) step += carrier;

  float phi = 0;
  for (std::size_t k = 0; k < nwave; ++k) {
    out[k] = put(phi);
    phi = reduce_phase(phi + d[n + k], cache.twopi);
  }

  const auto nramp = static_cast<std::size_t>(std::lround(nsps / 8.0));
  const float pi = cache.twopi / 2;
  for (std::size_t i = 0; i < nramp; ++i) {
    const float angle = pi * static_cast<float>(i) / static_cast<float>(nramp);
    if (i < nwave) out[i] *= (1.0f - std::cos(angle)) / 2.0f;
    const std::size_t tail = nsym * n - nramp + i;
    if (tail < nwave) out[tail] *= (1.0f + std::cos(angle)) / 2.0f;
  }
  // The receiver's frame-sized work array stays warm; a whole message's is given back.
  if (d.size() > kKeptWorkSamples) std::vector<float>().swap(d);
  return static_cast<int>(nwave);
}

}  // namespace

float gaussian_pulse(float bt, float t) {
  constexpr float c = 5.3364463f;  // pi * sqrt(2 / ln 2)
  return 0.5f * (std::erf(c * bt * (t + 0.5f)) - std::erf(c * bt * (t - 0.5f)));
}

int gen_kvolwave(std::span<const std::int32_t> tones, int nsps, float bt, float fsample, float f0,
                 std::span<float> wave) {
  return synthesize(tones, nsps, bt, fsample, f0, wave, [](float phi) { return std::sin(phi); });
}

int gen_kvolwave(std::span<const std::int32_t> tones, int nsps, float bt, float fsample, float f0,
                 std::span<std::complex<float>> cwave) {
  const auto& table = phasor_table();
  return synthesize(tones, nsps, bt, fsample, f0, cwave, [&](float phi) {
    const auto index = static_cast<int>(phi * (kPhasorCount / cache.twopi));
    return table[std::min(kPhasorCount - 1, index)];
  });
}

}  // namespace kvol
