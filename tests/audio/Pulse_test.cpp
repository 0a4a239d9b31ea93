// Everything that talks to the fixture's PulseAudio server, but for the loaded loopback.
#include <gtest/gtest.h>
#include <pthread.h>

#include <QElapsedTimer>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <numeric>

#include "PulseTestSupport.h"
#include "audio/AudioDeviceMonitor.h"
#include "audio/AudioDevices.h"
#include "audio/CaptureEngine.h"
#include "audio/NewMessageSound.h"
#include "audio/PlaybackEngine.h"

using namespace pulsetest;

namespace {

TEST(AudioDevices, ListsSinksAsOutputsAndSourcesAsInputsWithoutMonitorsAndFindsThem) {
  // Sink 0 and source 0 both exist on every server: ids must still differ.
  const auto inputs = AudioDevices::inputs();
  const auto outputs = AudioDevices::outputs();
  EXPECT_TRUE(!inputs.isEmpty() && std::ranges::all_of(inputs, &AudioDeviceInfo::isInput));
  EXPECT_TRUE(!outputs.isEmpty() && std::ranges::none_of(outputs, &AudioDeviceInfo::isInput));
  EXPECT_EQ(AudioDevices::all().size(), inputs.size() + outputs.size());
  EXPECT_EQ(AudioDevices::device(QString("test_out.monitor"), std::nullopt), std::nullopt);

  const AudioDeviceInfo input = deviceNamed("test_in");
  EXPECT_EQ(input.name, "Test input");
  EXPECT_EQ(AudioDevices::name(input.id), std::optional<QString>("Test input"));
  EXPECT_EQ(AudioDevices::defaultDevice(AudioDirection::input), input);
  const auto output = AudioDevices::defaultDevice(AudioDirection::output);
  ASSERT_TRUE(output);
  EXPECT_EQ(output->uid, "test_out");
  EXPECT_EQ(output->name, "Test output");

  const AudioDeviceInfo fallback{42, "fallback", "Fallback"};
  EXPECT_EQ(AudioDevices::device(QString("test_out"), fallback), output);
  EXPECT_EQ(AudioDevices::device(std::nullopt, fallback), fallback);
  EXPECT_EQ(AudioDevices::device(QString("TEST_OUT"), std::nullopt), std::nullopt);  // exact

  // A null sink is no built-in hardware, unless it says so.
  EXPECT_EQ(AudioDevices::builtInOutput(), std::nullopt);
  LoadedModule speakers(kBuiltInSpeakers);
  const auto builtIn = AudioDevices::builtInOutput();
  ASSERT_TRUE(builtIn);
  EXPECT_EQ(builtIn->uid, "builtin_speakers");
  EXPECT_EQ(builtIn->name, "Speakers");

  ServerOverride none(kNoServer);
  EXPECT_TRUE(AudioDevices::all().isEmpty());
  EXPECT_EQ(AudioDevices::defaultDevice(AudioDirection::output), std::nullopt);
  EXPECT_EQ(AudioDevices::builtInOutput(), std::nullopt);
  EXPECT_EQ(AudioDevices::device(QString("test_out"), fallback), fallback);
}

// Longer than the debounce, so a notice that was going to come has come.
constexpr int kQuietMs = AudioDeviceMonitor::kDebounceMs + 600;

TEST(AudioDeviceMonitor, ReportsDevicesAndDefaultsOnceSettledButNotStreamsOfOurOwn) {
  AudioDeviceMonitor monitor;
  int changes = 0;
  QObject::connect(&monitor, &AudioDeviceMonitor::changed, [&] { ++changes; });
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
  EXPECT_EQ(changes, 0);

  // A new sink brings a sink and its monitor source: one notice, a second after the last.
  QElapsedTimer clock;
  clock.start();
  LoadedModule headset({"module-null-sink", "sink_name=headset"});
  ASSERT_TRUE(waitFor([&] { return changes == 1; }));
  EXPECT_GE(clock.elapsed(), AudioDeviceMonitor::kDebounceMs - 50);
  pactl({"set-default-sink", "headset"});
  ASSERT_TRUE(waitFor([&] { return changes == 2; }));
  pactl({"set-default-sink", "test_out"});
  ASSERT_TRUE(waitFor([&] { return changes == 3; }));
  headset.unload();
  ASSERT_TRUE(waitFor([&] { return changes == 4; }));
  QTest::qWait(kQuietMs);
  EXPECT_EQ(changes, 4);

  // Stopped while a notice is pending: it never comes. Started again, it reports again.
  LoadedModule second({"module-null-sink", "sink_name=second"});
  QTest::qWait(200);
  monitor.stop();
  EXPECT_FALSE(monitor.isListening());
  QTest::qWait(kQuietMs);
  EXPECT_EQ(changes, 4);
  monitor.start();
  EXPECT_TRUE(monitor.isListening());
  second.unload();
  EXPECT_TRUE(waitFor([&] { return changes == 5; }));
}

// Without a server it starts all the same; a server appearing, and going, is a change.
TEST(AudioDeviceMonitor, StartsWithoutAServerAndReportsItComingAndGoing) {
  std::optional<ServerOverride> none(kNoServer);
  AudioDeviceMonitor monitor;
  int changes = 0;
  QObject::connect(&monitor, &AudioDeviceMonitor::changed, [&] { ++changes; });
  monitor.start();
  EXPECT_FALSE(monitor.isListening());

  PrivateServer server;
  none.reset();
  ServerOverride privateServer(server.address());
  EXPECT_TRUE(waitFor([&] { return monitor.isListening(); }, 3 * AudioDeviceMonitor::kReconnectMs));
  EXPECT_TRUE(waitFor([&] { return changes == 1; }));
  server.kill();
  ASSERT_TRUE(waitFor([&] { return !monitor.isListening(); }));
  EXPECT_TRUE(waitFor([&] { return changes == 2; }));
}

const QString kNotPlayed = "Not played: no output device other than the transmit device.";

// On the default output unless that is the transmit device, else on the built-in output unless
// that is the transmit device too; a missing file says why it was not played.
TEST(NewMessageSound, PlaysOnTheDefaultOrBuiltInOutputButNeverOnTheTransmitDevice) {
  Listener testIn;
  NewMessageSound sound;
  EXPECT_EQ(sound.play(QString("some_other_device")), "Played on Test output.");
  EXPECT_TRUE(waitFor([&] { return testIn.loudest() > 1000; }));
  EXPECT_TRUE(waitFor([&] { return peak(testIn.next(1200)) == 0; }));  // played to its end
  EXPECT_EQ(sound.play(QString("test_out")), kNotPlayed);  // and there is no built-in output

  const QString result = NewMessageSound("/nonexistent/sound.oga").play(std::nullopt);
  EXPECT_TRUE(result.startsWith("Couldn't load the sound: ") && !result.endsWith(": "))
      << result.toStdString();

  LoadedModule speakers(kBuiltInSpeakers);
  Listener speakersMonitor(monitorOf("builtin_speakers"));
  EXPECT_EQ(sound.play(QString("test_out")), "Played on Speakers.");
  EXPECT_TRUE(waitFor([&] { return speakersMonitor.loudest() > 1000; }));
  EXPECT_EQ(peak(testIn.next(12000)), 0) << "some of it reached the transmit device";
  pactl({"set-default-sink", "builtin_speakers"});
  EXPECT_EQ(sound.play(QString("builtin_speakers")), kNotPlayed);
  pactl({"set-default-sink", "test_out"});
  ServerOverride none(kNoServer);
  EXPECT_EQ(sound.play(std::nullopt), kNotPlayed);
}

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

TEST(CaptureEngine, DeliversTheFirstChannelAs12kHzBlocksOnItsOwnThread) {
  // A tone played into the left channel alone of a stereo sink, heard on its monitor.
  LoadedModule stereo({"module-null-sink", "sink_name=stereo_out", "rate=48000", "channels=2",
                       "channel_map=front-left,front-right"});
  LoadedModule left({"module-remap-sink", "sink_name=left_only", "master=stereo_out", "channels=1",
                     "channel_map=mono", "master_channel_map=front-left", "remix=no"});
  PlaybackEngine playback;
  ASSERT_EQ(playback.playTone(deviceNamed("left_only"), 1500.0, 0.5f), std::nullopt);

  Listener listener(std::nullopt);
  std::atomic<bool> onOwnThread{true};
  std::vector<size_t> sizes;  // read once the capture thread has stopped
  listener.capture.onSamples = [&](std::span<const int16_t> block) {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    if (std::string(name) != "palavrix-rx") onOwnThread = false;
    sizes.push_back(block.size());
    listener.add(block);
  };
  ASSERT_EQ(listener.capture.start(monitorOf("stereo_out")), std::nullopt);
  ASSERT_TRUE(waitFor([&] { return listener.size() >= 12000; }));
  listener.capture.stop();

  EXPECT_TRUE(onOwnThread);
  ASSERT_GE(sizes.size(), 10u);
  // 2048 frames at 48 000 Hz are 512 samples at 12 000 Hz: the converter hands out what it
  // has, up to 528 at a time, and 512 a block on average once it has filled.
  EXPECT_LE(*std::max_element(sizes.begin(), sizes.end()), 528u);
  const double later = std::accumulate(sizes.begin() + 4, sizes.end(), 0.0);
  EXPECT_NEAR(later / double(sizes.size() - 4), 512.0, 8.0);
  const auto samples = listener.samples();
  const auto tail = std::span(samples).last(6000);
  EXPECT_NEAR(toneFrequency(tail), 1500.0, 10.0);
  EXPECT_NEAR(toneAmplitude(tail), 16384, 500);  // half scale in, about half scale out
}

// A device that is gone fails at once. A source the server suspends resumes in place; one the
// server moves or that is unplugged asks its owner, once, to restart.
TEST(CaptureEngine, ResumesAfterASuspendAndAsksForARestartWhenItsDeviceIsMovedOrGone) {
  qInstallMessageHandler(keepLog);
  Listener listener(std::nullopt);
  CaptureEngine& capture = listener.capture;
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
  ASSERT_EQ(listener.next(2048).size(), 2048u);
  pactl({"suspend-source", "test_in", "1"});
  EXPECT_TRUE(waitFor([&] { return logged("suspended"); }));
  pactl({"suspend-source", "test_in", "0"});
  EXPECT_TRUE(waitFor([&] { return logged("resumed in place"); }));
  EXPECT_EQ(listener.next(6000).size(), 6000u);
  EXPECT_EQ(listener.restarts, 0);

  pactl(
      {"move-source-output", ourStream("source-outputs", "Palavrix receive"), "test_out.monitor"});
  EXPECT_TRUE(waitFor([&] { return listener.restarts > 0; }));
  capture.stop();
  EXPECT_FALSE(capture.isRunning());

  LoadedModule interface({"module-null-sink", "sink_name=usb_interface"});
  ASSERT_EQ(capture.start(monitorOf("usb_interface")), std::nullopt);
  interface.unload();
  EXPECT_TRUE(waitFor([&] { return listener.restarts > 1; }));
  capture.stop();
  EXPECT_EQ(listener.restarts, 2);
}

// Blocks queue up behind a busy handler and none is lost; with a queue of two, the loss is
// counted and logged and capture carries on.
TEST(CaptureEngine, QueuesBlocksWhileTheHandlerIsBusyAndCountsThoseDroppedWhenFull) {
  qInstallMessageHandler(keepLog);
  for (const bool small : {false, true}) {
    SCOPED_TRACE(small ? "queue of two" : "default queue");
    // The handler sits in its first call, keeping the capture thread there, until released.
    std::atomic<uint64_t> calls{0};
    std::atomic<bool> held{true};
    std::optional<CaptureEngine> capture;
    small ? capture.emplace(2) : capture.emplace();
    capture->onSamples = [&](std::span<const int16_t>) {
      ++calls;
      held.wait(true);
    };
    ASSERT_EQ(capture->start(deviceNamed("test_in")), std::nullopt);
    // A dozen blocks (half a second) pile up meanwhile.
    ASSERT_TRUE(waitFor([&] {
      const auto stats = capture->statistics();
      return calls > 0 && (small ? stats.dropped >= 3 : stats.captured >= 12);
    }));
    const uint64_t captured = capture->statistics().captured;
    const uint64_t callsBefore = calls;
    held = false;
    held.notify_all();
    if (small) {
      EXPECT_TRUE(waitFor([&] { return calls > callsBefore + 3; }));
      EXPECT_TRUE(waitFor([&] { return logged("Dropped"); }));
    } else {
      ASSERT_TRUE(waitFor([&] { return capture->statistics().handled >= captured; }));
      EXPECT_GE(calls, captured - 2);  // the converter's first blocks may be empty
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
  Listener listener(std::nullopt);
  CaptureEngine& capture = listener.capture;
  for (const bool freeze : {true, false}) {
    SCOPED_TRACE(freeze ? "frozen" : "killed");
    listener.restarts = 0;
    ASSERT_EQ(capture.start(std::nullopt), std::nullopt);
    ASSERT_EQ(listener.next(512).size(), 512u);
    if (freeze) {
      ASSERT_EQ(::kill(server.pid(), SIGSTOP), 0);
    } else {
      server.kill();
    }
    const bool asked = waitFor([&] { return listener.restarts > 0; });
    if (freeze) ::kill(server.pid(), SIGCONT);
    EXPECT_TRUE(asked);
    capture.stop();
    EXPECT_EQ(listener.restarts, 1);
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

  listener.restarts = 0;
  capture.handleWakeFromSleep();
  capture.handleWakeFromSleep();
  EXPECT_EQ(listener.restarts, 0) << "not at once: the devices come back a little later";
  EXPECT_TRUE(waitFor([&] { return listener.restarts == 2; }));

  ASSERT_TRUE(server.start());
  pactl({"unload-module", "module-remap-source"});
  pactl({"unload-module", "module-null-sink"});
  ASSERT_TRUE(AudioDevices::all().isEmpty());
  error = capture.start(std::nullopt);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->description, "The audio input device is gone (the audio server offers none).");
  EXPECT_FALSE(error->carriesDiagnostics());
}

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

  ASSERT_EQ(playback.playTone(deviceNamed("test_out"), 1000.0, 0.5f), std::nullopt);
  EXPECT_TRUE(waitFor([&] { return peak(listener.next(600)) > 10000; }));
  ServerOverride none(kNoServer);
  EXPECT_TRUE(playback.playTone(std::nullopt, 1000.0, 0.5f));
  EXPECT_FALSE(playback.isPlaying());
}

}  // namespace
