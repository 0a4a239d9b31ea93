// The whole chat loop headless, through real parts: the controller sends on the test server's
// null sink with push-to-talk through rigctld (the CTest fixtures), hears its own transmission
// on the sink's loopback input, and shows both messages.
#include <signal.h>
#include <sys/resource.h>

#include <QProcess>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "BusyProcesses.h"
#include "ChatTestSupport.h"
#include "PulseServer.h"
#include "audio/AudioLevels.h"
#include "audio/PlaybackEngine.h"
#include "audio/WaterfallBitmap.h"
#include "chat/ChatViewModel.h"

using namespace chattest;
using State = ChatMessage::DecodeState;

namespace {

using Clock = std::chrono::steady_clock;

// What reaches the sink, as its monitor hears it: when the first and the last loud sample were
// played. A sample's moment comes from its place in the monitor's stream, which runs on the
// sink's clock: a block read at a moment says that each sample before it played no later than
// that moment less the samples between them, and the earliest such bound is kept. So reads that
// come late on a busy machine move neither moment; the one read soonest after sets it.
class SinkListener {
 public:
  explicit SinkListener(const std::string& sink)
      : pipe_(popen(("echo $$; exec parec --device=" + sink +
                     ".monitor --rate=48000 --channels=1 --format=s16le --latency-msec=5")
                        .c_str(),
                    "r")) {
    setvbuf(pipe_, nullptr, _IONBF, 0);  // no audio read ahead into a buffer, where it ages
    char line[32];
    if (!fgets(line, sizeof line, pipe_)) return;
    pid_ = atoi(line);
    // Read soon after it plays also on a busy machine: the soonest read sets the moments.
    setpriority(PRIO_PROCESS, pid_, -10);
    reader_ = std::thread([this] {
      char bytes[512];
      size_t carried = 0;  // half a sample, left over from the read before
      for (ssize_t count;
           (count = read(fileno(pipe_), bytes + carried, sizeof bytes - carried)) > 0;) {
        const Clock::time_point arrived = Clock::now();
        const size_t total = carried + size_t(count);
        int16_t block[sizeof bytes / 2];
        std::memcpy(block, bytes, total / 2 * 2);
        heard(block, total / 2, arrived);
        carried = total % 2;
        if (carried) bytes[0] = bytes[total - 1];
      }
    });
  }
  ~SinkListener() {
    stop();
    pclose(pipe_);
  }
  void stop() {
    if (pid_ > 0) kill(pid_, SIGTERM);
    if (reader_.joinable()) reader_.join();
  }

  std::optional<Clock::time_point> first() const {
    const std::lock_guard lock(mutex_);
    return first_;
  }
  std::optional<Clock::time_point> last() const {
    const std::lock_guard lock(mutex_);
    return last_;
  }
  // The place in the sink's stream (in samples from the listener's start) that the sink had
  // played up to at that moment, the stream taken as running on without a break; at most a
  // block's read late. 0 before anything was read.
  int64_t placeAt(Clock::time_point moment) const {
    const std::lock_guard lock(mutex_);
    if (!start_) return 0;
    return std::chrono::duration_cast<std::chrono::microseconds>(moment - *start_).count() * kRate /
           1'000'000;
  }
  // How much of the stream has been read, and the loud samples read at or after a place in it.
  int64_t heardUpTo() const {
    const std::lock_guard lock(mutex_);
    return position_;
  }
  int64_t loudFrom(int64_t place) const {
    const std::lock_guard lock(mutex_);
    int64_t count = 0;
    for (const auto& [at, loud] : loudBlocks_) count += at >= place ? loud : 0;
    return count;
  }
  // How much of the sink's stream has been heard after the last loud sample.
  std::chrono::milliseconds heardSinceLast() const {
    const std::lock_guard lock(mutex_);
    return lastAt_ ? std::chrono::milliseconds((position_ - *lastAt_) * 1000 / kRate)
                   : std::chrono::milliseconds(0);
  }
  // Samples of signal heard so far; any thread.
  std::atomic<int64_t> loud{0};

 private:
  static constexpr int64_t kRate = 48000;

  // Reader thread.
  void heard(const int16_t* samples, size_t count, Clock::time_point arrived) {
    const std::lock_guard lock(mutex_);
    const int64_t start = position_;
    position_ += int64_t(count);
    // The moment no later than which the sample at that place in the stream played.
    const auto playedBy = [&](int64_t at) {
      return arrived - std::chrono::microseconds((position_ - 1 - at) * 1'000'000 / kRate);
    };
    start_ = std::min(start_.value_or(Clock::time_point::max()), playedBy(0));
    std::optional<int64_t> lastHere;
    int64_t loudHere = 0;
    for (size_t i = 0; i < count; ++i) {
      if (std::abs(samples[i]) < 1000) continue;
      ++loud;
      ++loudHere;
      if (!firstAt_) firstAt_ = start + int64_t(i);
      lastHere = start + int64_t(i);
    }
    if (loudHere > 0) loudBlocks_.emplace_back(start, loudHere);
    if (firstAt_) first_ = std::min(first_.value_or(Clock::time_point::max()), playedBy(*firstAt_));
    if (lastHere) {
      lastAt_ = lastHere;
      last_ = playedBy(*lastAt_);
    } else if (lastAt_) {
      last_ = std::min(*last_, playedBy(*lastAt_));
    }
  }

  FILE* pipe_;
  pid_t pid_ = 0;
  std::thread reader_;
  mutable std::mutex mutex_;
  int64_t position_ = 0;  // samples of the stream read so far
  std::optional<int64_t> firstAt_, lastAt_;
  std::optional<Clock::time_point> first_, last_;
  std::optional<Clock::time_point> start_;               // when the stream's first sample played
  std::vector<std::pair<int64_t, int64_t>> loudBlocks_;  // where each block began, its loud ones
};

// Push-to-talk as the daemon has it, asked for over and over as another program on the machine
// would: the last moment it was seen off before it came on, and the first moment it was seen off
// after. Read once stopped.
class PushToTalkWatch {
 public:
  explicit PushToTalkWatch(int port)
      : watcher_([this, port] {
          for (Clock::time_point offAsked = Clock::now(); !stop_;) {
            const Clock::time_point asked = Clock::now();
            const std::string answer = rigtest::askRigctld(port, "t");
            if (answer == "1" && !on) on = offAsked;
            if (answer == "0" && on && !off) off = Clock::now();
            if (answer == "0") offAsked = asked;
          }
        }) {}
  ~PushToTalkWatch() { stop(); }
  void stop() {
    stop_ = true;
    if (watcher_.joinable()) watcher_.join();
  }

  std::optional<Clock::time_point> on, off;

 private:
  std::atomic<bool> stop_{false};
  std::thread watcher_;
};

// Push-to-talk measured at the daemon against the audio at the sink: the audio started at least
// the lead after the key and ended at least the tail before the release. Stops both.
void expectCoveredByPushToTalk(SinkListener& sink, PushToTalkWatch& ptt) {
  ptt.stop();
  // Some of the silence after the message read as well, for a read soon after it played.
  EXPECT_TRUE(waitFor([&] { return sink.heardSinceLast() >= std::chrono::seconds(1); }));
  sink.stop();
  const std::optional<Clock::time_point> first = sink.first(), last = sink.last();
  ASSERT_TRUE(ptt.on && ptt.off && first && last);
  using std::chrono::duration_cast, std::chrono::milliseconds;
  EXPECT_GE(duration_cast<milliseconds>(*first - *ptt.on).count(), 150);
  EXPECT_GE(duration_cast<milliseconds>(*ptt.off - *last).count(), 200);
}

// Sends a message and measures it as above.
void sendCoveredByPushToTalk(ChatViewModel& model, int port, const char* text) {
  SinkListener sink("test_out");
  PushToTalkWatch ptt(port);
  model.setInputText(QString::fromLatin1(text));
  model.send();
  ASSERT_TRUE(waitFor([&] { return !model.isSending(); }, 30000));
  // Released through the rig queue, which a loaded machine may hold up for seconds.
  ASSERT_TRUE(waitFor([&] { return rigtest::askRigctld(port, "t") == "0"; }, 30000));
  EXPECT_EQ(model.alertMessage(), std::nullopt);
  expectCoveredByPushToTalk(sink, ptt);
}

class ChatLoop : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(qgetenv("PULSE_SERVER").isEmpty()) << "run through CTest (pulse_server fixture)";
    ASSERT_NE(port, 0) << "run through CTest (rigctld fixture)";
    ASSERT_EQ(rigtest::askRigctld(port, "T 0"), "RPRT 0");
    settings.setAudioInputDeviceUID(QStringLiteral("test_in"));
    settings.setAudioOutputDeviceUID(QStringLiteral("test_out"));
    saveNetworkRig(settings, port, "Default");
  }

  const int port = rigtest::fixturePort();
  ConfigHome home;
  AppSettings settings;
};

TEST_F(ChatLoop, ASentMessageKeysTheRigAndComesBackAsAReceivedBubble) {
  // A decoder starved by a loaded machine may report a frame after the stall timeout.
  ChatViewModel model(settings, {.stallTimeout = std::chrono::minutes(2)});
  ASSERT_TRUE(waitFor([&] { return model.isCapturing() && model.rigStatus().has_value(); }));
  ASSERT_TRUE(isdigit(model.rigStatus()->at(0).unicode())) << model.rigStatus()->toStdString();

  // The received bubble's states as they come.
  std::vector<State> received;
  auto follow = [&] {
    for (const ChatMessage& message : model.messages()->all()) {
      if (!message.isSent && (received.empty() || received.back() != message.decodeState))
        received.push_back(message.decodeState);
    }
  };
  QObject::connect(model.messages(), &QAbstractItemModel::rowsInserted, &model, follow);
  QObject::connect(model.messages(), &QAbstractItemModel::dataChanged, &model, follow);

  // A second of waterfall rows: capture is flowing, and hears the message from its start.
  int rows = 0;
  QObject::connect(&model.waterfall(), &WaterfallBitmap::imageChanged, &model, [&] { ++rows; });
  ASSERT_TRUE(waitFor([&] { return rows >= 25; }));
  // Seen at the next poll, which comes every 5 s between transmissions.
  ASSERT_EQ(rigtest::askRigctld(port, "F 14074000"), "RPRT 0");
  sendCoveredByPushToTalk(model, port, "CQ DE PALAVRIX TEST");
  const ChatMessage sent = model.messages()->at(0);
  EXPECT_TRUE(sent.isSent);

  ASSERT_TRUE(
      waitFor([&] { return !received.empty() && received.back() == State::complete; }, 20000));
  // More than two: a capture restart cut what was heard, or a decoder reported it twice.
  std::string transcript;
  for (const ChatMessage& message : model.messages()->all())
    transcript += (message.isSent ? "TX " : "RX ") + std::to_string(int(message.decodeState)) +
                  ' ' + message.text.toStdString() + '\n';
  ASSERT_EQ(model.messages()->size(), 2)
      << transcript << "capture starts: " << model.captureStartAttempts();
  const ChatMessage heard = model.messages()->at(1);
  EXPECT_EQ(heard.text, sent.text);
  EXPECT_TRUE(heard.bestSnrDb.has_value());
  EXPECT_EQ(received, (std::vector<State>{State::inProgress, State::complete}))
      << "the bubble should fill in while the transmission arrives";
  EXPECT_TRUE(waitFor([&] { return model.rigStatus().value_or("").startsWith("14.074000"); }));
  rigtest::askRigctld(port, "F 145000000");
}

// Twice as many spinning processes as cores, as a desktop compiling in the background: the
// audio still starts after the key and ends before the release, by the same margins.
TEST_F(ChatLoop, PushToTalkCoversTheAudioOnABusyMachine) {
  ChatViewModel model(settings);
  ASSERT_TRUE(waitFor([&] { return model.rigStatus().has_value(); }));
  loadtest::BusyProcesses load;
  ASSERT_GT(load.count(), 0);
  sendCoveredByPushToTalk(model, port, "CQ");
}

TEST_F(ChatLoop, TheTestToneDrivesTheOutputMeterUntilStopped) {
  ChatViewModel model(settings);
  model.playTestTone();
  EXPECT_EQ(model.alertMessage(), std::nullopt);
  ASSERT_TRUE(waitFor([&] { return std::abs(model.levels().outputDb() + 0.2646f) < 0.001f; }));
  model.playbackEngine().stopPlayer();
  model.stopOutputMeter();
  EXPECT_EQ(model.levels().outputDb(), kLevelFloorDb);
}

// A sink of the test's own on the fixture's server, until unloaded.
class LoadedSink {
 public:
  explicit LoadedSink(const QString& name)
      : index_(pactl({"load-module", "module-null-sink", "sink_name=" + name})) {}
  ~LoadedSink() { unload(); }
  void unload() {
    if (!index_.isEmpty()) pactl({"unload-module", index_});
    index_.clear();
  }

 private:
  static QString pactl(const QStringList& arguments) {
    QProcess process;
    process.start(QStringLiteral("pactl"), arguments);
    EXPECT_TRUE(process.waitForFinished(5000) && process.exitCode() == 0);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
  }

  QString index_;
};

// Stops this whole process at once for a while, as a machine too busy to run it would; a child
// sends the continue after the stall.
void stall(double seconds) {
  FILE* waker = popen(
      ("sleep " + std::to_string(seconds) + "; kill -CONT " + std::to_string(getpid())).c_str(),
      "r");
  ASSERT_NE(waker, nullptr);
  raise(SIGSTOP);
  pclose(waker);
}

// Transmit audio that breaks off is never passed over in silence. A stall longer than what the
// server holds ahead leaves a gap, and the alert says so; a sink that goes away mid-message
// unkeys the rig at once and the transcript shows the message as incomplete.
TEST_F(ChatLoop, TransmitAudioThatIsInterruptedOrLostSaysSo) {
  ChatViewModel model(settings);
  const auto playing = [&] { return model.levels().outputDb() > kLevelFloorDb; };
  // The loopback input hears the first one: the transcript has received messages too.
  const auto sent = [&](int n) {
    for (const ChatMessage& message : model.messages()->all()) {
      if (message.isSent && n-- == 0) return message;
    }
    return ChatMessage{};
  };

  ASSERT_TRUE(waitFor([&] { return model.isCapturing(); }));
  model.setInputText(QStringLiteral("CQ K1ABC"));  // two frames, 3.8 s
  model.send();
  // Heard on the loopback input: the server holds the audio written ahead and plays it.
  ASSERT_TRUE(waitFor([&] { return model.levels().inputDb() > -20.0f; }));
  stall(2.6);
  ASSERT_TRUE(waitFor([&] { return model.alertMessage().has_value(); }, 10000));
  EXPECT_EQ(model.alertMessage(),
            "The transmission was interrupted for a moment, so the message may not have arrived "
            "whole.");
  ASSERT_TRUE(waitFor([&] { return !model.isSending(); }, 10000));
  EXPECT_EQ(sent(0).decodeState, State::complete);

  model.setAlertMessage(std::nullopt);
  LoadedSink sink("unplugged_out");
  settings.setAudioOutputDeviceUID(QStringLiteral("unplugged_out"));
  model.setInputText(QStringLiteral("CQ K1ABC"));
  model.send();
  ASSERT_TRUE(waitFor(playing));
  sink.unload();
  ASSERT_TRUE(waitFor([&] { return model.alertMessage().has_value(); }));
  EXPECT_TRUE(model.alertMessage()->startsWith("Couldn't play the transmit audio: "));
  EXPECT_FALSE(model.isSending());
  EXPECT_EQ(sent(1).decodeState, State::incomplete);
  EXPECT_TRUE(waitFor([&] { return rigtest::askRigctld(port, "t") == "0"; }, 30000));
}

// A sink that starts playing seconds late, as one waking from suspend after a pause may: the
// player's report still ends the transmission, the whole message goes out under push-to-talk,
// and nothing is taken for a report that never came.
TEST_F(ChatLoop, ASinkThatStartsLateGetsTheWholeMessageUnderPushToTalk) {
  pulsetest::PrivateServer server;
  ASSERT_TRUE(server.started());
  const QByteArray fixtureServer = qgetenv("PULSE_SERVER");
  qputenv("PULSE_SERVER", server.address());
  const auto suspend = [](bool suspended) {
    return QProcess::execute("pactl", {"suspend-sink", "test_out", suspended ? "1" : "0"}) == 0;
  };
  {
    ChatViewModel model(settings);
    ASSERT_TRUE(waitFor([&] { return model.isCapturing() && model.rigStatus().has_value(); }));
    SinkListener sink("test_out");
    PushToTalkWatch ptt(port);
    ASSERT_TRUE(suspend(true));
    model.setInputText(QStringLiteral("CQ K1ABC"));  // two frames, 3.8 s
    model.send();
    ASSERT_TRUE(waitFor([&] { return model.levels().outputDb() > kLevelFloorDb; }));
    QTimer::singleShot(4000, &model, [&] { EXPECT_TRUE(suspend(false)); });
    ASSERT_TRUE(waitFor([&] { return !model.isSending(); }, 30000));
    ASSERT_TRUE(waitFor([&] { return rigtest::askRigctld(port, "t") == "0"; }, 30000));
    EXPECT_EQ(model.alertMessage(), std::nullopt);
    EXPECT_EQ(model.messages()->at(0).decodeState, State::complete);
    expectCoveredByPushToTalk(sink, ptt);
    EXPECT_GE(sink.loud, 48000 * 3) << "the message was cut short";
  }
  suspend(false);
  qputenv("PULSE_SERVER", fixtureServer);
}

// An audio server frozen in mid-message lets the safety clock release push-to-talk: the player
// stops first, so the rest of the message is never heard once the server thaws, and the
// transcript and the alert say the transmission was cut off. A sink that stalls on a server that
// still runs gets the stop before the release, and nothing of the message is heard after it.
TEST_F(ChatLoop, NothingMoreOfAMessageIsHeardOncePushToTalkIsReleased) {
  pulsetest::PrivateServer server;
  ASSERT_TRUE(server.started());
  const QByteArray fixtureServer = qgetenv("PULSE_SERVER");
  qputenv("PULSE_SERVER", server.address());
  const auto suspend = [](bool suspended) {
    return QProcess::execute("pactl", {"suspend-sink", "test_out", suspended ? "1" : "0"}) == 0;
  };
  {
    ChatViewModel model(settings);
    ASSERT_TRUE(waitFor([&] { return model.isCapturing() && model.rigStatus().has_value(); }));
    // Each part has a listener of its own, whose stream has run on without a break before.
    const auto cutOff = [&](SinkListener& sink, const char* text,
                            const std::function<void()>& stall,
                            const std::function<void()>& resume) {
      const int64_t heardBefore = sink.loud;
      model.setInputText(QString::fromLatin1(text));
      model.send();
      ASSERT_TRUE(waitFor([&] { return sink.loud - heardBefore > 48000 * 3 / 2; }, 20000));
      stall();
      const bool released = waitFor(
          [&] { return !model.isSending() && rigtest::askRigctld(port, "t") == "0"; }, 30000);
      resume();
      ASSERT_TRUE(released);
      EXPECT_EQ(model.alertMessage(),
                "The transmission was cut off: the audio output stopped playing it, so "
                "push-to-talk was released before the whole message had gone out.");
      // The loopback input hears the messages: the transcript has received ones too.
      std::optional<ChatMessage> sent;
      for (const ChatMessage& message : model.messages()->all()) {
        if (message.isSent) sent = message;
      }
      ASSERT_TRUE(sent.has_value());
      EXPECT_EQ(sent->decodeState, State::incomplete);
      model.setAlertMessage(std::nullopt);
    };
    const auto playedAfter = [](const SinkListener& sink, int64_t place, int64_t heardTo) {
      EXPECT_TRUE(waitFor([&] { return sink.heardUpTo() >= heardTo; }, 30000));
      return sink.loudFrom(place) * 1000 / 48000;
    };

    // A server frozen for as long as the safety clock takes, 12.6 s, plays nothing meanwhile and,
    // thawed, catches up at once on the time it missed. It may render what it held (the two
    // seconds the program writes ahead) before it reads the program's stop: no client can stop
    // that. What the program controls is that nothing more of the message follows: 9.4 s, of
    // which a second and a half or a little more had played at the freeze.
    SinkListener frozenSink("test_out");
    Clock::time_point frozen, thawed;
    cutOff(
        frozenSink, "CQ CQ DE K1ABC K1ABC FN42 K",
        [&] {
          ASSERT_EQ(::kill(server.pid(), SIGSTOP), 0);
          frozen = Clock::now();
        },
        [&] {
          ::kill(server.pid(), SIGCONT);
          thawed = Clock::now();
        });
    const int64_t afterThaw = frozenSink.placeAt(thawed + std::chrono::seconds(3));
    EXPECT_LT(playedAfter(frozenSink, frozenSink.placeAt(frozen), afterThaw), 2500)
        << "ms of the message played after the freeze";

    // A stalled sink on a server that runs: the stop drops what the server holds at once.
    SinkListener stalledSink("test_out");
    int64_t suspendedAt = 0;
    cutOff(
        stalledSink, "CQ K1ABC",
        [&] {
          ASSERT_TRUE(suspend(true));
          suspendedAt = stalledSink.placeAt(Clock::now());
        },
        [&] { EXPECT_TRUE(suspend(false)); });
    EXPECT_LT(playedAfter(stalledSink, suspendedAt, suspendedAt + 48000 * 3), 100)
        << "ms of the message played after the release";
  }
  suspend(false);
  qputenv("PULSE_SERVER", fixtureServer);
}

TEST_F(ChatLoop, CaptureRetriesEndWithARestartAndNeverForGood) {
  // A server of the test's own, down at first.
  pulsetest::PrivateServer server(false);
  const QByteArray fixtureServer = qgetenv("PULSE_SERVER");
  qputenv("PULSE_SERVER", server.address());
  {
    ChatViewModel model(settings, {.captureRetryInterval = std::chrono::milliseconds(100)});
    ASSERT_TRUE(waitFor([&] { return model.captureStartAttempts() >= 2; }));
    EXPECT_FALSE(model.isCapturing());
    ASSERT_TRUE(server.start());
    model.restartAudio();
    ASSERT_TRUE(waitFor([&] { return model.isCapturing(); }));
    const int attempts = model.captureStartAttempts();
    QTest::qWait(500);  // several of the old chain's intervals, had it lived on
    EXPECT_EQ(model.captureStartAttempts(), attempts);
    EXPECT_TRUE(model.isCapturing());
    EXPECT_EQ(model.alertMessage(), std::nullopt);
    // Devices that come or go are weighed too, and one that is not the input leaves capture be.
    const int checks = model.audioDeviceChecks();
    LoadedSink sink(QStringLiteral("headset"));
    EXPECT_TRUE(waitFor([&] { return model.audioDeviceChecks() > checks; }));
    EXPECT_TRUE(model.isCapturing());
    EXPECT_EQ(model.captureStartAttempts(), attempts);
  }
  {
    // A server that froze and thawed gives no notice: capture that gave up keeps trying, and
    // its alert goes once it runs again.
    ChatViewModel model(settings, {.captureRetries = 0,
                                   .captureLateRetryInterval = std::chrono::milliseconds(500)});
    ASSERT_TRUE(waitFor([&] { return model.isCapturing(); }));
    const pid_t pid = server.pid();
    ASSERT_GT(pid, 0);
    ASSERT_EQ(::kill(pid, SIGSTOP), 0);
    const bool alerted = waitFor([&] { return model.alertMessage().has_value(); }, 30000);
    ::kill(pid, SIGCONT);
    ASSERT_TRUE(alerted);
    EXPECT_EQ(model.alertMessage(),
              "Couldn't start listening on the audio input: The audio server does not answer.");
    EXPECT_TRUE(waitFor([&] { return model.isCapturing() && !model.alertMessage(); }, 30000));
  }
  server.kill();
  qputenv("PULSE_SERVER", fixtureServer);
}

}  // namespace
