#include "audio/CaptureEngine.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <csignal>
#include <thread>

#include "PulseTestSupport.h"
#include "audio/PlaybackEngine.h"

using namespace pulsetest;

namespace {

// An onSamples handler that counts its calls and, while held, keeps the capture thread inside.
struct HeldHandler {
  void operator()(std::span<const int16_t>) {
    ++calls;
    held.wait(true);
  }
  void release() {
    held = false;
    held.notify_all();
  }
  std::atomic<uint64_t> calls{0};
  std::atomic<bool> held{true};
};

// Collects the palavrix.audio log lines while alive.
class LogCapture {
 public:
  LogCapture() { previous_ = qInstallMessageHandler(&LogCapture::handle); }
  ~LogCapture() { qInstallMessageHandler(previous_); }
  bool contains(const QString& text) const {
    std::lock_guard lock(mutex_);
    return lines_.join('\n').contains(text);
  }

 private:
  static void handle(QtMsgType, const QMessageLogContext& context, const QString& message) {
    std::lock_guard lock(mutex_);
    if (QByteArray(context.category) == "palavrix.audio") lines_.push_back(message);
  }
  static inline std::mutex mutex_;
  static inline QStringList lines_;
  QtMessageHandler previous_ = nullptr;
};

TEST(CaptureEngine, DeliversAToneOnTheSinkAs12kHzBlocksOnItsOwnThread) {
  requireTestServer();
  PlaybackEngine playback;
  ASSERT_EQ(playback.playTone(deviceNamed("test_out"), 1500.0, 0.5f), std::nullopt);

  CaptureEngine capture;
  Collector collector;
  std::atomic<bool> onOwnThread{true};
  std::vector<size_t> sizes;  // read once the capture thread has stopped
  const auto mainThread = std::this_thread::get_id();
  capture.onSamples = [&](std::span<const int16_t> block) {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    if (std::this_thread::get_id() == mainThread || std::string(name) != "palavrix-rx") {
      onOwnThread = false;
    }
    sizes.push_back(block.size());
    collector.add(block);
  };
  ASSERT_EQ(capture.start(deviceNamed("test_in")), std::nullopt);
  EXPECT_TRUE(capture.isRunning());
  // Half a second of audio after the tone has risen.
  ASSERT_TRUE(waitFor([&] { return collector.size() >= 12000; }, 10000));
  capture.stop();
  playback.stopPlayer();

  EXPECT_TRUE(onOwnThread);
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
  EXPECT_NEAR(strongestFrequency(tail), 1500.0, 10.0);
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
  Listener listener(monitorOf("stereo_out"));
  ASSERT_TRUE(listener.started());
  EXPECT_TRUE(waitFor([&] { return listener.loudest() > 10000; }, 5000));
}

// A device that is gone fails at once; the default source works; a stream the server moves or
// whose device is unplugged asks its owner, once, to restart it.
TEST(CaptureEngine, SelectsDevicesAndAsksForARestartWhenTheServerTakesThemAway) {
  requireTestServer();
  CaptureEngine capture;
  int restarts = 0;
  QObject::connect(&capture, &CaptureEngine::needsRestart, [&] { ++restarts; });
  Collector collector;
  capture.onSamples = collector.handler();
  auto error = capture.start(
      AudioDeviceInfo{AudioDeviceInfo::kInputIdFlag | 77, "unplugged_long_ago", "Old interface"});
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind, CaptureError::Kind::deviceNotSelectable);
  EXPECT_EQ(error->description, "No such entity.");
  EXPECT_FALSE(error->carriesDiagnostics());
  EXPECT_FALSE(capture.isRunning());

  ASSERT_EQ(capture.start(std::nullopt), std::nullopt);
  EXPECT_TRUE(capture.diagnostics().startsWith("Device: Test input (test_in, index "))
      << capture.diagnostics().toStdString();
  EXPECT_TRUE(waitFor([&] { return collector.size() >= 2048; }, 10000));
  const QString stream = ourStream("source-outputs", "Palavrix receive");
  ASSERT_FALSE(stream.isEmpty());
  pactl({"move-source-output", stream, "test_out.monitor"});
  EXPECT_TRUE(waitFor([&] { return restarts > 0; }, 5000));
  capture.stop();
  EXPECT_FALSE(capture.isRunning());
  capture.stop();  // stopping twice is harmless

  LoadedModule interface({"module-null-sink", "sink_name=usb_interface"});
  ASSERT_EQ(capture.start(monitorOf("usb_interface")), std::nullopt);
  interface.unload();
  EXPECT_TRUE(waitFor([&] { return restarts > 1; }, 5000));
  capture.stop();
  EXPECT_EQ(restarts, 2);
}

// Blocks queue up behind a busy handler and none is lost; with a queue of two, the loss is
// counted and logged and capture carries on.
TEST(CaptureEngine, QueuesBlocksWhileTheHandlerIsBusyAndCountsThoseDroppedWhenFull) {
  requireTestServer();
  LogCapture log;
  for (const bool small : {false, true}) {
    SCOPED_TRACE(small ? "queue of two" : "default queue");
    HeldHandler handler;  // outlives the capture thread
    std::optional<CaptureEngine> capture;
    small ? capture.emplace(2) : capture.emplace();
    capture->onSamples = std::ref(handler);
    ASSERT_EQ(capture->start(deviceNamed("test_in")), std::nullopt);
    // The handler sits in its first call while a dozen blocks (half a second) pile up.
    ASSERT_TRUE(waitFor(
        [&] {
          const auto stats = capture->statistics();
          return handler.calls > 0 && (small ? stats.dropped >= 3 : stats.captured >= 12);
        },
        10000));
    const uint64_t captured = capture->statistics().captured;
    const uint64_t calls = handler.calls;
    handler.release();
    if (small) {
      EXPECT_TRUE(waitFor([&] { return handler.calls > calls + 3; }, 5000));
      EXPECT_TRUE(waitFor([&] { return log.contains("Dropped"); }, 5000));
    } else {
      ASSERT_TRUE(waitFor([&] { return capture->statistics().handled >= captured; }, 5000));
      EXPECT_GE(handler.calls, captured - 2);  // the converter's first blocks may be empty
    }
    capture->stop();
    const auto stats = capture->statistics();
    EXPECT_EQ(stats.dropped == 0, !small);
    EXPECT_LE(stats.handled + stats.dropped, stats.captured);
  }
}

TEST(CaptureEngine, ResumesInPlaceWhenItsSourceWakesFromSuspend) {
  requireTestServer();
  LogCapture log;
  CaptureEngine capture;
  int restarts = 0;
  QObject::connect(&capture, &CaptureEngine::needsRestart, [&] { ++restarts; });
  Collector collector;
  capture.onSamples = collector.handler();
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

TEST(CaptureEngine, AsksForARestartWhenTheServerFreezesOrDies) {
  PrivateServer server;
  ASSERT_TRUE(server.started());
  ASSERT_GT(server.pid(), 0);
  ServerOverride privateServer(server.address());
  CaptureEngine capture;
  capture.stallTimeout = std::chrono::milliseconds(1000);
  int restarts = 0;
  QObject::connect(&capture, &CaptureEngine::needsRestart, [&] { ++restarts; });
  Collector collector;
  capture.onSamples = collector.handler();
  for (const bool freeze : {true, false}) {
    SCOPED_TRACE(freeze ? "frozen" : "killed");
    restarts = 0;
    const size_t before = collector.size();
    ASSERT_EQ(capture.start(std::nullopt), std::nullopt);
    ASSERT_TRUE(waitFor([&] { return collector.size() > before; }, 10000));
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

TEST(CaptureEngine, SaysTheDeviceIsGoneWhenTheServerHasNoInputAtAll) {
  PrivateServer server;
  ASSERT_TRUE(server.started());
  ServerOverride privateServer(server.address());
  pactl({"unload-module", "module-remap-source"});
  pactl({"unload-module", "module-null-sink"});
  ASSERT_TRUE(AudioDevices::all().isEmpty());

  CaptureEngine capture;
  const auto error = capture.start(std::nullopt);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->description, "The audio input device is gone (the audio server offers none).");
  EXPECT_FALSE(error->carriesDiagnostics());
  EXPECT_FALSE(capture.isRunning());
}

TEST(CaptureEngine, FailsWithPulseAudiosTextWithoutAServerAndAsksForARestartAfterEveryWake) {
  ServerOverride none(kNoServer);
  CaptureEngine capture;
  const auto error = capture.start(std::nullopt);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind, CaptureError::Kind::startFailed);
  EXPECT_TRUE(error->description.size() > 1 && error->description.endsWith('.'));
  EXPECT_TRUE(error->carriesDiagnostics());
  EXPECT_TRUE(error->diagnostics.startsWith(
      "Device: none; engine input format: 0 Hz, 0 ch; error PulseAudio "))
      << error->diagnostics.toStdString();
  EXPECT_FALSE(capture.isRunning());

  int requests = 0;
  QObject::connect(&capture, &CaptureEngine::needsRestart, [&] { ++requests; });
  capture.handleWakeFromSleep();
  capture.handleWakeFromSleep();
  EXPECT_EQ(requests, 0) << "not at once: the devices come back a little later";
  EXPECT_TRUE(waitFor([&] { return requests == 2; }, 5000));
}

}  // namespace
