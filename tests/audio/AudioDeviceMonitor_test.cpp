#include "audio/AudioDeviceMonitor.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include "PulseTestSupport.h"
#include "audio/CaptureEngine.h"
#include "audio/PlaybackEngine.h"

using namespace pulsetest;

namespace {

// Longer than the debounce, so a notice that was going to come has come.
constexpr int kQuietMs = AudioDeviceMonitor::kDebounceMs + 600;

TEST(AudioDeviceMonitor, ReportsDevicesAndDefaultsButNotStreamsOfOurOwn) {
  requireTestServer();
  AudioDeviceMonitor monitor;
  int changes = 0;
  QObject::connect(&monitor, &AudioDeviceMonitor::changed, [&] { ++changes; });
  monitor.start();
  ASSERT_TRUE(monitor.isListening());

  // Capture and transmit streams connecting fire sink and source CHANGE events: no notice.
  // A notice from any of them would come a second after the last.
  CaptureEngine capture;
  Collector collector;
  capture.onSamples = collector.handler();
  ASSERT_EQ(capture.start(deviceNamed("test_in")), std::nullopt);
  PlaybackEngine playback;
  ASSERT_EQ(playback.playTone(deviceNamed("test_out"), 1000.0, 0.1f), std::nullopt);
  ASSERT_TRUE(waitFor([&] { return peak(collector.samples()) > 1000; }, 10000));
  playback.stopPlayer();
  capture.stop();
  QTest::qWait(kQuietMs);
  EXPECT_EQ(changes, 0);

  // A new sink brings a sink and its monitor source: one notice, a second after the last.
  QElapsedTimer clock;
  clock.start();
  LoadedModule headset({"module-null-sink", "sink_name=headset"});
  ASSERT_TRUE(waitFor([&] { return changes == 1; }, 5000));
  EXPECT_GE(clock.elapsed(), AudioDeviceMonitor::kDebounceMs - 50);

  // A real change of the default.
  pactl({"set-default-sink", "headset"});
  ASSERT_TRUE(waitFor([&] { return changes == 2; }, 5000));
  pactl({"set-default-sink", "test_out"});
  ASSERT_TRUE(waitFor([&] { return changes == 3; }, 5000));

  headset.unload();
  ASSERT_TRUE(waitFor([&] { return changes == 4; }, 5000));
  QTest::qWait(kQuietMs);
  EXPECT_EQ(changes, 4);
}

TEST(AudioDeviceMonitor, StopsListeningAndCanStartAgain) {
  requireTestServer();
  AudioDeviceMonitor monitor;
  int changes = 0;
  QObject::connect(&monitor, &AudioDeviceMonitor::changed, [&] { ++changes; });
  monitor.start();
  monitor.start();  // a second start changes nothing
  ASSERT_TRUE(monitor.isListening());
  {
    LoadedModule headset({"module-null-sink", "sink_name=headset"});
    // Stopped while the notice is pending: it never comes.
    QTest::qWait(200);
    monitor.stop();
    EXPECT_FALSE(monitor.isListening());
  }
  QTest::qWait(kQuietMs);
  EXPECT_EQ(changes, 0);

  monitor.start();
  EXPECT_TRUE(monitor.isListening());
  LoadedModule headset({"module-null-sink", "sink_name=headset"});
  EXPECT_TRUE(waitFor([&] { return changes == 1; }, 5000));
}

// Without a server it starts all the same; a server appearing, and going, is a change.
TEST(AudioDeviceMonitor, StartsWithoutAServerAndReportsItComingAndGoing) {
  std::optional<ServerOverride> none(kNoServer);
  AudioDeviceMonitor monitor;
  int changes = 0;
  QObject::connect(&monitor, &AudioDeviceMonitor::changed, [&] { ++changes; });
  monitor.start();
  EXPECT_FALSE(monitor.isListening());

  // The monitor finds the server by itself.
  PrivateServer server;
  ASSERT_TRUE(server.started());
  none.reset();
  ServerOverride privateServer(server.address());
  EXPECT_TRUE(waitFor([&] { return monitor.isListening(); }, 3 * AudioDeviceMonitor::kReconnectMs));
  EXPECT_TRUE(waitFor([&] { return changes == 1; }, 5000));
  // Every device goes with it.
  server.kill();
  ASSERT_TRUE(waitFor([&] { return !monitor.isListening(); }, 5000));
  EXPECT_TRUE(waitFor([&] { return changes == 2; }, 5000));
}

}  // namespace
