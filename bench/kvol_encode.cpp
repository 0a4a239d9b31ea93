// Time to encode a typed message into 48 000 Hz transmit samples, for the shortest and the
// longest messages an operator can send.
#include <benchmark/benchmark.h>

#include <string>

#include "modem/KvolDecoder.h"

namespace {

void encode_message(benchmark::State& state, const std::string& text, std::size_t frames) {
  KvolDecoder decoder;
  for (auto _ : state) {
    auto encoded = decoder.encode(text, 1500.0f);
    if (!encoded.ok || encoded.samples.size() != frames * 59 * 1536) {
      state.SkipWithError("unexpected encoding");
      break;
    }
    benchmark::DoNotOptimize(encoded.samples.data());
  }
  state.counters["frames"] = static_cast<double>(frames);
  state.counters["samples/s"] = benchmark::Counter(
      static_cast<double>(frames * 59 * 1536) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}

void BM_EncodeOneFrame(benchmark::State& state) { encode_message(state, "CQ K1ABC CQ", 1); }

// Eighty characters that only text chunks can carry: sixteen frames.
void BM_EncodeSixteenFrames(benchmark::State& state) {
  encode_message(state,
                 "the quick brown fox jumps over the lazy dog; pack my box with five dozen "
                 "jugs!!!",
                 16);
}

}  // namespace

BENCHMARK(BM_EncodeOneFrame)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeSixteenFrames)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
