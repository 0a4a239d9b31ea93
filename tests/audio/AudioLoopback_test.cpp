// KVOL transmissions played on the sink and captured back from its loopback input while twice as
// many spinning processes as cores keep the machine busy, as a desktop compiling in the
// background does: the transmit audio is handed to the server far enough ahead that every
// transmission comes back as long as it was sent, without a gap, and decodes to its text.
#include <gtest/gtest.h>

#include "BusyProcesses.h"
#include "PulseTestSupport.h"
#include "audio/PlaybackEngine.h"
#include "modem/KvolDecoder.h"

using namespace pulsetest;

namespace {

constexpr size_t kRate = 12000;

// The stretches of the samples above a tenth of their peak, as [first, last + 1), that lie at
// least `apart` samples from each other.
std::vector<std::pair<size_t, size_t>> loudStretches(std::span<const int16_t> samples,
                                                     size_t apart) {
  const int threshold = peak(samples) / 10;
  std::vector<std::pair<size_t, size_t>> stretches;
  for (size_t i = 0; i < samples.size(); ++i) {
    if (std::abs(int(samples[i])) <= threshold) continue;
    if (stretches.empty() || i - stretches.back().second >= apart) stretches.push_back({i, i});
    stretches.back().second = i + 1;
  }
  return stretches;
}

// The longest run at or below a tenth of the peak: a gap. The signal's steady envelope crosses
// that level only for a sample or so at each zero crossing.
size_t longestQuietRun(std::span<const int16_t> samples) {
  const int threshold = peak(samples) / 10;
  size_t longest = 0;
  for (size_t i = 0, run = 0; i < samples.size(); ++i) {
    run = std::abs(int(samples[i])) <= threshold ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  return longest;
}

// What a receiver makes of the samples, given with silence around them.
std::string decodedText(std::span<const int16_t> heard) {
  KvolDecoder receiver;
  std::string text;
  receiver.onMessageUpdated = [&](const KvolDecoder::Update& update) {
    if (update.isComplete) text = update.text;
  };
  std::vector<int16_t> audio(kRate / 2, 0);
  audio.insert(audio.end(), heard.begin(), heard.end());
  audio.resize(audio.size() + 2 * kRate, 0);
  for (size_t at = 0; at < audio.size(); at += 512) {
    receiver.append(std::span(audio).subspan(at, std::min<size_t>(512, audio.size() - at)));
    receiver.decodePending();
  }
  return text;
}

TEST(AudioLoopback, TransmissionsOnABusyMachineComeBackWholeWithTheirText) {
  Listener listener;
  ASSERT_EQ(listener.next(kRate / 2).size(), kRate / 2);  // flowing

  PlaybackEngine playback;
  KvolDecoder transmitter;
  std::vector<KvolDecoder::Encoded> sent;
  {
    loadtest::BusyProcesses load;
    ASSERT_GT(load.count(), 0);
    for (int i = 0; i < 10; ++i) {
      // Grid locators: one frame each, so that ten fit in a short test.
      sent.push_back(transmitter.encode("FN3" + std::to_string(i), 1500.0f));
      ASSERT_TRUE(sent.back().ok);
      ASSERT_EQ(playback.prepare(deviceNamed("test_out")), std::nullopt);
      bool playedBack = false;
      playback.schedule(PlaybackEngine::makeBuffer(sent.back().samples), false,
                        {.onPlayedBack = [&] { playedBack = true; }});
      playback.play();
      ASSERT_TRUE(waitFor([&] { return playedBack; }, 30000)) << "transmission " << i;
      // A pause, so that the transmissions stand apart in what is heard.
      ASSERT_EQ(listener.next(kRate / 4).size(), kRate / 4);
    }
  }

  const std::vector<int16_t> heard = listener.samples();
  const auto stretches = loudStretches(heard, kRate / 10);
  ASSERT_EQ(stretches.size(), sent.size()) << "a gap of 0.1 s or more splits a transmission";
  for (size_t i = 0; i < sent.size(); ++i) {
    SCOPED_TRACE("transmission " + std::to_string(i));
    std::vector<int16_t> sentAt12k;
    for (size_t s = 0; s < sent[i].samples.size(); s += 4) sentAt12k.push_back(sent[i].samples[s]);
    const auto sentExtent = loudStretches(sentAt12k, sentAt12k.size()).front();
    const auto [start, end] = stretches[i];
    const std::span<const int16_t> transmission(heard.data() + start, end - start);
    EXPECT_NEAR(double(end - start), double(sentExtent.second - sentExtent.first), 48.0);
    EXPECT_LT(longestQuietRun(transmission), 6u);
    EXPECT_EQ(decodedText(transmission), sent[i].sentText);
  }
}

}  // namespace
