// The audio spectrum's cost on the capture thread, per captured block of 512 samples at
// 12 000 Hz (42.7 ms of audio), with the waterfall's 412-bin row and with the widest row.
#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "audio/AudioSpectrum.h"

namespace {

constexpr std::size_t kFftSize = 16384;
constexpr int kSampleRate = 12000;
constexpr std::size_t kBlock = 512;
constexpr double kBlockSeconds = static_cast<double>(kBlock) / kSampleRate;

// Ten seconds of band noise with a tone in it, cut into capture blocks.
std::vector<std::vector<int16_t>> makeBlocks() {
  std::mt19937 random(5);
  std::normal_distribution<double> noise(0.0, 2000.0);
  std::vector<std::vector<int16_t>> blocks(10 * kSampleRate / kBlock);
  std::size_t n = 0;
  for (auto& block : blocks) {
    block.resize(kBlock);
    for (auto& s : block) {
      const double tone = 8000.0 * std::sin(2.0 * std::numbers::pi * 1500.0 * n++ / kSampleRate);
      s = static_cast<int16_t>(std::lround(tone + noise(random)));
    }
  }
  return blocks;
}

void runBlocks(benchmark::State& state, int lowHz, int highHz) {
  const auto blocks = makeBlocks();
  AudioSpectrum spectrum(kFftSize, kSampleRate);
  std::vector<float> row;
  std::size_t next = 0;
  std::int64_t rows = 0;
  for (auto _ : state) {
    rows += spectrum.process(blocks[next], lowHz, highHz, row);
    benchmark::DoNotOptimize(row.data());
    if (++next == blocks.size()) next = 0;
  }
  state.SetItemsProcessed(state.iterations() * kBlock);
  state.counters["rows/block"] =
      benchmark::Counter(static_cast<double>(rows) / static_cast<double>(state.iterations()));
  // Share of one core the spectrum takes while keeping up with real-time capture.
  state.counters["cpu_s_per_audio_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kBlockSeconds,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_SpectrumPerBlock_Waterfall(benchmark::State& state) { runBlocks(state, 1400, 1700); }
BENCHMARK(BM_SpectrumPerBlock_Waterfall)->Unit(benchmark::kMicrosecond);

void BM_SpectrumPerBlock_WholeBand(benchmark::State& state) { runBlocks(state, 0, 6000); }
BENCHMARK(BM_SpectrumPerBlock_WholeBand)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
