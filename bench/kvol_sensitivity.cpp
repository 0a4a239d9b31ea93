// Receive sensitivity of KVOL: single-frame messages made by KvolDecoder::encode, taken from
// 48 000 Hz to 12 000 Hz through a proper low-pass, put into white Gaussian noise at an SNR
// measured in a 2500 Hz bandwidth, and fed to the decoder in 512-sample blocks. Prints, per SNR,
// the fraction decoded with exactly the sent text and the false decodes; then the false decodes
// in a stretch of noise alone.
//
//   kvol_sensitivity [--trials N] [--noise-seconds S] [--band-seconds S] [--from DB] [--to DB]
//                    [--near-only 1]
//                    [--seed K]   (K shifts every point's fixed seed: another sample of trials)
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "kvol_channel.h"
#include "modem/KvolDecoder.h"

namespace {

using kvol_channel::kRate;

constexpr double kSigma = 1000.0;
constexpr double kSlotSeconds = 3.0;  // one message per slot, so messages never overlap
constexpr std::size_t kBlock = 512;

struct Options {
  int trials = 100;
  double noise_seconds = 600.0;
  double band_seconds = 0.0;
  int from_db = -20;
  int to_db = -10;
  bool near_only = false;  // skip the 400-2600 Hz run
  unsigned seed = 0;
};

struct Point {
  int decoded = 0;
  int false_decodes = 0;
};

// Symbol errors per frame of 59, counted in groups of five.
struct ErrorCounts {
  std::array<int, 12> groups{};
  int count = 0;
  void add(const KvolDecoder::Update& u) {
    if (u.symbolsChecked <= 0) return;
    const int per_frame = (59 * u.symbolErrors + u.symbolsChecked / 2) / u.symbolsChecked;
    ++groups[static_cast<std::size_t>(std::clamp(per_frame / 5, 0, 11))];
    ++count;
  }
  void print(const char* name) const {
    std::printf("  %-6s %6d:", name, count);
    for (int n : groups) std::printf(" %5d", n);
    std::printf("\n");
  }
};
ErrorCounts true_errors, false_errors;

struct Message {
  std::string text;
  float frequency = 0.0f;
};

// Five random characters make one frame (a text chunk or a callsign).
Message random_message(KvolDecoder& decoder, std::mt19937& rng, float low, float high,
                       std::vector<float>& audio) {
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::uniform_int_distribution<int> pick(0, 35);
  std::uniform_real_distribution<float> frequency(low, high);
  for (;;) {
    std::string text;
    for (int i = 0; i < 5; ++i) text.push_back(kChars[pick(rng)]);
    const float f = frequency(rng);
    const KvolDecoder::Encoded encoded = decoder.encode(text, f);
    if (!encoded.ok || encoded.samples.size() != 59 * 1536) continue;
    audio = kvol_channel::decimate_48k_to_12k(encoded.samples);
    return {encoded.sentText, f};
  }
}

void feed(KvolDecoder& decoder, const std::vector<std::int16_t>& audio) {
  for (std::size_t i = 0; i < audio.size(); i += kBlock) {
    const std::size_t n = std::min(kBlock, audio.size() - i);
    decoder.append(std::span<const std::int16_t>(audio.data() + i, n));
    decoder.decodePending();
  }
}

Point run_point(double snr_db, float low, float high, int trials, unsigned seed) {
  KvolDecoder decoder;
  std::vector<KvolDecoder::Update> updates;
  decoder.onMessageUpdated = [&](const KvolDecoder::Update& u) { updates.push_back(u); };
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> offset(0.2, 0.8);
  kvol_channel::Channel channel(static_cast<std::size_t>(trials * kSlotSeconds * kRate));
  std::vector<Message> sent;
  std::vector<float> audio;
  for (int i = 0; i < trials; ++i) {
    sent.push_back(random_message(decoder, rng, low, high, audio));
    const double start = i * kSlotSeconds + offset(rng);
    channel.add_signal(audio, static_cast<std::size_t>(start * kRate), snr_db, kSigma);
  }
  channel.add_noise(kSigma, seed + 1);
  feed(decoder, channel.quantised());

  Point point;
  std::vector<bool> found(sent.size(), false);
  for (const KvolDecoder::Update& u : updates) {
    bool matched = false;
    for (std::size_t i = 0; i < sent.size(); ++i)
      if (u.text == sent[i].text && std::fabs(u.frequencyHz - sent[i].frequency) < 10.0f) {
        matched = true;
        if (u.isComplete) found[i] = true;
      }
    if (!matched) {
      ++point.false_decodes;
      false_errors.add(u);
    }
  }
  for (const KvolDecoder::Update& u : updates)
    if (u.isComplete && std::find_if(sent.begin(), sent.end(), [&](const Message& m) {
                          return m.text == u.text;
                        }) != sent.end())
      true_errors.add(u);
  point.decoded = static_cast<int>(std::count(found.begin(), found.end(), true));
  return point;
}

int noise_false_decodes(double seconds, unsigned seed) {
  KvolDecoder decoder;
  std::set<std::int64_t> shown;
  decoder.onMessageUpdated = [&](const KvolDecoder::Update& u) {
    if (!shown.insert(u.messageId).second) return;
    false_errors.add(u);
    std::printf("  false decode: \"%s\" at %.1f Hz, %d of %d symbols in error\n", u.text.c_str(),
                u.frequencyHz, u.symbolErrors, u.symbolsChecked);
  };
  // Fed in pieces so that the 600 s buffer limit is exercised like on the air.
  const double piece = 60.0;
  for (double done = 0.0; done < seconds; done += piece) {
    kvol_channel::Channel channel(
        static_cast<std::size_t>(std::min(piece, seconds - done) * kRate));
    channel.add_noise(kSigma, seed + static_cast<unsigned>(done));
    feed(decoder, channel.quantised());
  }
  return static_cast<int>(shown.size());
}

// Whether the text is one of the sent ones, or pieces of it in order with " ... " between.
bool is_part_of_any(const std::string& text, const std::vector<std::string>& sent) {
  for (const std::string& whole : sent) {
    std::size_t from = 0, at = 0;
    for (;;) {
      const std::size_t gap = text.find(" ... ", from);
      at = whole.find(text.substr(from, gap == std::string::npos ? gap : gap - from), at);
      if (at == std::string::npos || gap == std::string::npos) break;
      from = gap + 5;
    }
    if (at != std::string::npos) return true;
  }
  return false;
}

// Texts that were not sent, in a busy band of ten stations from -12 to +10 dB.
int busy_band_false_decodes(double seconds) {
  KvolDecoder decoder;
  const std::vector<std::string> sent = kvol_channel::busy_band_texts();
  std::set<std::int64_t> shown;
  decoder.onMessageUpdated = [&](const KvolDecoder::Update& u) {
    if (is_part_of_any(u.text, sent) || !shown.insert(u.messageId).second) return;
    false_errors.add(u);
    std::printf("  false decode: \"%s\" at %.1f Hz, %d of %d symbols in error\n", u.text.c_str(),
                u.frequencyHz, u.symbolErrors, u.symbolsChecked);
  };
  feed(decoder, kvol_channel::busy_band(10, seconds, kSigma));
  return static_cast<int>(shown.size());
}

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--trials"))
      options.trials = std::max(1, std::atoi(argv[i + 1]));
    else if (!std::strcmp(argv[i], "--band-seconds"))
      options.band_seconds = std::max(0.0, std::atof(argv[i + 1]));
    else if (!std::strcmp(argv[i], "--noise-seconds"))
      options.noise_seconds = std::max(0.0, std::atof(argv[i + 1]));
    else if (!std::strcmp(argv[i], "--from"))
      options.from_db = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--to"))
      options.to_db = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--seed"))
      options.seed = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
    else if (!std::strcmp(argv[i], "--near-only"))
      options.near_only = std::atoi(argv[i + 1]) != 0;
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  const auto started = std::chrono::steady_clock::now();
  struct Run {
    const char* name;
    float low;
    float high;
  };
  const Run runs[] = {{"tone 0 in 1480-1520 Hz", 1480.0f, 1520.0f},
                      {"tone 0 in 400-2600 Hz", 400.0f, 2600.0f}};
  std::printf("KVOL sensitivity: %d single-frame messages per point, SNR in 2500 Hz\n",
              options.trials);
  for (const Run& run : runs) {
    if (options.near_only && &run != &runs[0]) continue;
    std::printf("\n%s\n  SNR dB   decoded   95%% +-   false\n", run.name);
    for (int snr = options.from_db; snr <= options.to_db; ++snr) {
      const Point p =
          run_point(snr, run.low, run.high, options.trials,
                    static_cast<unsigned>(1000 + 37 * (snr + 100)) + 7919u * options.seed);
      const double fraction = static_cast<double>(p.decoded) / options.trials;
      // A point rests on few trials: at 300 one standard error is up to 2.9 %.
      const double margin = 1.96 * std::sqrt(fraction * (1.0 - fraction) / options.trials);
      std::printf("  %6d   %6.1f%%   %5.1f%%   %5d\n", snr, 100.0 * fraction, 100.0 * margin,
                  p.false_decodes);
      std::fflush(stdout);
    }
  }
  if (options.noise_seconds > 0.0) {
    const int false_decodes =
        noise_false_decodes(options.noise_seconds, 4242 + 7919u * options.seed);
    std::printf("\nnoise only, %.0f s: %d false decodes\n", options.noise_seconds, false_decodes);
  }
  if (options.band_seconds > 0.0) {
    const int false_decodes = busy_band_false_decodes(options.band_seconds);
    std::printf("\nbusy band, %.0f s: %d false decodes\n", options.band_seconds, false_decodes);
  }
  std::printf(
      "\nsymbol errors per frame  0-4   5-9 10-14 15-19 20-24 25-29 30-34 35-39 40-44 "
      "45-49 50-54 55-59\n");
  true_errors.print("true");
  false_errors.print("false");
  std::printf("(%.0f s)\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  return 0;
}
