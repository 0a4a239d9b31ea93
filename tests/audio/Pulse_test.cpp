// Everything that talks to a real PulseAudio server: the fixture's (sink "test_out", its loopback
// input "test_in") or a private one a test may kill (tests/support's PulseServer.h).
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstring>
#include <mutex>
#include <numeric>
#include <span>
#include <vector>

#include "BusyProcesses.h"
#include "PulseServer.h"
#include "QtTestSupport.h"
#include "audio/AudioDeviceMonitor.h"
#include "audio/AudioDevices.h"
#include "audio/CaptureEngine.h"
#include "audio/NewMessageSound.h"
#include "audio/PlaybackEngine.h"
#include "modem/KvolDecoder.h"

using namespace pulsetest;

namespace {

// The index of our stream of that name in `pactl list sink-inputs` or `source-outputs`, or "".
QString ourStream(const QString& kind, const QString& mediaName) {
  QString index;
  for (const QString& line : pactl({"list", kind}).split('\n')) {
    if (!line.startsWith('\t') && line.contains('#')) index = line.section('#', 1).trimmed();
    if (line.contains(QStringLiteral("media.name = \"%1\"").arg(mediaName))) return index;
  }
  return {};
}

// Points the client library at another server (or none) for one scope.
class ServerOverride {
 public:
  explicit ServerOverride(const QByteArray& server) : saved_(qgetenv("PULSE_SERVER")) {
    qputenv("PULSE_SERVER", server);
  }
  ~ServerOverride() { qputenv("PULSE_SERVER", saved_); }

 private:
  QByteArray saved_;
};
const QByteArray kNoServer = "unix:/nonexistent/palavrix/native";

AudioDeviceInfo deviceNamed(const char* uid) {
  auto device = AudioDevices::device(QString::fromLatin1(uid), std::nullopt);
  EXPECT_TRUE(device.has_value()) << uid;
  return device.value_or(AudioDeviceInfo{0, uid, uid});
}
// A monitor source, which the device lists leave out.
AudioDeviceInfo monitorOf(const char* sink) {
  return {0, QString::fromLatin1(sink) + ".monitor", "Monitor"};
}

// What prepare tells, once it does (the event loop turns meanwhile).
std::optional<PlaybackError> prepared(PlaybackEngine& playback,
                                      const std::optional<AudioDeviceInfo>& device) {
  std::optional<std::optional<PlaybackError>> answer;
  playback.prepare(device, [&](const std::optional<PlaybackError>& error) { answer = error; });
  EXPECT_TRUE(waitFor([&] { return answer.has_value(); }));
  return answer.value_or(PlaybackError{"no answer"});
}

// The same for a test tone, which plays from then on.
std::optional<PlaybackError> toneStarted(PlaybackEngine& playback,
                                         const std::optional<AudioDeviceInfo>& device,
                                         double frequency, float level) {
  std::optional<std::optional<PlaybackError>> answer;
  playback.playTone(device, frequency, level,
                    [&](const std::optional<PlaybackError>& error) { answer = error; });
  EXPECT_TRUE(waitFor([&] { return answer.has_value(); }));
  return answer.value_or(PlaybackError{"no answer"});
}

// The new-message sound's status, with the devices as they are now.
QString played(NewMessageSound& sound, const std::optional<QString>& avoidingUid) {
  std::optional<QString> status;
  sound.play(NewMessageSound::pick(sound.soundFile(), AudioDeviceSnapshot::read(), avoidingUid),
             [&](const QString& text) { status = text; });
  EXPECT_TRUE(waitFor([&] { return status.has_value(); }));
  return status.value_or("no answer");
}

int peak(std::span<const int16_t> samples) {
  int result = 0;
  for (int16_t sample : samples) result = std::max(result, std::abs(int(sample)));
  return result;
}

// Collects what a capture hears from a source (test_in hears everything played into test_out),
// started at once unless there is none, and counts its restart requests.
class Listener {
 public:
  explicit Listener(const std::optional<AudioDeviceInfo>& source = deviceNamed("test_in")) {
    capture.onSamples = [this](std::span<const int16_t> block) { add(block); };
    QObject::connect(&capture, &CaptureEngine::needsRestart, [this] { ++restarts; });
    if (source) {
      EXPECT_EQ(capture.start(*source), std::nullopt);
    }
  }
  ~Listener() { capture.stop(); }  // before the samples go
  void add(std::span<const int16_t> block) {
    std::lock_guard lock(mutex_);
    samples_.insert(samples_.end(), block.begin(), block.end());
  }
  std::vector<int16_t> samples() const {
    std::lock_guard lock(mutex_);
    return samples_;
  }
  size_t size() const { return samples().size(); }
  int loudest() const { return peak(samples()); }
  // The next `count` samples from now on, empty when they do not come.
  std::vector<int16_t> next(size_t count) {
    const size_t from = size();
    EXPECT_TRUE(waitFor([&] { return size() >= from + count; }));
    const auto all = samples();
    if (all.size() < from + count) return {};
    return {all.begin() + from, all.begin() + from + count};
  }

  CaptureEngine capture;
  int restarts = 0;

 private:
  mutable std::mutex mutex_;
  std::vector<int16_t> samples_;
};

// The frequency of a steady 12 000 Hz tone, from its zero crossings.
double toneFrequency(std::span<const int16_t> samples) {
  int crossings = 0;
  for (size_t i = 1; i < samples.size(); ++i) crossings += (samples[i - 1] < 0) != (samples[i] < 0);
  return crossings * 12000.0 / 2.0 / double(samples.size());
}

// The amplitude of a steady tone from its RMS, which does not depend on where the samples fall.
double toneAmplitude(std::span<const int16_t> samples) {
  double sum = 0.0;
  for (int16_t sample : samples) sum += double(sample) * sample;
  return samples.empty() ? 0.0 : std::sqrt(2.0 * sum / double(samples.size()));
}

TEST(AudioDevices, ListsSinksAsOutputsAndSourcesAsInputsWithoutMonitorsAndFindsThem) {
  // Sink 0 and source 0 both exist on every server: ids must still differ.
  const auto inputs = AudioDevices::inputs();
  const auto outputs = AudioDevices::outputs();
  EXPECT_TRUE(!inputs.isEmpty() && std::ranges::all_of(inputs, &AudioDeviceInfo::isInput));
  EXPECT_TRUE(!outputs.isEmpty() && std::ranges::none_of(outputs, &AudioDeviceInfo::isInput));
  EXPECT_EQ(AudioDevices::device(QString("test_out.monitor"), std::nullopt), std::nullopt);

  const AudioDeviceInfo input = deviceNamed("test_in");
  EXPECT_EQ(input.name, "Test input");
  EXPECT_EQ(AudioDevices::defaultDevice(AudioDirection::input), input);
  const auto output = AudioDevices::defaultDevice(AudioDirection::output);
  ASSERT_TRUE(output);
  EXPECT_EQ(output->uid, "test_out");
  EXPECT_EQ(output->name, "Test output");

  const AudioDeviceInfo fallback{42, "fallback", "Fallback"};
  EXPECT_EQ(AudioDevices::device(QString("test_out"), fallback), output);
  EXPECT_EQ(AudioDevices::device(std::nullopt, fallback), fallback);
  EXPECT_EQ(AudioDevices::device(QString("TEST_OUT"), std::nullopt), std::nullopt);  // exact

  ServerOverride none(kNoServer);
  EXPECT_TRUE(AudioDevices::all().isEmpty());
  EXPECT_EQ(AudioDevices::defaultDevice(AudioDirection::output), std::nullopt);
  EXPECT_EQ(AudioDevices::device(QString("test_out"), fallback), fallback);
}

// Longer than the debounce, so a notice that was going to come has come.
constexpr int kQuietMs = AudioDeviceMonitor::kDebounceMs + 600;

TEST(AudioDeviceMonitor, ReportsDevicesAndDefaultsOnceSettledButNotStreamsOfOurOwn) {
  AudioDeviceMonitor monitor;
  int changes = 0;
  QObject::connect(&monitor, &AudioDeviceMonitor::changed, [&] { ++changes; });
  monitor.start();
  ASSERT_TRUE(waitFor([&] { return monitor.isListening(); }));
  {
    // Capture and transmit streams coming and going fire sink and source CHANGE events.
    Listener listener;
    PlaybackEngine playback;
    ASSERT_EQ(toneStarted(playback, deviceNamed("test_out"), 1000.0, 0.1f), std::nullopt);
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
  ASSERT_TRUE(waitFor([&] { return monitor.isListening(); }));
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

// A frozen server keeps the main thread waiting neither at the start nor in the tries to reach it
// again every few seconds; once it thaws, the monitor listens and reports the change.
TEST(AudioDeviceMonitor, NeverKeepsTheMainThreadWaitingForAFrozenServer) {
  PrivateServer server;
  ASSERT_GT(server.pid(), 0);
  ServerOverride privateServer(server.address());

  ASSERT_EQ(::kill(server.pid(), SIGSTOP), 0);
  // Watched from before the start, for six seconds' worth of turns at the least while three
  // tries to connect run their course: no stand-still of even half the seconds that a wait for
  // the server takes before it gives up.
  MainThreadWatch watch;
  AudioDeviceMonitor monitor;
  int changes = 0;
  QObject::connect(&monitor, &AudioDeviceMonitor::changed, [&] { ++changes; });
  monitor.start();
  const bool turned = waitFor([&] { return watch.turns() >= 300; }, 30000);
  const std::chrono::milliseconds standStill = watch.longestStandStill();
  const bool listening = monitor.isListening();
  ::kill(server.pid(), SIGCONT);
  EXPECT_TRUE(turned) << watch.turns() << " turns";
  EXPECT_LT(standStill.count(), 1500);
  EXPECT_FALSE(listening);
  EXPECT_TRUE(waitFor([&] { return monitor.isListening(); }, 4 * AudioDeviceMonitor::kReconnectMs));
  EXPECT_TRUE(waitFor([&] { return changes == 1; }));
}

const QString kNotPlayed = "Not played: no output device other than the transmit device.";

// On the default output unless that is the transmit device, else on the built-in output unless
// that is the transmit device too; a missing file says why it was not played.
TEST(NewMessageSound, PlaysOnTheDefaultOrBuiltInOutputButNeverOnTheTransmitDevice) {
  Listener testIn;
  NewMessageSound sound;
  EXPECT_EQ(played(sound, QString("some_other_device")), "Played on Test output.");
  EXPECT_TRUE(waitFor([&] { return testIn.loudest() > 1000; }));
  EXPECT_TRUE(waitFor([&] { return peak(testIn.next(1200)) == 0; }));  // played to its end
  EXPECT_EQ(played(sound, QString("test_out")), kNotPlayed);

  NewMessageSound missing("/nonexistent/sound.oga");
  const QString result = played(missing, std::nullopt);
  EXPECT_TRUE(result.startsWith("Couldn't load the sound: ") && !result.endsWith(": "))
      << result.toStdString();

  // A null sink is no built-in hardware, unless it says so.
  LoadedModule speakers({"module-null-sink", "sink_name=builtin_speakers",
                         "sink_properties=\"device.description='Speakers' "
                         "device.form_factor=internal\""});
  Listener speakersMonitor(monitorOf("builtin_speakers"));
  EXPECT_EQ(played(sound, QString("test_out")), "Played on Speakers.");
  EXPECT_TRUE(waitFor([&] { return speakersMonitor.loudest() > 1000; }));
  EXPECT_EQ(peak(testIn.next(12000)), 0) << "some of it reached the transmit device";
  pactl({"set-default-sink", "builtin_speakers"});
  EXPECT_EQ(played(sound, QString("builtin_speakers")), kNotPlayed);
  pactl({"set-default-sink", "test_out"});
  ServerOverride none(kNoServer);
  EXPECT_EQ(played(sound, std::nullopt), "Couldn't play the sound: No audio server is running.");
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
  ASSERT_EQ(toneStarted(playback, deviceNamed("left_only"), 1500.0, 0.5f), std::nullopt);

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
  // Nothing listens where the server was: no device in Settings could help.
  auto error = capture.start(std::nullopt);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->kind, CaptureError::Kind::noAudioServer);
  EXPECT_EQ(error->description, "No audio server is running.");
  EXPECT_FALSE(error->concernsTheDevice());

  listener.restarts = 0;
  capture.handleWakeFromSleep();
  capture.handleWakeFromSleep();
  EXPECT_EQ(listener.restarts, 0) << "not at once: the devices come back a little later";
  EXPECT_TRUE(waitFor([&] { return listener.restarts == 2; }));

  // A server without inputs makes the sink's monitor its default source: that is no input, or
  // the program would hear its own transmissions.
  ASSERT_TRUE(server.start());
  pactl({"unload-module", "module-remap-source"});
  ASSERT_EQ(pactl({"get-default-source"}), "test_out.monitor");
  for (const bool noDevices : {false, true}) {
    if (noDevices) pactl({"unload-module", "module-null-sink"});
    EXPECT_TRUE(AudioDevices::inputs().isEmpty());
    error = capture.start(std::nullopt);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, CaptureError::Kind::noInputDevice);
    EXPECT_EQ(error->description, "The audio input device is gone (the audio server offers none).");
    EXPECT_TRUE(error->concernsTheDevice());
  }

  // A frozen server is said not to answer, however long it has been frozen.
  ::kill(server.pid(), SIGSTOP);
  for (int attempt = 0; attempt < 2; ++attempt) {
    error = capture.start(std::nullopt);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind, CaptureError::Kind::serverNotAnswering);
    EXPECT_EQ(error->description, "The audio server does not answer.");
  }
  ::kill(server.pid(), SIGCONT);
}

PlaybackBuffer tone(double frequency, double seconds, double amplitude) {
  std::vector<int16_t> samples(size_t(seconds * PlaybackEngine::kSampleRate));
  for (size_t i = 0; i < samples.size(); ++i)
    samples[i] = int16_t(std::lround(amplitude * std::sin(2 * M_PI * frequency * i / 48000.0)));
  return PlaybackEngine::makeBuffer(samples);
}

TEST(PlaybackEngine, TheTestToneLoopsUntilStoppedAndTakesANewGainWithinASecond) {
  Listener listener;
  PlaybackEngine playback;
  ASSERT_EQ(toneStarted(playback, deviceNamed("test_out"), 1000.0, 0.97f), std::nullopt);
  // Once it has risen, 1.2 s of it (six times its 0.2 s of buffers) at 0.97 of full scale.
  ASSERT_TRUE(waitFor([&] { return listener.loudest() > 20000; }));
  for (int part = 0; part < 12; ++part) {
    const auto heard = listener.next(1200);
    EXPECT_NEAR(toneFrequency(heard), 1000.0, 10.0) << "part " << part;
    EXPECT_GT(peak(heard), 30000) << "part " << part;
  }
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
  ASSERT_EQ(prepared(playback, deviceNamed("test_out")), std::nullopt);
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
        prepared(playback, serverDies ? std::nullopt : std::optional(deviceNamed("unplugged_out"))),
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
    EXPECT_TRUE(playback.isStale());
  }
}

// A device that is gone gives PulseAudio's error. The stream stays between transmissions to the
// same device and is built anew for another device, for the server's default and after going
// stale. Without a server nothing plays.
TEST(PlaybackEngine, ReportsAGoneDeviceKeepsItsStreamForTheSameOneAndRebuildsOtherwise) {
  PlaybackEngine playback;
  auto stream = [] { return ourStream("sink-inputs", "Palavrix transmit"); };
  const AudioDeviceInfo gone{5, "unplugged_long_ago", "Old interface"};
  const auto error = prepared(playback, gone);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->description, "No such entity.");
  EXPECT_TRUE(toneStarted(playback, gone, 1000.0, 0.5f));
  ASSERT_EQ(prepared(playback, deviceNamed("test_out")), std::nullopt);
  const QString first = stream();
  ASSERT_FALSE(first.isEmpty());
  ASSERT_EQ(prepared(playback, deviceNamed("test_out")), std::nullopt);
  EXPECT_EQ(stream(), first);
  ASSERT_EQ(prepared(playback, std::nullopt), std::nullopt);
  const QString second = stream();
  EXPECT_NE(second, first);
  playback.setStale();
  ASSERT_EQ(prepared(playback, std::nullopt), std::nullopt);
  EXPECT_NE(stream(), second);
  EXPECT_FALSE(playback.isStale());
  ServerOverride none(kNoServer);
  EXPECT_EQ(toneStarted(playback, AudioDeviceInfo{0, "test_out", ""}, 1000.0, 0.5f)
                .value_or(PlaybackError{})
                .description,
            "No audio server is running.");
  EXPECT_FALSE(playback.isPlaying());
}

// A frozen server keeps no one waiting: prepare returns at once, the test tone too, and their
// answer comes later and says what happened. A stop meanwhile calls the tone off.
TEST(PlaybackEngine, AFrozenServerKeepsNoOneWaitingAndIsSaidNotToAnswer) {
  PrivateServer server;
  ASSERT_GT(server.pid(), 0);
  ServerOverride privateServer(server.address());
  PlaybackEngine playback;
  ASSERT_EQ(prepared(playback, std::nullopt), std::nullopt);
  ASSERT_EQ(::kill(server.pid(), SIGSTOP), 0);
  playback.setStale();
  std::vector<std::optional<PlaybackError>> answers;
  playback.playTone(std::nullopt, 1000.0, 0.5f,
                    [&](const std::optional<PlaybackError>& error) { answers.push_back(error); });
  playback.stopPlayer();
  playback.playTone(std::nullopt, 1000.0, 0.5f,
                    [&](const std::optional<PlaybackError>& error) { answers.push_back(error); });
  const bool unanswered = answers.empty();
  const bool answered = waitFor([&] { return !answers.empty(); });
  QTest::qWait(200);  // a second answer, had the stopped tone had one
  ::kill(server.pid(), SIGCONT);
  EXPECT_TRUE(unanswered) << "answered before the server could";
  ASSERT_TRUE(answered);
  ASSERT_EQ(answers.size(), 1u);
  ASSERT_TRUE(answers.front().has_value());
  EXPECT_EQ(answers.front()->description, "The audio server does not answer.");
  EXPECT_FALSE(playback.isPlaying());
  // Thawed, it plays again.
  EXPECT_EQ(prepared(playback, std::nullopt), std::nullopt);
}

// A refusal means that no server runs only where nothing listens: a server too stopped or swamped
// to take another connection still listens on its socket, and does not answer.
TEST(PlaybackEngine, SaysNoServerRunsOnlyWhereNothingListensOnItsSocket) {
  QTemporaryDir dir(QStringLiteral("/tmp/palavrix-XXXXXX"));
  const QByteArray path = QDir(dir.path()).filePath("native").toUtf8();
  ServerOverride socketServer("unix:" + path);
  PlaybackEngine playback;
  EXPECT_EQ(prepared(playback, std::nullopt).value_or(PlaybackError{}).description,
            "No audio server is running.");

  // A socket whose queue of connections nobody takes is full.
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  std::vector<int> waiting;
  for (int i = 0; i < 64; ++i) {
    const int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    const bool queued =
        ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    waiting.push_back(client);
    if (!queued) break;
  }
  playback.setStale();
  EXPECT_EQ(prepared(playback, std::nullopt).value_or(PlaybackError{}).description,
            "The audio server does not answer.");
  for (const int client : waiting) ::close(client);
  ::close(listener);
}

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

// The longest gap: run at or below a tenth of the peak, which the signal's steady envelope crosses
// only for a sample or so at each zero crossing.
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

// KVOL transmissions played on the sink and captured back from its loopback input while twice as
// many spinning processes as cores keep the machine busy, as a desktop compiling in the
// background does: the transmit audio is handed to the server far enough ahead that every
// transmission comes back as long as it was sent, without a gap, and decodes to its text.
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
      ASSERT_EQ(prepared(playback, deviceNamed("test_out")), std::nullopt);
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
