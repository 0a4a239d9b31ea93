#include "audio/PlaybackEngine.h"

#include <gtest/gtest.h>

#include <cmath>

#include "PulseTestSupport.h"

using namespace pulsetest;

namespace {

std::vector<int16_t> tone(double frequency, double seconds, double amplitude) {
  std::vector<int16_t> samples(size_t(seconds * PlaybackEngine::kSampleRate));
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = int16_t(std::lround(amplitude * std::sin(2 * M_PI * frequency * i / 48000.0)));
  }
  return samples;
}

TEST(PlaybackEngine, TheTestToneLoopsUntilStopped) {
  requireTestServer();
  Listener listener;
  ASSERT_TRUE(listener.started());
  PlaybackEngine playback;
  ASSERT_EQ(playback.playTone(deviceNamed("test_out"), 1000.0, 0.97f), std::nullopt);
  EXPECT_TRUE(playback.isPlaying());

  // Wait for the tone to arrive, then follow it for 1.2 s: six times its 0.2 s of buffers.
  ASSERT_TRUE(waitFor([&] { return peak(listener.heard().samples()) > 20000; }, 10000));
  for (int part = 0; part < 12; ++part) {
    const auto heard = listener.next(1200);
    ASSERT_EQ(heard.size(), 1200u);
    EXPECT_NEAR(strongestFrequency(heard, 12000.0, 200.0, 5800.0, 10.0), 1000.0, 10.0);
    EXPECT_GT(peak(heard), 30000) << "part " << part;  // 0.97 of full scale, gain 1
  }
  EXPECT_TRUE(playback.isPlaying());

  playback.stopPlayer();
  EXPECT_FALSE(playback.isPlaying());
  // Silence follows within the stream's short latency.
  EXPECT_TRUE(waitFor([&] { return peak(listener.next(600)) == 0; }, 5000));
}

TEST(PlaybackEngine, PlaysScheduledSamplesWithTheGainAndReportsTheirEnd) {
  requireTestServer();
  Listener listener;
  ASSERT_TRUE(listener.started());
  PlaybackEngine playback;
  playback.setGain(0.5f);
  ASSERT_EQ(playback.prepare(deviceNamed("test_out")), std::nullopt);
  const auto samples = tone(1500.0, 0.6, 30000.0);
  bool playedBack = false;
  playback.schedule(PlaybackEngine::makeBuffer(samples), false, [&] { playedBack = true; });
  playback.play();
  ASSERT_TRUE(waitFor([&] { return peak(listener.heard().samples()) > 10000; }, 10000));
  const auto heard = listener.next(2400);
  EXPECT_NEAR(toneAmplitude(heard), 15000, 500);
  EXPECT_NEAR(strongestFrequency(heard, 12000.0, 200.0, 5800.0, 10.0), 1500.0, 10.0);
  EXPECT_TRUE(waitFor([&] { return playedBack; }, 5000));
  EXPECT_FALSE(playback.isPlaying());
}

TEST(PlaybackEngine, ReportsEachBuffersEndOnceItHasBeenPlayed) {
  requireTestServer();
  PlaybackEngine playback;
  ASSERT_EQ(playback.prepare(deviceNamed("test_out")), std::nullopt);
  std::vector<int> ended;
  bool playingAtFirstEnd = false;
  auto schedule = [&](int i) {
    playback.schedule(PlaybackEngine::makeBuffer(tone(1000.0, 0.3, 10000.0)), false, [&, i] {
      if (ended.empty()) playingAtFirstEnd = playback.isPlaying();
      ended.push_back(i);
    });
  };
  // The rest are written while the server still plays the first.
  schedule(0);
  playback.play();
  for (int i = 1; i < 4; ++i) schedule(i);
  ASSERT_TRUE(waitFor([&] { return ended.size() == 4; }, 10000));
  EXPECT_EQ(ended, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_TRUE(playingAtFirstEnd) << "the first end was held back until the queue drained";
  EXPECT_FALSE(playback.isPlaying());
}

// Each scheduled buffer's ends: played back or failed, and the last reason given.
struct Ends {
  int played = 0;
  int failed = 0;
  QString reason;
};

void scheduleTwoSeconds(PlaybackEngine& playback, Ends& ends) {
  for (int i = 0; i < 2; ++i) {
    playback.schedule(
        PlaybackEngine::makeBuffer(tone(1000.0, 1.0, 10000.0)), false, [&] { ++ends.played; },
        [&](const PlaybackError& error) {
          ++ends.failed;
          ends.reason = error.description;
        });
  }
  playback.play();
}

TEST(PlaybackEngine, EveryBufferFailsWithTheReasonWhenItsDeviceGoesAway) {
  requireTestServer();
  LoadedModule sink({"module-null-sink", "sink_name=unplugged_out"});
  PlaybackEngine playback;
  ASSERT_EQ(playback.prepare(deviceNamed("unplugged_out")), std::nullopt);
  Ends ends;
  scheduleTwoSeconds(playback, ends);
  sink.unload();
  ASSERT_TRUE(waitFor([&] { return ends.failed == 2; }, 5000));
  EXPECT_EQ(ends.played, 0);
  EXPECT_FALSE(ends.reason.isEmpty());
  EXPECT_FALSE(playback.isPlaying());
  EXPECT_TRUE(playback.isStale());
}

TEST(PlaybackEngine, EveryBufferFailsWithTheReasonWhenTheServerDies) {
  PrivateServer server;
  ASSERT_TRUE(server.started());
  ServerOverride privateServer(server.address());
  PlaybackEngine playback;
  ASSERT_EQ(playback.prepare(std::nullopt), std::nullopt);
  Ends ends;
  scheduleTwoSeconds(playback, ends);
  server.kill();
  ASSERT_TRUE(waitFor([&] { return ends.failed == 2; }, 5000));
  EXPECT_EQ(ends.played, 0);
  EXPECT_FALSE(ends.reason.isEmpty());
  EXPECT_FALSE(playback.isPlaying());
}

TEST(PlaybackEngine, PlaysNoToneOfAFrequencyThatIsNotPositiveAndFinite) {
  requireTestServer();
  PlaybackEngine playback;
  EXPECT_EQ(playback.playTone(deviceNamed("test_out"), 0.0, 0.5f), std::nullopt);
  EXPECT_FALSE(playback.isPlaying());
  EXPECT_EQ(playback.playTone(deviceNamed("test_out"), NAN, 0.5f), std::nullopt);
  EXPECT_FALSE(playback.isPlaying());
  // Above the output's Nyquist frequency it is still a valid request (1.6 samples a cycle).
  EXPECT_EQ(playback.playTone(deviceNamed("test_out"), 30000.0, 0.5f), std::nullopt);
  EXPECT_TRUE(playback.isPlaying());
  playback.stopPlayer();
}

TEST(PlaybackEngine, RefusesEmptyBuffersAndCopesWithHugeOnes) {
  requireTestServer();
  EXPECT_EQ(PlaybackEngine::makeBuffer({}), nullptr);
  PlaybackEngine playback;
  ASSERT_EQ(playback.prepare(deviceNamed("test_out")), std::nullopt);
  playback.schedule(nullptr);
  playback.play();
  EXPECT_FALSE(playback.isPlaying());

  // Ten minutes of audio: scheduling and stopping it must not stall the caller.
  const std::vector<int16_t> long_(size_t(600) * PlaybackEngine::kSampleRate, 1000);
  auto buffer = PlaybackEngine::makeBuffer(long_);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(buffer->size(), long_.size());
  playback.schedule(buffer);
  EXPECT_TRUE(playback.isPlaying());
  playback.stopPlayer();
  EXPECT_FALSE(playback.isPlaying());
}

TEST(PlaybackEngine, ReportsPulseAudiosErrorForADeviceThatIsGone) {
  requireTestServer();
  PlaybackEngine playback;
  const auto error = playback.prepare(AudioDeviceInfo{5, "unplugged_long_ago", "Old interface"});
  ASSERT_TRUE(error);
  EXPECT_EQ(error->description, "No such entity.");
  EXPECT_TRUE(playback.playTone(AudioDeviceInfo{5, "unplugged_long_ago", "Old"}, 1000.0, 0.5f));
  // The next request for a present device builds again.
  EXPECT_EQ(playback.prepare(deviceNamed("test_out")), std::nullopt);
  EXPECT_FALSE(playback.isStale());
}

TEST(PlaybackEngine, FailsCleanlyWithoutAServerAndWhenTheServerDies) {
  PrivateServer server;
  ASSERT_TRUE(server.started());
  PlaybackEngine playback;
  {
    ServerOverride privateServer(server.address());
    ASSERT_EQ(playback.playTone(std::nullopt, 1000.0, 0.5f), std::nullopt);
    server.kill();
    // The engine notices and rebuilds before its next use.
    EXPECT_TRUE(waitFor([&] { return playback.isStale(); }, 5000));
    const auto error = playback.prepare(std::nullopt);
    ASSERT_TRUE(error);
    EXPECT_FALSE(error->description.isEmpty());
  }
  ServerOverride none("unix:/nonexistent/palavrix/native");
  EXPECT_TRUE(playback.playTone(std::nullopt, 1000.0, 0.5f));
  EXPECT_FALSE(playback.isPlaying());
}

TEST(PlaybackEngine, KeepsItsStreamBetweenTransmissionsToTheSameDevice) {
  requireTestServer();
  PlaybackEngine playback;
  ASSERT_EQ(playback.prepare(deviceNamed("test_out")), std::nullopt);
  const QString first = ourStream("sink-inputs", "Palavrix transmit");
  ASSERT_FALSE(first.isEmpty());
  ASSERT_EQ(playback.prepare(deviceNamed("test_out")), std::nullopt);
  EXPECT_EQ(ourStream("sink-inputs", "Palavrix transmit"), first);
  // The server's default instead of a named device, then stale: a new stream each time.
  ASSERT_EQ(playback.prepare(std::nullopt), std::nullopt);
  const QString second = ourStream("sink-inputs", "Palavrix transmit");
  EXPECT_NE(second, first);
  playback.setStale();
  ASSERT_EQ(playback.prepare(std::nullopt), std::nullopt);
  EXPECT_NE(ourStream("sink-inputs", "Palavrix transmit"), second);
}

TEST(PlaybackEngine, RebuildsForAnotherDeviceAndAfterGoingStale) {
  requireTestServer();
  LoadedModule second({"module-null-sink", "sink_name=second_out"});
  Listener listener;
  ASSERT_TRUE(listener.started());
  PlaybackEngine playback;
  ASSERT_EQ(playback.playTone(deviceNamed("second_out"), 1000.0, 0.5f), std::nullopt);
  // Played elsewhere: test_in hears nothing.
  EXPECT_EQ(peak(listener.next(6000)), 0);
  ASSERT_EQ(playback.playTone(deviceNamed("test_out"), 1000.0, 0.5f), std::nullopt);
  EXPECT_TRUE(waitFor([&] { return peak(listener.next(600)) > 10000; }, 5000));
  playback.setStale();
  EXPECT_EQ(playback.prepare(deviceNamed("test_out")), std::nullopt);
  EXPECT_FALSE(playback.isStale());
  EXPECT_FALSE(playback.isPlaying());
}

}  // namespace
