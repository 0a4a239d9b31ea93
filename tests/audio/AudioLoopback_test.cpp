// A KVOL transmission played on the sink and captured back from its loopback input: the whole
// transmit and receive audio path, with the decoder on the capture thread as in the program.
#include <gtest/gtest.h>

#include <mutex>

#include "PulseTestSupport.h"
#include "audio/CaptureEngine.h"
#include "audio/PlaybackEngine.h"
#include "modem/KvolDecoder.h"
#include "modem/kvol_constants.h"

using namespace pulsetest;

namespace {

constexpr double kCaptureRate = 12000.0;
constexpr size_t kDecimation = 4;  // 48 000 Hz to 12 000 Hz
constexpr size_t kSymbol = kvol::kTxSamplesPerSymbol / kDecimation;

// The strongest of the four tones over each symbol, from the symbol starting at offset on.
std::vector<int> toneSequence(std::span<const int16_t> samples, size_t offset, size_t symbols) {
  std::vector<int> tones;
  for (size_t s = 0; s < symbols && offset + (s + 1) * kSymbol <= samples.size(); ++s) {
    const auto symbol = samples.subspan(offset + s * kSymbol, kSymbol);
    int best = 0;
    double bestPower = -1.0;
    for (int tone = 0; tone < 4; ++tone) {
      const double power = tonePower(symbol, 1500.0 + tone * kvol::kTxToneSpacingHz, kCaptureRate);
      if (power > bestPower) {
        bestPower = power;
        best = tone;
      }
    }
    tones.push_back(best);
  }
  return tones;
}

// Where the signal starts: its first sample above a tenth of its peak. What is around it on the
// loopback is digital silence.
size_t onset(std::span<const int16_t> samples) {
  const int threshold = peak(samples) / 10;
  for (size_t i = 0; i < samples.size(); ++i) {
    if (std::abs(int(samples[i])) > threshold) return i;
  }
  return samples.size();
}

TEST(AudioLoopback, AKvolTransmissionComesBackWithItsTonesAndItsText) {
  requireTestServer();
  KvolDecoder transmitter;
  const auto encoded = transmitter.encode("CQ DE PALAVRIX", 1500.0f);
  ASSERT_TRUE(encoded.ok);
  ASSERT_FALSE(encoded.samples.empty());

  KvolDecoder receiver;
  std::mutex mutex;
  std::vector<KvolDecoder::Update> updates;
  receiver.onMessageUpdated = [&](const KvolDecoder::Update& update) {
    std::lock_guard lock(mutex);
    updates.push_back(update);
  };
  Collector collector;
  CaptureEngine capture;
  capture.onSamples = [&](std::span<const int16_t> block) {
    collector.add(block);
    receiver.append(block);
    receiver.decodePending();
  };
  ASSERT_EQ(capture.start(deviceNamed("test_in")), std::nullopt);
  ASSERT_TRUE(waitFor([&] { return collector.size() >= 6000; }, 10000));  // capture is flowing

  PlaybackEngine playback;
  ASSERT_EQ(playback.prepare(deviceNamed("test_out")), std::nullopt);
  bool playedBack = false;
  playback.schedule(PlaybackEngine::makeBuffer(encoded.samples), false, [&] { playedBack = true; });
  playback.play();
  const double seconds = double(encoded.samples.size()) / PlaybackEngine::kSampleRate;
  ASSERT_TRUE(waitFor([&] { return playedBack; }, int(seconds * 1000) + 10000));
  // A second of silence after it, so that the decoder sees the end.
  const size_t end = collector.size() + 12000;
  ASSERT_TRUE(waitFor([&] { return collector.size() >= end; }, 10000));
  const bool decoded = waitFor(
      [&] {
        std::lock_guard lock(mutex);
        return std::any_of(updates.begin(), updates.end(),
                           [](const KvolDecoder::Update& update) { return update.isComplete; });
      },
      10000);
  capture.stop();

  // Every symbol's tone as sent.
  std::vector<int16_t> sent;
  for (size_t i = 0; i < encoded.samples.size(); i += kDecimation)
    sent.push_back(encoded.samples[i]);
  const auto captured = collector.samples();
  const size_t sentStart = onset(sent);
  const size_t symbols = (sent.size() - sentStart) / kSymbol;
  const size_t heardStart = onset(captured);
  ASSERT_LT(heardStart, captured.size());
  const auto sentTones = toneSequence(sent, sentStart, symbols);
  const auto heardTones = toneSequence(captured, heardStart, symbols);
  ASSERT_EQ(heardTones.size(), sentTones.size());
  size_t differing = 0;
  for (size_t s = 0; s < symbols; ++s) differing += sentTones[s] != heardTones[s];
  EXPECT_EQ(differing, 0u) << "of " << symbols << " symbols";

  // And the decoder on the capture thread read it.
  ASSERT_TRUE(decoded);
  std::lock_guard lock(mutex);
  const auto complete =
      std::find_if(updates.begin(), updates.end(),
                   [](const KvolDecoder::Update& update) { return update.isComplete; });
  EXPECT_EQ(complete->text, encoded.sentText);
  EXPECT_NEAR(complete->frequencyHz, 1500.0f, 5.0f);
}

}  // namespace
