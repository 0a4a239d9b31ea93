// A KVOL transmission played on the sink and captured back from its loopback input: the whole
// transmit and receive audio path, with the decoder on the capture thread as in the program.
#include <gtest/gtest.h>

#include <mutex>

#include "PulseTestSupport.h"
#include "audio/CaptureEngine.h"
#include "audio/PlaybackEngine.h"
#include "modem/KvolDecoder.h"

using namespace pulsetest;

namespace {

// The first and last samples above a tenth of the peak: what is around the signal on the
// loopback is digital silence.
std::pair<size_t, size_t> extent(std::span<const int16_t> samples) {
  const int threshold = peak(samples) / 10;
  auto loud = [&](int16_t sample) { return std::abs(int(sample)) > threshold; };
  const auto first = std::find_if(samples.begin(), samples.end(), loud);
  const auto last = std::find_if(samples.rbegin(), samples.rend(), loud);
  return {first - samples.begin(), samples.rend() - last};
}

TEST(AudioLoopback, AKvolTransmissionComesBackWholeWithItsText) {
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

  // The whole signal arrived, neither cut nor stretched: as long as sent, to well within a block.
  std::vector<int16_t> sent;
  for (size_t i = 0; i < encoded.samples.size(); i += 4) sent.push_back(encoded.samples[i]);
  const auto [sentStart, sentEnd] = extent(sent);
  const auto [heardStart, heardEnd] = extent(collector.samples());
  EXPECT_NEAR(double(heardEnd - heardStart), double(sentEnd - sentStart), 48.0);

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
