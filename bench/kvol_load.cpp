// Receive load of KVOL: CPU seconds spent in KvolDecoder::decodePending per second of audio,
// and the longest single call, for noise alone, one signal, and a busy band of ten overlapping
// signals between -12 and +10 dB. Audio arrives in 2048-sample blocks as from the capture engine.
//
//   kvol_load [--seconds S]
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kvol_channel.h"
#include "modem/KvolDecoder.h"

namespace {

using kvol_channel::kRate;

constexpr double kSigma = 1000.0;
constexpr std::size_t kBlock = 2048;

double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

struct Station {
  std::string text;
  float frequency;
  double snr_db;
  double first_start_s;
};

struct Load {
  double cpu_per_audio_second = 0.0;
  double longest_call_s = 0.0;
  double first_call_s = 0.0;  // includes making the transform plans
  int updates = 0;
};

constexpr double kWarmUpSeconds = 5.0;  // not counted: the first decodes make the plans

// Each station sends its message again and again with a short pause, over the whole stretch.
std::vector<std::int16_t> band(KvolDecoder& decoder, const std::vector<Station>& stations,
                               double seconds, unsigned seed) {
  kvol_channel::Channel channel(static_cast<std::size_t>(seconds * kRate));
  for (const Station& s : stations) {
    const KvolDecoder::Encoded encoded = decoder.encode(s.text, s.frequency);
    if (!encoded.ok) continue;
    const std::vector<float> audio = kvol_channel::decimate_48k_to_12k(encoded.samples);
    const double gain =
        kvol_channel::gain_for_snr(kvol_channel::mean_power(audio), kSigma, s.snr_db);
    const double period = static_cast<double>(audio.size()) / kRate + 1.5;
    for (double t = s.first_start_s; t < seconds; t += period)
      channel.add_scaled(audio, static_cast<std::size_t>(t * kRate), gain);
  }
  channel.add_noise(kSigma, seed);
  return channel.quantised();
}

Load measure(const std::vector<Station>& stations, double seconds, unsigned seed) {
  KvolDecoder decoder;
  Load load;
  decoder.onMessageUpdated = [&](const KvolDecoder::Update&) { ++load.updates; };
  const std::vector<std::int16_t> audio = band(decoder, stations, seconds, seed);
  double total = 0.0;
  const std::size_t warm_up = static_cast<std::size_t>(kWarmUpSeconds * kRate);
  for (std::size_t i = 0; i < audio.size(); i += kBlock) {
    const std::size_t n = std::min(kBlock, audio.size() - i);
    decoder.append(std::span<const std::int16_t>(audio.data() + i, n));
    const double before = thread_cpu_seconds();
    decoder.decodePending();
    const double spent = thread_cpu_seconds() - before;
    if (i < warm_up) {
      load.first_call_s = std::max(load.first_call_s, spent);
      continue;
    }
    total += spent;
    load.longest_call_s = std::max(load.longest_call_s, spent);
  }
  load.cpu_per_audio_second = total / (seconds - kWarmUpSeconds);
  return load;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 120.0;
  for (int i = 1; i + 1 < argc; i += 2)
    if (!std::strcmp(argv[i], "--seconds")) seconds = std::max(10.0, std::atof(argv[i + 1]));

  const std::vector<Station> one = {
      {"CQ CQ DE K1ABC K1ABC PSE K", 1500.0f, -10.0, 0.7},
  };
  std::vector<Station> busy;
  const char* texts[] = {"CQ TEST K1ABC",       "W9XYZ 599 005 TU",  "QRZ? DE G4ABC",
                         "TNX FER CALL UR 579", "CQ DX DE JA1XYZ K", "TU 73 GL",
                         "HELLO FROM VE3XYZ",   "AGN? AGN?",         "RIG IS 100W INTO DIPOLE",
                         "QSL TU 73 SK"};
  for (int i = 0; i < 10; ++i) {
    // Spread over the searched band, the strongest next to the weakest.
    const float f = 1230.0f + 60.0f * i;
    const double snr = -12.0 + 22.0 * ((i * 7) % 10) / 9.0;
    busy.push_back({texts[i], f, snr, 0.3 + 0.37 * i});
  }

  struct Case {
    const char* name;
    std::vector<Station> stations;
  };
  const Case cases[] = {{"noise only", {}}, {"one signal", one}, {"busy band (10 signals)", busy}};
  std::printf("KVOL receive load, %.0f s of audio each, 2048-sample blocks\n\n", seconds);
  std::printf("  %-24s %16s %16s %16s %8s\n", "case", "CPU s / audio s", "longest call ms",
              "warm-up call ms", "updates");
  for (const Case& c : cases) {
    const Load load = measure(c.stations, seconds, 99);
    std::printf("  %-24s %16.4f %16.1f %16.1f %8d\n", c.name, load.cpu_per_audio_second,
                1000.0 * load.longest_call_s, 1000.0 * load.first_call_s, load.updates);
    std::fflush(stdout);
  }
  std::printf(
      "\n(the first %.0f s of each case are a warm-up, not counted; the warm-up column is "
      "its longest call)\n",
      kWarmUpSeconds);
  return 0;
}
