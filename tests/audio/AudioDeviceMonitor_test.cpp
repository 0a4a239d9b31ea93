#include "audio/AudioDeviceMonitor.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include "PulseTestSupport.h"
#include "audio/PlaybackEngine.h"

using namespace pulsetest;

namespace {

// Longer than the debounce, so a notice that was going to come has come.
constexpr int kQuietMs = AudioDeviceMonitor::kDebounceMs + 600;

struct ChangeCounter {
  explicit ChangeCounter(AudioDeviceMonitor& monitor) {
    QObject::connect(&monitor, &AudioDeviceMonitor::changed, [this] { ++count; });
  }
  int count = 0;
};

TEST(AudioDeviceMonitor, ReportsDevicesAndDefaultsOnceSettledButNotStreamsOfOurOwn) {
  AudioDeviceMonitor monitor;
  ChangeCounter changes(monitor);
  monitor.start();
  ASSERT_TRUE(monitor.isListening());
  {
    // Capture and transmit streams coming and going fire sink and source CHANGE events.
    Listener listener;
    PlaybackEngine playback;
    ASSERT_EQ(playback.playTone(deviceNamed("test_out"), 1000.0, 0.1f), std::nullopt);
    ASSERT_TRUE(waitFor([&] { return listener.loudest() > 1000; }));
  }
  QTest::qWait(kQuietMs);
  EXPECT_EQ(changes.count, 0);

  // A new sink brings a sink and its monitor source: one notice, a second after the last.
  QElapsedTimer clock;
  clock.start();
  LoadedModule headset({"module-null-sink", "sink_name=headset"});
  ASSERT_TRUE(waitFor([&] { return changes.count == 1; }));
  EXPECT_GE(clock.elapsed(), AudioDeviceMonitor::kDebounceMs - 50);
  pactl({"set-default-sink", "headset"});
  ASSERT_TRUE(waitFor([&] { return changes.count == 2; }));
  pactl({"set-default-sink", "test_out"});
  ASSERT_TRUE(waitFor([&] { return changes.count == 3; }));
  headset.unload();
  ASSERT_TRUE(waitFor([&] { return changes.count == 4; }));
  QTest::qWait(kQuietMs);
  EXPECT_EQ(changes.count, 4);

  // Stopped while a notice is pending: it never comes. Started again, it reports again.
  LoadedModule second({"module-null-sink", "sink_name=second"});
  QTest::qWait(200);
  monitor.stop();
  EXPECT_FALSE(monitor.isListening());
  QTest::qWait(kQuietMs);
  EXPECT_EQ(changes.count, 4);
  monitor.start();
  EXPECT_TRUE(monitor.isListening());
  second.unload();
  EXPECT_TRUE(waitFor([&] { return changes.count == 5; }));
}

// Without a server it starts all the same; a server appearing, and going, is a change.
TEST(AudioDeviceMonitor, StartsWithoutAServerAndReportsItComingAndGoing) {
  std::optional<ServerOverride> none(kNoServer);
  AudioDeviceMonitor monitor;
  ChangeCounter changes(monitor);
  monitor.start();
  EXPECT_FALSE(monitor.isListening());

  PrivateServer server;
  none.reset();
  ServerOverride privateServer(server.address());
  EXPECT_TRUE(waitFor([&] { return monitor.isListening(); }, 3 * AudioDeviceMonitor::kReconnectMs));
  EXPECT_TRUE(waitFor([&] { return changes.count == 1; }));
  server.kill();
  ASSERT_TRUE(waitFor([&] { return !monitor.isListening(); }));
  EXPECT_TRUE(waitFor([&] { return changes.count == 2; }));
}

}  // namespace
