// A simulated receive channel for the modem's receive tests and measurement tools: transmit
// samples at 48 000 Hz taken down to 12 000 Hz through a proper low-pass, placed at chosen times
// and levels, white Gaussian noise added, and the sum quantised to 16 bits.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kvol_channel {

inline constexpr int kRate = 12000;

// Windowed-sinc low-pass at 48 000 Hz (cutoff 4.8 kHz, Blackman window, 191 taps), keeping every
// fourth output: the band above 6 kHz cannot fold back into the receiver's band.
std::vector<float> decimate_48k_to_12k(std::span<const std::int16_t> tx);

double mean_power(std::span<const float> x);

// The gain that puts a signal of mean power `power` at `snr_db` over white noise of standard
// deviation sigma measured in a 2500 Hz bandwidth (the noise spreads over 0 to 6000 Hz).
double gain_for_snr(double power, double sigma, double snr_db);

// Received audio under construction, in floating point until quantised.
class Channel {
 public:
  explicit Channel(std::size_t samples) : audio_(samples, 0.0f) {}

  // Adds a 12 000 Hz signal at sample `start`, scaled to snr_db against noise of `sigma`.
  void add_signal(std::span<const float> signal, std::size_t start, double snr_db, double sigma);
  void add_scaled(std::span<const float> signal, std::size_t start, double gain);
  void add_noise(double sigma, unsigned seed);
  std::vector<std::int16_t> quantised() const;

 private:
  std::vector<float> audio_;
};

// `seconds` of a busy band: up to ten stations 60 Hz apart, from -12 to +10 dB, each sending its
// message again and again with short pauses, over white noise of `sigma`. No stations: noise.
std::vector<std::int16_t> busy_band(int stations, double seconds, double sigma);
// What the busy band's stations send, as the modem sends it.
std::vector<std::string> busy_band_texts();

}  // namespace kvol_channel
