#include "kvol_channel.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "modem/KvolDecoder.h"

namespace kvol_channel {

std::vector<float> decimate_48k_to_12k(std::span<const std::int16_t> tx) {
  constexpr int kTaps = 191;
  constexpr int kHalf = kTaps / 2;
  constexpr double kCutoff = 4800.0 / 48000.0;
  const double pi = std::acos(-1.0);
  std::vector<double> h(kTaps);
  double sum = 0.0;
  for (int i = 0; i < kTaps; ++i) {
    const int k = i - kHalf;
    const double sinc = k == 0 ? 2.0 * kCutoff : std::sin(2.0 * pi * kCutoff * k) / (pi * k);
    h[i] = sinc * (0.42 - 0.5 * std::cos(2.0 * pi * i / (kTaps - 1)) +
                   0.08 * std::cos(4.0 * pi * i / (kTaps - 1)));
    sum += h[i];
  }
  for (double& v : h) v /= sum;
  const int n = static_cast<int>(tx.size());
  std::vector<float> out((n + 3) / 4);
  for (std::size_t o = 0; o < out.size(); ++o) {
    double acc = 0.0;
    for (int i = 0, j = static_cast<int>(o) * 4 - kHalf; i < kTaps; ++i, ++j)
      if (j >= 0 && j < n) acc += h[i] * tx[j];
    out[o] = static_cast<float>(acc);
  }
  return out;
}

double mean_power(std::span<const float> x) {
  double p = 0.0;
  for (float v : x) p += static_cast<double>(v) * v;
  return x.empty() ? 0.0 : p / static_cast<double>(x.size());
}

double gain_for_snr(double power, double sigma, double snr_db) {
  const double noise_in_band = sigma * sigma * 2500.0 / 6000.0;
  return std::sqrt(std::pow(10.0, snr_db / 10.0) * noise_in_band / power);
}

void Channel::add_signal(std::span<const float> signal, std::size_t start, double snr_db,
                         double sigma) {
  add_scaled(signal, start, gain_for_snr(mean_power(signal), sigma, snr_db));
}

void Channel::add_scaled(std::span<const float> signal, std::size_t start, double gain) {
  for (std::size_t i = 0; i < signal.size() && start + i < audio_.size(); ++i)
    audio_[start + i] += static_cast<float>(gain * signal[i]);
}

void Channel::add_noise(double sigma, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0.0f, static_cast<float>(sigma));
  for (float& v : audio_) v += g(rng);
}

std::vector<std::int16_t> Channel::quantised() const {
  std::vector<std::int16_t> out(audio_.size());
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<std::int16_t>(std::clamp(std::lround(audio_[i]), -32768L, 32767L));
  return out;
}

std::vector<std::string> busy_band_texts() {
  return {"CQ TEST K1ABC",           "W9XYZ 599 005 TU", "QRZ? DE G4ABC",     "TNX FER CALL UR 579",
          "CQ DX DE JA1XYZ K",       "TU 73 GL",         "HELLO FROM VE3XYZ", "AGN? AGN?",
          "RIG IS 100W INTO DIPOLE", "QSL TU 73 SK"};
}

std::vector<std::int16_t> busy_band(int stations, double seconds, double sigma) {
  const std::vector<std::string> texts = busy_band_texts();
  KvolDecoder encoder;
  Channel channel(static_cast<std::size_t>(seconds * kRate));
  for (int i = 0; i < std::min(stations, 10); ++i) {
    const KvolDecoder::Encoded encoded = encoder.encode(texts[i], 1230.0f + 60.0f * float(i));
    if (!encoded.ok) continue;
    const std::vector<float> audio = decimate_48k_to_12k(encoded.samples);
    const double snr_db = -12.0 + 22.0 * ((i * 7) % 10) / 9.0;
    const double gain = gain_for_snr(mean_power(audio), sigma, snr_db);
    const double period = double(audio.size()) / kRate + 1.5;
    for (double t = 0.3 + 0.37 * i; t + period < seconds; t += period)
      channel.add_scaled(audio, static_cast<std::size_t>(t * kRate), gain);
  }
  channel.add_noise(sigma, 99);
  return channel.quantised();
}

}  // namespace kvol_channel
