// Cost of the controller's captured-samples handler per captured block (2048 frames at 48 000 Hz,
// 512 samples at 12 000 Hz) in noise alone and in a busy band of ten overlapping KVOL signals
// between -12 and +10 dB: level, gain, display mix, spectrum and the decoder's append and decode
// together. "x_realtime" is audio seconds handled per second spent: the handler's headroom over
// real time. The handler's own heap allocations per block are counted too (each decoder update it
// posts carries its text).
// The counting operator new below hands out malloc'd memory that the library's operator delete
// frees; GCC cannot see that the two match.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <atomic>
#include <cstdlib>
#include <new>

#include "chat/AppSettings.h"
#include "chat/ChatViewModel.h"
#include "kvol_channel.h"

namespace {
std::atomic<long> allocations{0};
}

void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

namespace {

constexpr std::size_t kBlock = 512;  // 2048 frames captured at 48 000 Hz
constexpr double kBlockSeconds = double(kBlock) / kvol_channel::kRate;
constexpr double kBandSeconds = 60.0;
constexpr double kSigma = 1000.0;
constexpr std::size_t kWarmUpBlocks = 200;  // the first decodes make the transform plans

// Argument: the number of stations in the band (0: noise only).
void BM_CapturedSamplesHandler(benchmark::State& state) {
  // No audio server: the controller's own capture stays off and the benchmark feeds it.
  qputenv("PULSE_SERVER", "unix:/nonexistent/palavrix-bench/native");
  QTemporaryDir home;
  qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
  AppSettings settings;
  settings.setAudioInputGainDb(3.0);  // a gain other than 1 so that it is applied
  ChatViewModel::Timing timing;
  timing.captureRetryInterval = std::chrono::hours(1);
  ChatViewModel model(settings, timing);
  const std::vector<int16_t> audio =
      kvol_channel::busy_band(int(state.range(0)), kBandSeconds, kSigma);
  const std::size_t blocks = audio.size() / kBlock;
  auto block = [&](std::size_t n) {
    return std::span<const int16_t>(audio.data() + (n % blocks) * kBlock, kBlock);
  };
  std::size_t next = 0;
  for (; next < kWarmUpBlocks; ++next) model.handleCapturedSamples(block(next));
  QCoreApplication::processEvents();

  long handlerAllocations = 0;
  for (auto _ : state) {
    const long before = allocations.load();
    model.handleCapturedSamples(block(next++));
    handlerAllocations += allocations.load() - before;
    if (next % 64 == 0) {
      // What the handler posted is taken on the main thread, as in the program.
      state.PauseTiming();
      QCoreApplication::processEvents();
      state.ResumeTiming();
    }
  }
  state.counters["x_realtime"] =
      benchmark::Counter(double(state.iterations()) * kBlockSeconds, benchmark::Counter::kIsRate);
  state.counters["allocs/block"] =
      benchmark::Counter(double(handlerAllocations), benchmark::Counter::kAvgIterations);
  state.counters["messages"] = double(model.messages()->size());
}
BENCHMARK(BM_CapturedSamplesHandler)
    ->ArgName("stations")
    ->Arg(0)
    ->Arg(10)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2000)
    ->UseRealTime();

}  // namespace
