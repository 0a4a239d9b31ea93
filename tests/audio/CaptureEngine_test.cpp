#include "audio/CaptureEngine.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <thread>

#include "PulseTestSupport.h"
#include "audio/PlaybackEngine.h"

using namespace pulsetest;

namespace {

// An onSamples handler that counts its calls and, while held, keeps the capture thread inside.
class HeldHandler {
 public:
  void operator()(std::span<const int16_t>) {
    ++calls_;
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !held_; });
  }
  void hold() {
    std::lock_guard lock(mutex_);
    held_ = true;
  }
  void release() {
    {
      std::lock_guard lock(mutex_);
      held_ = false;
    }
    changed_.notify_all();
  }
  uint64_t calls() const { return calls_; }

 private:
  std::atomic<uint64_t> calls_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
};

// Collects the palavrix.audio log lines while alive.
class LogCapture {
 public:
  LogCapture() {
    std::lock_guard lock(mutex());
    lines().clear();
    previous_ = qInstallMessageHandler(&LogCapture::handle);
  }
  ~LogCapture() { qInstallMessageHandler(previous_); }
  bool contains(const QString& text) const {
    std::lock_guard lock(mutex());
    return std::any_of(lines().begin(), lines().end(),
                       [&](const QString& line) { return line.contains(text); });
  }

 private:
  static void handle(QtMsgType, const QMessageLogContext& context, const QString& message) {
    if (QByteArray(context.category) != "palavrix.audio") return;
    std::lock_guard lock(mutex());
    lines().push_back(message);
  }
  static std::mutex& mutex() {
    static std::mutex instance;
    return instance;
  }
  static QStringList& lines() {
    static QStringList instance;
    return instance;
  }
  QtMessageHandler previous_ = nullptr;
};

TEST(CaptureEngine, DeliversAToneOnTheSinkAs12kHzBlocksOnItsOwnThread) {
  requireTestServer();
  PlaybackEngine playback;
  ASSERT_EQ(playback.playTone(deviceNamed("test_out"), 1500.0, 0.5f), std::nullopt);

  CaptureEngine capture;
  Collector collector;
  std::atomic<bool> onOwnThread{true};
  const auto mainThread = std::this_thread::get_id();
  capture.onSamples = [&](std::span<const int16_t> block) {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    if (std::this_thread::get_id() == mainThread || std::string(name) != "palavrix-rx") {
      onOwnThread = false;
    }
    collector.add(block);
  };
  ASSERT_EQ(capture.start(deviceNamed("test_in")), std::nullopt);
  EXPECT_TRUE(capture.isRunning());
  // Half a second of audio after the tone has risen.
  ASSERT_TRUE(waitFor([&] { return collector.size() >= 12000; }, 10000));
  capture.stop();
  playback.stopPlayer();

  EXPECT_TRUE(onOwnThread);
  const auto sizes = collector.blockSizes();
  ASSERT_GE(sizes.size(), 10u);
  // 2048 frames at 48 000 Hz are 512 samples at 12 000 Hz: the converter hands out what it
  // has, up to 528 at a time, and 512 a block on average once it has filled.
  size_t later = 0;
  for (size_t i = 0; i < sizes.size(); ++i) {
    EXPECT_LE(sizes[i], 528u) << "block " << i;
    if (i >= 4) later += sizes[i];
  }
  EXPECT_NEAR(double(later) / double(sizes.size() - 4), 512.0, 8.0);
  const auto samples = collector.samples();
  const std::span<const int16_t> tail(samples.data() + samples.size() - 6000, 6000);
  EXPECT_NEAR(strongestFrequency(tail, 12000.0, 200.0, 5800.0, 10.0), 1500.0, 10.0);
  // Half scale in, about half scale out.
  EXPECT_NEAR(toneAmplitude(tail), 16384, 500);
}

TEST(CaptureEngine, HearsTheFirstChannelOfAStereoInput) {
  requireTestServer();
  // A tone played into the left channel alone of a stereo sink, heard on its monitor.
  LoadedModule stereo({"module-null-sink", "sink_name=stereo_out", "channels=2",
                       "channel_map=front-left,front-right"});
  LoadedModule left({"module-remap-sink", "sink_name=left_only", "master=stereo_out", "channels=1",
                     "channel_map=mono", "master_channel_map=front-left", "remix=no"});
  PlaybackEngine playback;
  ASSERT_EQ(playback.playTone(deviceNamed("left_only"), 1000.0, 0.5f), std::nullopt);
  Listener listener(AudioDeviceInfo{0, "stereo_out.monitor", "Stereo monitor"});
  ASSERT_TRUE(listener.started());
  EXPECT_TRUE(waitFor([&] { return listener.loudest() > 10000; }, 5000));
  playback.stopPlayer();
}

TEST(CaptureEngine, CapturesFromTheDefaultSourceWithoutADevice) {
  requireTestServer();
  CaptureEngine capture;
  Collector collector;
  capture.onSamples = [&](std::span<const int16_t> block) { collector.add(block); };
  ASSERT_EQ(capture.start(std::nullopt), std::nullopt);
  EXPECT_TRUE(capture.diagnostics().startsWith("Device: Test input (test_in, index "))
      << capture.diagnostics().toStdString();
  EXPECT_TRUE(waitFor([&] { return collector.size() >= 2048; }, 10000));
  capture.stop();
  EXPECT_FALSE(capture.isRunning());
  capture.stop();  // stopping twice is harmless
}

TEST(CaptureEngine, QueuesBlocksWithoutLossWhileTheHandlerIsBusy) {
  requireTestServer();
  HeldHandler handler;  // outlives the capture thread
  CaptureEngine capture;
  handler.hold();
  capture.onSamples = std::ref(handler);
  ASSERT_EQ(capture.start(deviceNamed("test_in")), std::nullopt);
  // The handler sits in its first call while a dozen blocks (half a second) pile up.
  ASSERT_TRUE(waitFor(
      [&] {
        const auto stats = capture.statistics();
        return handler.calls() > 0 && stats.captured >= stats.handled + 12;
      },
      10000));
  const uint64_t capturedWhileBusy = capture.statistics().captured;
  handler.release();
  ASSERT_TRUE(waitFor([&] { return capture.statistics().handled >= capturedWhileBusy; }, 5000));
  const auto stats = capture.statistics();
  capture.stop();
  EXPECT_EQ(stats.dropped, 0u);
  EXPECT_GE(handler.calls(), capturedWhileBusy - 2);  // the converter's first blocks may be empty
}

TEST(CaptureEngine, CountsAndLogsBlocksDroppedWhenTheQueueIsFull) {
  requireTestServer();
  LogCapture log;
  HeldHandler handler;  // outlives the capture thread
  CaptureEngine capture(2);
  handler.hold();
  capture.onSamples = std::ref(handler);
  ASSERT_EQ(capture.start(deviceNamed("test_in")), std::nullopt);
  ASSERT_TRUE(waitFor([&] { return capture.statistics().dropped >= 3; }, 10000));
  const uint64_t callsBefore = handler.calls();
  handler.release();
  // It carries on after the loss and says what it lost.
  EXPECT_TRUE(waitFor([&] { return handler.calls() > callsBefore + 3; }, 5000));
  EXPECT_TRUE(waitFor([&] { return log.contains("Dropped"); }, 5000));
  capture.stop();
  const auto stats = capture.statistics();
  EXPECT_GE(stats.dropped, 3u);
  EXPECT_LE(stats.handled + stats.dropped, stats.captured);
}

TEST(CaptureEngine, FailsWithPulseAudiosTextWhenThereIsNoServer) {
  ServerOverride none("unix:/nonexistent/palavrix/native");
  CaptureEngine capture;
  const auto error = capture.start(std::nullopt);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind, CaptureError::Kind::startFailed);
  EXPECT_FALSE(error->description.isEmpty());
  EXPECT_TRUE(error->description.endsWith('.'));
  EXPECT_TRUE(error->carriesDiagnostics());
  EXPECT_TRUE(
      error->diagnostics.startsWith("Device: none; engine input format: 0 Hz, 0 ch; "
                                    "error PulseAudio "))
      << error->diagnostics.toStdString();
  EXPECT_FALSE(capture.isRunning());
}

TEST(CaptureEngine, ADeviceThatIsGoneCannotBeSelected) {
  requireTestServer();
  CaptureEngine capture;
  const auto error = capture.start(
      AudioDeviceInfo{AudioDeviceInfo::kInputIdFlag | 77, "unplugged_long_ago", "Old interface"});
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind, CaptureError::Kind::deviceNotSelectable);
  EXPECT_EQ(error->description, "No such entity.");
  EXPECT_FALSE(error->carriesDiagnostics());
  EXPECT_FALSE(capture.isRunning());
  // The engine is still usable.
  EXPECT_EQ(capture.start(deviceNamed("test_in")), std::nullopt);
}

TEST(CaptureEngine, AsksForARestartWhenItsDeviceIsUnplugged) {
  requireTestServer();
  LoadedModule interface({"module-null-sink", "sink_name=usb_interface"});
  CaptureEngine capture;
  int restarts = 0;
  capture.onNeedsRestart = [&] { ++restarts; };
  Collector collector;
  capture.onSamples = [&](std::span<const int16_t> block) { collector.add(block); };
  ASSERT_EQ(capture.start(AudioDeviceInfo{0, "usb_interface.monitor", "USB"}), std::nullopt);
  interface.unload();
  EXPECT_TRUE(waitFor([&] { return restarts > 0; }, 5000));
  capture.stop();
  EXPECT_EQ(restarts, 1);
}

TEST(CaptureEngine, ResumesInPlaceWhenItsSourceWakesFromSuspend) {
  requireTestServer();
  LogCapture log;
  CaptureEngine capture;
  int restarts = 0;
  capture.onNeedsRestart = [&] { ++restarts; };
  Collector collector;
  capture.onSamples = [&](std::span<const int16_t> block) { collector.add(block); };
  ASSERT_EQ(capture.start(deviceNamed("test_in")), std::nullopt);
  ASSERT_TRUE(waitFor([&] { return collector.size() > 0; }, 10000));

  pactl({"suspend-source", "test_in", "1"});
  EXPECT_TRUE(waitFor([&] { return log.contains("suspended"); }, 5000));
  pactl({"suspend-source", "test_in", "0"});
  EXPECT_TRUE(waitFor([&] { return log.contains("resumed in place"); }, 5000));
  const size_t before = collector.size();
  EXPECT_TRUE(waitFor([&] { return collector.size() > before + 6000; }, 10000));
  capture.stop();
  EXPECT_EQ(restarts, 0);
}

TEST(CaptureEngine, AsksForARestartWhenTheServerMovesItsStream) {
  requireTestServer();
  CaptureEngine capture;
  int restarts = 0;
  capture.onNeedsRestart = [&] { ++restarts; };
  ASSERT_EQ(capture.start(std::nullopt), std::nullopt);
  const QString stream = ourStream("source-outputs", "Palavrix receive");
  ASSERT_FALSE(stream.isEmpty());
  pactl({"move-source-output", stream, "test_out.monitor"});
  EXPECT_TRUE(waitFor([&] { return restarts > 0; }, 5000));
  capture.stop();
  EXPECT_EQ(restarts, 1);
}

TEST(CaptureEngine, AsksForARestartWhenTheServerFreezesOrDies) {
  PrivateServer server;
  ASSERT_TRUE(server.started());
  ASSERT_GT(server.pid(), 0);
  ServerOverride privateServer(server.address());
  CaptureEngine capture;
  capture.stallTimeout = std::chrono::milliseconds(1000);
  int restarts = 0;
  capture.onNeedsRestart = [&] { ++restarts; };
  Collector collector;
  capture.onSamples = [&](std::span<const int16_t> block) { collector.add(block); };
  for (const bool freeze : {true, false}) {
    SCOPED_TRACE(freeze ? "frozen" : "killed");
    restarts = 0;
    collector.clear();
    ASSERT_EQ(capture.start(std::nullopt), std::nullopt);
    ASSERT_TRUE(waitFor([&] { return collector.size() > 0; }, 10000));
    if (freeze) {
      ASSERT_EQ(::kill(server.pid(), SIGSTOP), 0);
    } else {
      server.kill();
    }
    const bool asked = waitFor([&] { return restarts > 0; }, 10000);
    if (freeze) ::kill(server.pid(), SIGCONT);
    EXPECT_TRUE(asked);
    capture.stop();
    EXPECT_EQ(restarts, 1);
  }
  // What the owner's restart then meets: a clear error, quickly.
  const auto error = capture.start(std::nullopt);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind, CaptureError::Kind::startFailed);
}

TEST(CaptureEngine, ReportsAnUnusableFormatWhenTheServerHasNoInputAtAll) {
  PrivateServer server;
  ASSERT_TRUE(server.started());
  ServerOverride privateServer(server.address());
  pactl({"unload-module", "module-remap-source"});
  pactl({"unload-module", "module-null-sink"});
  ASSERT_TRUE(AudioDevices::all().isEmpty());

  CaptureEngine capture;
  const auto error = capture.start(std::nullopt);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind, CaptureError::Kind::unusableInputFormat);
  EXPECT_EQ(error->description, "The audio input reported an unusable format (0.0 Hz, 0 ch).");
  EXPECT_EQ(error->diagnostics, "Device: none; engine input format: 0 Hz, 0 ch.");
  EXPECT_FALSE(capture.isRunning());
}

TEST(CaptureEngine, AsksForARestartAfterEveryWake) {
  CaptureEngine capture;
  int requests = 0;
  capture.onNeedsRestart = [&] { ++requests; };
  capture.handleWakeFromSleep();
  capture.handleWakeFromSleep();
  EXPECT_EQ(requests, 0) << "not at once: the devices come back a little later";
  EXPECT_TRUE(waitFor([&] { return requests == 2; }, 5000));
}

}  // namespace
