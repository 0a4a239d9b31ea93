// The capture path's own cost on the capture thread, per captured block of 2048 frames (42.7 ms
// at 48 000 Hz, 46.4 ms at 44 100 Hz), before the spectrum and the decoder join it: the hand-off
// from the PulseAudio mainloop, the conversion to 12 000 Hz, the live gain and the transmit
// monitor's mix.
#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "audio/AudioLevels.h"
#include "audio/CaptureBlockQueue.h"
#include "audio/CaptureConverter.h"
#include "audio/CaptureEngine.h"
#include "audio/TransmitMonitor.h"

namespace {

constexpr uint32_t kFrames = CaptureEngine::kBlockFrames;

// Ten seconds of channel 0 at the input rate: band noise with a tone in it, cut into blocks.
std::vector<std::vector<float>> makeBlocks(uint32_t rate) {
  std::mt19937 random(7);
  std::normal_distribution<float> noise(0.0f, 0.05f);
  std::vector<std::vector<float>> blocks(10 * rate / kFrames);
  size_t n = 0;
  for (auto& block : blocks) {
    block.resize(kFrames);
    for (auto& s : block) {
      s = 0.25f * std::sin(2.0f * std::numbers::pi_v<float> * 1500.0f * n++ / rate) + noise(random);
    }
  }
  return blocks;
}

// A transmission long enough never to run out while measuring.
TransmitMonitor& loadedMonitor(TransmitMonitor& monitor) {
  std::vector<int16_t> transmit(48000 * 600);
  for (size_t i = 0; i < transmit.size(); ++i) {
    transmit[i] =
        int16_t(std::lround(20000.0 * std::sin(2.0 * std::numbers::pi * 1531.25 * i / 48000)));
  }
  monitor.load(transmit);
  return monitor;
}

void setCounters(benchmark::State& state, uint32_t rate) {
  state.SetItemsProcessed(state.iterations() * kFrames);
  // Share of one core this takes while keeping up with real-time capture.
  state.counters["cpu_s_per_audio_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kFrames / rate,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_HandOff(benchmark::State& state) {
  const uint32_t rate = uint32_t(state.range(0));
  const auto blocks = makeBlocks(rate);
  CaptureBlockQueue queue(CaptureEngine::kDefaultQueueBlocks, kFrames);
  size_t next = 0;
  for (auto _ : state) {
    queue.push(blocks[next]);
    benchmark::DoNotOptimize(queue.waitForBlock().data());
    queue.pop();
    if (++next == blocks.size()) next = 0;
  }
  setCounters(state, rate);
}
BENCHMARK(BM_HandOff)->Arg(48000)->Unit(benchmark::kMicrosecond);

void BM_Convert(benchmark::State& state) {
  const uint32_t rate = uint32_t(state.range(0));
  const auto blocks = makeBlocks(rate);
  CaptureConverter converter(rate, kFrames);
  size_t next = 0;
  size_t produced = 0;
  for (auto _ : state) {
    produced += converter.convert(blocks[next]).size();
    if (++next == blocks.size()) next = 0;
  }
  setCounters(state, rate);
  state.counters["samples/block"] = double(produced) / double(state.iterations());
}
BENCHMARK(BM_Convert)->Arg(48000)->Arg(44100)->Arg(96000)->Unit(benchmark::kMicrosecond);

void BM_GainAndMonitor(benchmark::State& state) {
  std::vector<int16_t> block(512, 1234);
  const float gain = std::pow(10.0f, 6.0f / 20.0f);
  TransmitMonitor monitor;
  loadedMonitor(monitor);
  for (auto _ : state) {
    applyGainInPlace(block, gain);
    monitor.mix(block);
    benchmark::DoNotOptimize(block.data());
  }
  setCounters(state, 48000);
}
BENCHMARK(BM_GainAndMonitor)->Unit(benchmark::kMicrosecond);

// Everything above for one block, as the capture thread runs it.
void BM_WholePath(benchmark::State& state) {
  const uint32_t rate = uint32_t(state.range(0));
  const auto blocks = makeBlocks(rate);
  CaptureBlockQueue queue(CaptureEngine::kDefaultQueueBlocks, kFrames);
  CaptureConverter converter(rate, kFrames);
  TransmitMonitor monitor;
  loadedMonitor(monitor);
  const float gain = std::pow(10.0f, 6.0f / 20.0f);
  std::vector<int16_t> mixed(1024);
  size_t next = 0;
  for (auto _ : state) {
    queue.push(blocks[next]);
    const auto samples = converter.convert(queue.waitForBlock());
    queue.pop();
    // The handler works on its own copy: the decoder gets the samples as received.
    std::span<int16_t> copy(mixed.data(), samples.size());
    std::copy(samples.begin(), samples.end(), copy.begin());
    applyGainInPlace(copy, gain);
    monitor.mix(copy);
    benchmark::DoNotOptimize(copy.data());
    if (++next == blocks.size()) next = 0;
  }
  setCounters(state, rate);
}
BENCHMARK(BM_WholePath)->Arg(48000)->Arg(44100)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
