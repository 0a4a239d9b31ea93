// The transmit path on one thread while the receiver works on another: neither may disturb
// the other's results, and ThreadSanitizer must find no race.
#include <gtest/gtest.h>

#include <atomic>
#include <complex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "modem/gen_kvolwave.h"
#include "modem/kvol_constants.h"
#include "modem/pack77.h"

namespace {

using namespace kvol;

std::vector<std::int32_t> random_tones(int count, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::int32_t> tones(count);
  for (auto& t : tones) t = static_cast<std::int32_t>(rng() % 4);
  return tones;
}

// What the receiver's subtraction asks of the waveform generator: complex, 6000 Hz.
std::vector<std::complex<float>> receive_wave(const std::vector<std::int32_t>& tones) {
  std::vector<std::complex<float>> wave(tones.size() * 192);
  gen_kvolwave(tones, 192, 2.0f, 6000.0f, 900.0f, wave);
  return wave;
}

TEST(TransmitThreads, WaveformsWithTheirOwnParametersDoNotDisturbEachOther) {
  const std::vector<std::int32_t> tones = random_tones(59, 33);
  std::vector<float> expectedReal(tones.size() * kTxSamplesPerSymbol);
  gen_kvolwave(tones, kTxSamplesPerSymbol, kTxBt, kTxSampleRate, 1500.0f, expectedReal);
  const auto expectedComplex = receive_wave(tones);

  bool realSame = true, complexSame = true;
  std::thread transmit([&] {
    std::vector<float> wave(expectedReal.size());
    for (int i = 0; i < 5; ++i) {
      gen_kvolwave(tones, kTxSamplesPerSymbol, kTxBt, kTxSampleRate, 1500.0f, wave);
      realSame = realSame && wave == expectedReal;
    }
  });
  std::thread receive([&] {
    for (int i = 0; i < 20; ++i)
      complexSame = complexSame && receive_wave(tones) == expectedComplex;
  });
  transmit.join();
  receive.join();
  EXPECT_TRUE(realSame);
  EXPECT_TRUE(complexSame);
}

TEST(TransmitThreads, BothPathsShareTheRecentCallList) {
  const auto field = [](std::string_view text) { return to_field<kFieldChars>(text); };
  std::atomic<bool> done{false};
  std::thread receiver([&] {
    do {
      for (int i = 0; i < 50; ++i) hash22_to_call(i);
      remember_call(field("R1CVR"));
    } while (!done.load());
  });
  for (int i = 0; i < 300; ++i) {
    const std::string call = "T" + std::to_string(i % 10) + "X" + std::string(1, 'A' + i % 26) +
                             std::string(1, 'A' + i / 26 % 26);
    EXPECT_EQ(trimmed(n28_to_call_default(call_to_n28_remember(field(call))).text), call);
  }
  done = true;
  receiver.join();
  const auto hash = static_cast<std::int32_t>(call_hash("R1CVR", kHashBits));
  EXPECT_EQ(trimmed(hash22_to_call(hash)), "<R1CVR>");
}

}  // namespace
