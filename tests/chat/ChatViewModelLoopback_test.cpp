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
#include <thread>

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

// What reaches the sink, as its monitor hears it: when the first and the last loud sample came.
// Read once stopped.
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
    // Heard on time also on a busy machine: a late read would move the last sample later.
    setpriority(PRIO_PROCESS, pid_, -10);
    reader_ = std::thread([this] {
      int16_t block[256];
      for (ssize_t count; (count = read(fileno(pipe_), block, sizeof block)) > 0;) {
        const Clock::time_point arrived = Clock::now();
        const ssize_t samples = count / 2;  // parec writes whole samples into a pipe
        for (ssize_t i = 0; i < samples; ++i) {
          if (std::abs(block[i]) < 1000) continue;
          ++loud;
          last = arrived - std::chrono::microseconds((samples - i) * 1'000'000 / 48'000);
          if (!first) first = last;
        }
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

  std::optional<Clock::time_point> first, last;
  // Samples of signal heard so far; any thread.
  std::atomic<int64_t> loud{0};

 private:
  FILE* pipe_;
  pid_t pid_ = 0;
  std::thread reader_;
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

// Sends a message with push-to-talk measured at the daemon against the audio at the sink: the
// audio starts at least the lead after the key and ends at least the tail before the release.
void sendCoveredByPushToTalk(ChatViewModel& model, int port, const char* text) {
  SinkListener sink("test_out");
  PushToTalkWatch ptt(port);
  model.setInputText(QString::fromLatin1(text));
  model.send();
  ASSERT_TRUE(waitFor([&] { return !model.isSending(); }, 30000));
  // Released through the rig queue, which a loaded machine may hold up for seconds.
  ASSERT_TRUE(waitFor([&] { return rigtest::askRigctld(port, "t") == "0"; }, 30000));
  EXPECT_EQ(model.alertMessage(), std::nullopt);
  ptt.stop();
  sink.stop();
  ASSERT_TRUE(ptt.on && ptt.off && sink.first && sink.last);
  using std::chrono::duration_cast, std::chrono::milliseconds;
  EXPECT_GE(duration_cast<milliseconds>(*sink.first - *ptt.on).count(), 150);
  EXPECT_GE(duration_cast<milliseconds>(*ptt.off - *sink.last).count(), 200);
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
    ptt.stop();
    sink.stop();
    EXPECT_EQ(model.alertMessage(), std::nullopt);
    EXPECT_EQ(model.messages()->at(0).decodeState, State::complete);
    ASSERT_TRUE(ptt.on && ptt.off && sink.first && sink.last);
    EXPECT_GE(sink.loud, 48000 * 3) << "the message was cut short";
    using std::chrono::duration_cast, std::chrono::milliseconds;
    EXPECT_GE(duration_cast<milliseconds>(*ptt.off - *sink.last).count(), 200);
  }
  suspend(false);
  qputenv("PULSE_SERVER", fixtureServer);
}

// An audio server frozen in mid-message lets the safety clock release push-to-talk: the player
// stops first, so the rest of the message is never heard once the server thaws, and the
// transcript and the alert say the transmission was cut off.
TEST_F(ChatLoop, NothingMoreOfAMessageIsHeardOncePushToTalkIsReleased) {
  pulsetest::PrivateServer server;
  ASSERT_TRUE(server.started());
  const QByteArray fixtureServer = qgetenv("PULSE_SERVER");
  qputenv("PULSE_SERVER", server.address());
  {
    ChatViewModel model(settings);
    ASSERT_TRUE(waitFor([&] { return model.isCapturing() && model.rigStatus().has_value(); }));
    SinkListener sink("test_out");
    model.setInputText(QStringLiteral("CQ CQ DE K1ABC K1ABC FN42 K"));  // 26 characters, 9.4 s
    model.send();
    ASSERT_TRUE(waitFor(
        [&] { return sink.first && Clock::now() - *sink.first > std::chrono::milliseconds(1500); },
        20000));
    ASSERT_EQ(::kill(server.pid(), SIGSTOP), 0);
    const int64_t heardBefore = sink.loud;
    const bool released =
        waitFor([&] { return !model.isSending() && rigtest::askRigctld(port, "t") == "0"; }, 30000);
    ::kill(server.pid(), SIGCONT);
    ASSERT_TRUE(released);
    EXPECT_EQ(model.alertMessage(),
              "The transmission was cut off: the audio output stopped playing it, so push-to-talk "
              "was released before the whole message had gone out.");
    EXPECT_EQ(model.messages()->at(0).decodeState, State::incomplete);
    // What the server held when it froze (two seconds) is dropped, and the rest of the message
    // is never written: at most what the sink had taken in before the freeze is heard.
    const auto heardAfter = [&] { return sink.loud - heardBefore; };
    EXPECT_FALSE(waitFor([&] { return heardAfter() >= 48000 / 2; }, 10000))
        << heardAfter() * 1000 / 48000 << " ms of the message heard after the release";
  }
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
