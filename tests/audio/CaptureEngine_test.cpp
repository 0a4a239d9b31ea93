#include "audio/CaptureEngine.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <csignal>

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

// The palavrix.audio log lines, once keepLog is installed: each test runs in a process of its own.
std::mutex logMutex;
QStringList logLines;
void keepLog(QtMsgType, const QMessageLogContext& context, const QString& message) {
  std::lock_guard lock(logMutex);
  if (QByteArray(context.category) == "palavrix.audio") logLines << message;
}
bool logged(const QString& text) {
  std::lock_guard lock(logMutex);
  return logLines.join('\n').contains(text);
}

struct RestartCounter {
  explicit RestartCounter(CaptureEngine& capture) {
    QObject::connect(&capture, &CaptureEngine::needsRestart, [this] { ++count; });
  }
  int count = 0;
};

TEST(CaptureEngine, DeliversTheFirstChannelAs12kHzBlocksOnItsOwnThread) {
  // A tone played into the left channel alone of a stereo sink, heard on its monitor.
  LoadedModule stereo({"module-null-sink", "sink_name=stereo_out", "rate=48000", "channels=2",
                       "channel_map=front-left,front-right"});
  LoadedModule left({"module-remap-sink", "sink_name=left_only", "master=stereo_out", "channels=1",
                     "channel_map=mono", "master_channel_map=front-left", "remix=no"});
  PlaybackEngine playback;
  ASSERT_EQ(playback.playTone(deviceNamed("left_only"), 1500.0, 0.5f), std::nullopt);

  CaptureEngine capture;
  Collector collector;
  std::atomic<bool> onOwnThread{true};
  std::vector<size_t> sizes;  // read once the capture thread has stopped
  capture.onSamples = [&](std::span<const int16_t> block) {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    if (std::string(name) != "palavrix-rx") onOwnThread = false;
    sizes.push_back(block.size());
    collector.add(block);
  };
  ASSERT_EQ(capture.start(monitorOf("stereo_out")), std::nullopt);
  ASSERT_TRUE(waitFor([&] { return collector.size() >= 12000; }));
  capture.stop();

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
  const auto tail = std::span(samples).last(6000);
  EXPECT_NEAR(toneFrequency(tail), 1500.0, 10.0);
  EXPECT_NEAR(toneAmplitude(tail), 16384, 500);  // half scale in, about half scale out
}

// A device that is gone fails at once. A source the server suspends resumes in place; one the
// server moves or that is unplugged asks its owner, once, to restart.
TEST(CaptureEngine, ResumesAfterASuspendAndAsksForARestartWhenItsDeviceIsMovedOrGone) {
  qInstallMessageHandler(keepLog);
  CaptureEngine capture;
  RestartCounter restarts(capture);
  Collector collector;
  capture.onSamples = [&](std::span<const int16_t> block) { collector.add(block); };
  const auto error = capture.start(
      AudioDeviceInfo{AudioDeviceInfo::kInputIdFlag | 77, "unplugged_long_ago", "Old interface"});
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind, CaptureError::Kind::deviceNotSelectable);
  EXPECT_EQ(error->description, "No such entity.");
  EXPECT_FALSE(error->carriesDiagnostics());
  EXPECT_FALSE(capture.isRunning());

  ASSERT_EQ(capture.start(std::nullopt), std::nullopt);
  EXPECT_TRUE(capture.diagnostics().startsWith("Device: Test input (test_in, index "))
      << capture.diagnostics().toStdString();
  ASSERT_EQ(collector.next(2048).size(), 2048u);
  pactl({"suspend-source", "test_in", "1"});
  EXPECT_TRUE(waitFor([&] { return logged("suspended"); }));
  pactl({"suspend-source", "test_in", "0"});
  EXPECT_TRUE(waitFor([&] { return logged("resumed in place"); }));
  EXPECT_EQ(collector.next(6000).size(), 6000u);
  EXPECT_EQ(restarts.count, 0);

  pactl(
      {"move-source-output", ourStream("source-outputs", "Palavrix receive"), "test_out.monitor"});
  EXPECT_TRUE(waitFor([&] { return restarts.count > 0; }));
  capture.stop();
  EXPECT_FALSE(capture.isRunning());

  LoadedModule interface({"module-null-sink", "sink_name=usb_interface"});
  ASSERT_EQ(capture.start(monitorOf("usb_interface")), std::nullopt);
  interface.unload();
  EXPECT_TRUE(waitFor([&] { return restarts.count > 1; }));
  capture.stop();
  EXPECT_EQ(restarts.count, 2);
}

// Blocks queue up behind a busy handler and none is lost; with a queue of two, the loss is
// counted and logged and capture carries on.
TEST(CaptureEngine, QueuesBlocksWhileTheHandlerIsBusyAndCountsThoseDroppedWhenFull) {
  qInstallMessageHandler(keepLog);
  for (const bool small : {false, true}) {
    SCOPED_TRACE(small ? "queue of two" : "default queue");
    HeldHandler handler;  // outlives the capture thread
    std::optional<CaptureEngine> capture;
    small ? capture.emplace(2) : capture.emplace();
    capture->onSamples = std::ref(handler);
    ASSERT_EQ(capture->start(deviceNamed("test_in")), std::nullopt);
    // The handler sits in its first call while a dozen blocks (half a second) pile up.
    ASSERT_TRUE(waitFor([&] {
      const auto stats = capture->statistics();
      return handler.calls > 0 && (small ? stats.dropped >= 3 : stats.captured >= 12);
    }));
    const uint64_t captured = capture->statistics().captured;
    const uint64_t calls = handler.calls;
    handler.release();
    if (small) {
      EXPECT_TRUE(waitFor([&] { return handler.calls > calls + 3; }));
      EXPECT_TRUE(waitFor([&] { return logged("Dropped"); }));
    } else {
      ASSERT_TRUE(waitFor([&] { return capture->statistics().handled >= captured; }));
      EXPECT_GE(handler.calls, captured - 2);  // the converter's first blocks may be empty
    }
    capture->stop();
    const auto stats = capture->statistics();
    EXPECT_EQ(stats.dropped == 0, !small);
    EXPECT_LE(stats.handled + stats.dropped, stats.captured);
  }
}

// Capture that stops flowing, however the server goes, asks its owner once for a restart; what the
// restart then meets says why. A wake from sleep asks for one a little later.
TEST(CaptureEngine, AsksForARestartWhenTheServerFreezesOrDiesAndSaysWhatStartMeetsThen) {
  PrivateServer server;
  ASSERT_GT(server.pid(), 0);
  ServerOverride privateServer(server.address());
  CaptureEngine capture;
  RestartCounter restarts(capture);
  Collector collector;
  capture.onSamples = [&](std::span<const int16_t> block) { collector.add(block); };
  for (const bool freeze : {true, false}) {
    SCOPED_TRACE(freeze ? "frozen" : "killed");
    restarts.count = 0;
    ASSERT_EQ(capture.start(std::nullopt), std::nullopt);
    ASSERT_EQ(collector.next(512).size(), 512u);
    if (freeze) {
      ASSERT_EQ(::kill(server.pid(), SIGSTOP), 0);
    } else {
      server.kill();
    }
    const bool asked = waitFor([&] { return restarts.count > 0; });
    if (freeze) ::kill(server.pid(), SIGCONT);
    EXPECT_TRUE(asked);
    capture.stop();
    EXPECT_EQ(restarts.count, 1);
  }
  auto error = capture.start(std::nullopt);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind, CaptureError::Kind::startFailed);
  EXPECT_TRUE(error->description.size() > 1 && error->description.endsWith('.'));
  EXPECT_TRUE(error->carriesDiagnostics());
  EXPECT_TRUE(error->diagnostics.startsWith(
      "Device: none; engine input format: 0 Hz, 0 ch; error PulseAudio "))
      << error->diagnostics.toStdString();
  EXPECT_FALSE(capture.isRunning());

  restarts.count = 0;
  capture.handleWakeFromSleep();
  capture.handleWakeFromSleep();
  EXPECT_EQ(restarts.count, 0) << "not at once: the devices come back a little later";
  EXPECT_TRUE(waitFor([&] { return restarts.count == 2; }));

  ASSERT_TRUE(server.start());
  pactl({"unload-module", "module-remap-source"});
  pactl({"unload-module", "module-null-sink"});
  ASSERT_TRUE(AudioDevices::all().isEmpty());
  error = capture.start(std::nullopt);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->description, "The audio input device is gone (the audio server offers none).");
  EXPECT_FALSE(error->carriesDiagnostics());
}

}  // namespace
