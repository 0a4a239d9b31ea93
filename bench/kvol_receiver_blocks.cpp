// Cost of the receiver's building blocks per call: the list decoder (a clean frame, and one that
// fails all four plans), its decode rate over AWGN, the analytic downsampler and a subtraction.
// Heap allocations per call are counted as well: the capture thread must not allocate when warm.
// The counting operator new below hands out malloc'd memory that the library's operator delete
// frees; GCC cannot see that the two match.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <new>
#include <numbers>
#include <random>
#include <vector>

#include "modem/gen_kvolwave.h"
#include "modem/kvol_constants.h"
#include "modem/kvol_tbcc_encoder.h"
#include "modem/kvol_tbcc_list_decoder.h"
#include "modem/signal_helpers.h"
#include "modem/subtract_kvol.h"

namespace {
std::atomic<long> allocations{0};
}

// Counts every heap allocation; the library's own operator delete frees what malloc gave.
void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

namespace {

using cf = std::complex<float>;

struct Sets {
  std::vector<cf> a = std::vector<cf>(kvol::kCorrelationSetSize);
  std::vector<float> b = std::vector<float>(kvol::kCorrelationSetSize);
};

kvol::PayloadBits random_payload(std::mt19937& rng) {
  kvol::PayloadBits bits{};
  for (auto& bit : bits) bit = std::uint8_t(rng() & 1);
  bits[0] = 1;
  bits[kvol::kAtomWordBits] = 0;
  return bits;
}

Sets frame_sets(const kvol::DataSymbols& symbols, double es_n0_db, std::mt19937& rng) {
  const double n0 = std::isinf(es_n0_db) ? 0.0 : std::pow(10.0, -es_n0_db / 10.0);
  const double sigma = std::sqrt(n0 / 4.0);
  std::normal_distribution<double> gauss(0.0, 1.0);
  const std::complex<double> carrier =
      std::polar(1.0, 2.0 * std::numbers::pi * (rng() % 360) / 360);
  Sets sets;
  for (int s = 0; s < kvol::kDataSymbols; ++s) {
    for (int k = 0; k < 4; ++k) {
      const double amplitude = symbols[s] == k ? 0.5 : 0.0;
      const std::complex<double> h1 =
          amplitude * carrier + std::complex<double>(sigma * gauss(rng), sigma * gauss(rng));
      const std::complex<double> h2 =
          amplitude * carrier + std::complex<double>(sigma * gauss(rng), sigma * gauss(rng));
      sets.a[s * 4 + k] = cf(h1 + h2);
      sets.b[s * 4 + k] = float(std::sqrt(std::norm(h1) + std::norm(h2)));
    }
  }
  return sets;
}

void report_allocations(benchmark::State& state, long before) {
  state.counters["allocs/call"] =
      benchmark::Counter(double(allocations.load() - before), benchmark::Counter::kAvgIterations);
}

void BM_ListDecoderCleanFrame(benchmark::State& state) {
  std::mt19937 rng(1);
  const Sets sets = frame_sets(kvol::tbcc_encode(random_payload(rng)), INFINITY, rng);
  kvol::PayloadBits payload{};
  kvol::tbcc_decode_frame(sets.a, sets.b, payload);  // builds the plans
  const long before = allocations.load();
  for (auto _ : state) {
    benchmark::DoNotOptimize(kvol::tbcc_decode_frame(sets.a, sets.b, payload));
  }
  report_allocations(state, before);
}
BENCHMARK(BM_ListDecoderCleanFrame)->Unit(benchmark::kMicrosecond);

void BM_ListDecoderFailsAllPlans(benchmark::State& state) {
  // Pure noise: every plan runs and none finds a word that passes the CRC.
  std::mt19937 rng(2);
  Sets sets;
  kvol::PayloadBits payload{};
  for (unsigned seed = 0;; ++seed) {
    std::mt19937 noise(seed);
    std::normal_distribution<float> gauss;
    for (int i = 0; i < kvol::kCorrelationSetSize; ++i) {
      sets.a[i] = {gauss(noise), gauss(noise)};
      sets.b[i] = std::abs(cf{gauss(noise), gauss(noise)});
    }
    kvol::TbccDiagnostics diagnostics;
    if (!kvol::tbcc_decode_frame(sets.a, sets.b, payload, &diagnostics)) break;
  }
  const long before = allocations.load();
  for (auto _ : state) {
    benchmark::DoNotOptimize(kvol::tbcc_decode_frame(sets.a, sets.b, payload));
  }
  report_allocations(state, before);
}
BENCHMARK(BM_ListDecoderFailsAllPlans)->Unit(benchmark::kMicrosecond);

void BM_ListDecodeOnePlan(benchmark::State& state) {
  const int length = int(state.range(0));
  kvol::TbccPlan plan;
  kvol::TbccWorkspace workspace;
  kvol::tbcc_plan_init(plan, kvol::kKvolCodeProfile, length, 4, 2, 4);
  kvol::tbcc_workspace_init(workspace, plan);
  std::mt19937 rng(3);
  const Sets sets = frame_sets(kvol::tbcc_encode(random_payload(rng)), 3.0, rng);
  std::array<kvol::TbccCandidate, 4> out;
  for (auto _ : state) {
    benchmark::DoNotOptimize(kvol::tbcc_list_decode(plan, workspace, sets.a, out, true));
  }
  state.counters["candidates"] = workspace.candidate_count;
}
BENCHMARK(BM_ListDecodeOnePlan)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMicrosecond);

// Decode rate over AWGN at Es/N0 = range(0) / 10 dB, one fresh frame per iteration.
void BM_ListDecoderAwgnRate(benchmark::State& state) {
  const double es_n0 = double(state.range(0)) / 10.0;
  std::mt19937 rng(4);
  long decoded = 0, wrong = 0, attempts[5] = {};
  kvol::PayloadBits payload{};
  for (auto _ : state) {
    state.PauseTiming();
    const kvol::PayloadBits sent = random_payload(rng);
    const Sets sets = frame_sets(kvol::tbcc_encode(sent), es_n0, rng);
    state.ResumeTiming();
    kvol::TbccDiagnostics diagnostics;
    if (kvol::tbcc_decode_frame(sets.a, sets.b, payload, &diagnostics)) {
      (payload == sent ? decoded : wrong) += 1;
    }
    ++attempts[diagnostics.attempt];
  }
  using C = benchmark::Counter;
  state.counters["decoded"] = C(double(decoded), C::kAvgIterations);
  state.counters["wrong"] = C(double(wrong), C::kAvgIterations);
  for (int a = 1; a <= 4; ++a) {
    state.counters["plan" + std::to_string(a)] = C(double(attempts[a]), C::kAvgIterations);
  }
}
BENCHMARK(BM_ListDecoderAwgnRate)
    ->DenseRange(-20, 60, 10)
    ->Iterations(1000)
    ->Unit(benchmark::kMicrosecond);

void BM_AnalyticDownsample(benchmark::State& state) {
  constexpr int window = 28320;  // nsps 384
  const int nfft = kvol::analytic_downsample_length(window);
  std::vector<std::int16_t> wave(window);
  std::mt19937 rng(5);
  for (auto& s : wave) s = std::int16_t(int(rng() % 20001) - 10000);
  std::vector<cf> c(nfft);
  kvol::analytic_downsample(wave.data(), window, c.data(), nfft);
  const long before = allocations.load();
  for (auto _ : state) {
    kvol::analytic_downsample(wave.data(), window, c.data(), nfft);
    benchmark::ClobberMemory();
  }
  report_allocations(state, before);
}
BENCHMARK(BM_AnalyticDownsample)->Unit(benchmark::kMicrosecond);

void BM_SubtractKvol(benchmark::State& state) {
  constexpr int nsps = 192, npts = 14160, nfft = 32768;
  std::vector<std::int32_t> tones(kvol::kSyncTones.begin(), kvol::kSyncTones.end());
  std::mt19937 rng(6);
  for (int i = 0; i < kvol::kDataSymbols; ++i) tones.push_back(std::int32_t(rng() % 4));
  std::vector<cf> frame(kvol::kSymbolsPerFrame * nsps);
  kvol::gen_kvolwave(tones, nsps, 2.0f, 6000.0f, 1500.0f, frame);
  std::vector<cf> signal(npts);
  std::copy(frame.begin(), frame.end(), signal.begin() + 1000);
  std::vector<cf> c = signal;
  kvol::subtract_kvol(c, nfft, tones, nsps, 1500.0f, 1000 / 6000.0f);
  const long before = allocations.load();
  for (auto _ : state) {
    state.PauseTiming();
    c = signal;
    state.ResumeTiming();
    kvol::subtract_kvol(c, nfft, tones, nsps, 1500.0f, 1000 / 6000.0f);
    benchmark::ClobberMemory();
  }
  report_allocations(state, before);
}
BENCHMARK(BM_SubtractKvol)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
