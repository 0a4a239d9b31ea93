#include "audio/PlaybackEngine.h"

#include <gtest/gtest.h>

#include <cmath>

#include "PulseTestSupport.h"

using namespace pulsetest;

namespace {

PlaybackBuffer tone(double frequency, double seconds, double amplitude) {
  std::vector<int16_t> samples(size_t(seconds * PlaybackEngine::kSampleRate));
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = int16_t(std::lround(amplitude * std::sin(2 * M_PI * frequency * i / 48000.0)));
  }
  return PlaybackEngine::makeBuffer(samples);
}

TEST(PlaybackEngine, TheTestToneLoopsUntilStoppedAndTakesANewGainWithinASecond) {
  Listener listener;
  PlaybackEngine playback;
  ASSERT_EQ(playback.playTone(deviceNamed("test_out"), 1000.0, 0.97f), std::nullopt);
  // Once it has risen, 1.2 s of it (six times its 0.2 s of buffers) at 0.97 of full scale.
  ASSERT_TRUE(waitFor([&] { return listener.loudest() > 20000; }));
  for (int part = 0; part < 12; ++part) {
    const auto heard = listener.next(1200);
    EXPECT_NEAR(toneFrequency(heard), 1000.0, 10.0) << "part " << part;
    EXPECT_GT(peak(heard), 30000) << "part " << part;
  }
  EXPECT_TRUE(playback.isPlaying());
  playback.setGain(0.5f);
  const auto later = listener.next(12000);
  ASSERT_EQ(later.size(), 12000u);
  EXPECT_NEAR(toneAmplitude(std::span(later).last(1200)), 0.97 * 32767 * 0.5, 1000);

  playback.stopPlayer();
  EXPECT_FALSE(playback.isPlaying());
  EXPECT_TRUE(waitFor([&] { return peak(listener.next(600)) == 0; }));
}

// Buffers play in turn with the gain; each one's end is reported once it has been played, the
// rest having been written while the server still played the first.
TEST(PlaybackEngine, PlaysScheduledBuffersWithTheGainAndReportsEachEndInTurn) {
  Listener listener;
  PlaybackEngine playback;
  playback.setGain(0.5f);
  ASSERT_EQ(playback.prepare(deviceNamed("test_out")), std::nullopt);
  std::vector<int> ended;
  bool playingAtFirstEnd = false;
  auto schedule = [&](int i) {
    playback.schedule(tone(1500.0, 0.3, 30000.0), false, {.onPlayedBack = [&, i] {
                        if (ended.empty()) playingAtFirstEnd = playback.isPlaying();
                        ended.push_back(i);
                      }});
  };
  schedule(0);
  playback.play();
  for (int i = 1; i < 4; ++i) schedule(i);
  ASSERT_TRUE(waitFor([&] { return listener.loudest() > 10000; }));
  const auto heard = listener.next(2400);
  EXPECT_NEAR(toneAmplitude(heard), 15000, 500);
  EXPECT_NEAR(toneFrequency(heard), 1500.0, 10.0);
  ASSERT_TRUE(waitFor([&] { return ended.size() == 4; }));
  EXPECT_EQ(ended, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_TRUE(playingAtFirstEnd) << "the first end was held back until the queue drained";
  EXPECT_FALSE(playback.isPlaying());
}

// Every buffer still queued when the output goes away fails once, with the reason.
TEST(PlaybackEngine, EveryBufferFailsWithTheReasonWhenItsDeviceOrServerGoesAway) {
  for (const bool serverDies : {false, true}) {
    SCOPED_TRACE(serverDies ? "server killed" : "device unplugged");
    LoadedModule sink({"module-null-sink", "sink_name=unplugged_out"});
    PrivateServer server;
    std::optional<ServerOverride> privateServer;
    if (serverDies) privateServer.emplace(server.address());
    PlaybackEngine playback;
    ASSERT_EQ(
        playback.prepare(serverDies ? std::nullopt : std::optional(deviceNamed("unplugged_out"))),
        std::nullopt);
    int played = 0;
    QStringList reasons;
    for (int i = 0; i < 2; ++i) {
      playback.schedule(tone(1000.0, 1.0, 10000.0), false,
                        {.onPlayedBack = [&] { ++played; },
                         .onFailed = [&](const PlaybackError& e) { reasons << e.description; }});
    }
    playback.play();
    serverDies ? server.kill() : sink.unload();
    ASSERT_TRUE(waitFor([&] { return reasons.size() == 2; }));
    EXPECT_EQ(played, 0);
    EXPECT_FALSE(reasons[0].isEmpty());
    EXPECT_FALSE(playback.isPlaying());
    EXPECT_TRUE(playback.isStale());
  }
}

// A device that is gone gives PulseAudio's error. The stream stays between transmissions to the
// same device and is built anew for another device, for the server's default and after going
// stale. Without a server nothing plays.
TEST(PlaybackEngine, ReportsAGoneDeviceKeepsItsStreamForTheSameOneAndRebuildsOtherwise) {
  LoadedModule secondSink({"module-null-sink", "sink_name=second_out"});
  Listener listener;
  PlaybackEngine playback;
  auto stream = [] { return ourStream("sink-inputs", "Palavrix transmit"); };
  const AudioDeviceInfo gone{5, "unplugged_long_ago", "Old interface"};
  const auto error = playback.prepare(gone);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->description, "No such entity.");
  EXPECT_TRUE(playback.playTone(gone, 1000.0, 0.5f));
  ASSERT_EQ(playback.prepare(deviceNamed("test_out")), std::nullopt);
  const QString first = stream();
  ASSERT_FALSE(first.isEmpty());
  ASSERT_EQ(playback.prepare(deviceNamed("test_out")), std::nullopt);
  EXPECT_EQ(stream(), first);
  ASSERT_EQ(playback.prepare(std::nullopt), std::nullopt);
  const QString second = stream();
  EXPECT_NE(second, first);
  playback.setStale();
  ASSERT_EQ(playback.prepare(std::nullopt), std::nullopt);
  EXPECT_NE(stream(), second);
  EXPECT_FALSE(playback.isStale());

  ASSERT_EQ(playback.playTone(deviceNamed("second_out"), 1000.0, 0.5f), std::nullopt);
  EXPECT_EQ(peak(listener.next(6000)), 0) << "played elsewhere";
  ASSERT_EQ(playback.playTone(deviceNamed("test_out"), 1000.0, 0.5f), std::nullopt);
  EXPECT_TRUE(waitFor([&] { return peak(listener.next(600)) > 10000; }));
  ServerOverride none(kNoServer);
  EXPECT_TRUE(playback.playTone(std::nullopt, 1000.0, 0.5f));
  EXPECT_FALSE(playback.isPlaying());
}

}  // namespace
