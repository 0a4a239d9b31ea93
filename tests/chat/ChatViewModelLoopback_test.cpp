// The whole chat loop headless, through real parts: the controller sends on the test server's
// null sink with push-to-talk through rigctld (the CTest fixtures), hears its own transmission
// on the sink's loopback input, and shows and exports both messages.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <QFile>
#include <QProcess>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "ChatTestSupport.h"
#include "PulseServer.h"
#include "audio/AudioLevels.h"
#include "audio/PlaybackEngine.h"
#include "audio/WaterfallBitmap.h"
#include "chat/ChatViewModel.h"

using namespace chattest;
using State = ChatMessage::DecodeState;

namespace {

class PathChooser final : public ExportFileChooser {
 public:
  explicit PathChooser(QString path) : path_(std::move(path)) {}
  std::optional<QString> chooseFile(const QString&, const QString&) override { return path_; }

 private:
  QString path_;
};

using Clock = std::chrono::steady_clock;

// What reaches the sink, as its monitor hears it: when the first and the last loud sample came.
class SinkListener {
 public:
  explicit SinkListener(const char* sink) {
    int ends[2];
    if (pipe(ends) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
    posix_spawn_file_actions_addclose(&actions, ends[0]);
    const std::string device = std::string("--device=") + sink + ".monitor";
    const char* arguments[] = {"parec",          device.c_str(),     "--rate=48000", "--channels=1",
                               "--format=s16le", "--latency-msec=5", nullptr};
    if (posix_spawnp(&child_, "parec", &actions, nullptr, const_cast<char**>(arguments), environ) !=
        0) {
      child_ = 0;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    reader_ = std::thread([this, fd = ends[0]] { listen(fd); });
  }
  ~SinkListener() {
    if (child_ != 0) {
      kill(child_, SIGTERM);
      waitpid(child_, nullptr, 0);
    }
    reader_.join();
  }
  bool listening() const { return child_ != 0; }
  std::optional<Clock::time_point> firstLoud() const { return load(first_); }
  std::optional<Clock::time_point> lastLoud() const { return load(last_); }

 private:
  static constexpr int16_t kLoud = 1000;
  static std::optional<Clock::time_point> load(const std::atomic<Clock::rep>& at) {
    const Clock::rep ticks = at.load();
    if (ticks == 0) return std::nullopt;
    return Clock::time_point(Clock::duration(ticks));
  }
  void listen(int fd) {
    int16_t block[256];
    ssize_t count;
    while ((count = read(fd, block, sizeof block)) > 0) {
      const Clock::time_point arrived = Clock::now();
      const ssize_t samples = count / 2;  // parec writes whole samples into a pipe
      for (ssize_t i = 0; i < samples; ++i) {
        if (std::abs(block[i]) < kLoud) continue;
        const Clock::rep at =
            (arrived - std::chrono::microseconds((samples - i) * 1'000'000 / 48'000))
                .time_since_epoch()
                .count();
        if (first_.load() == 0) first_ = at;
        last_ = at;
      }
    }
    close(fd);
  }

  pid_t child_ = 0;
  std::thread reader_;
  std::atomic<Clock::rep> first_{0};
  std::atomic<Clock::rep> last_{0};
};

// Push-to-talk as the daemon has it, asked for over and over on one connection as another program
// on the machine would: the last moment it was seen off before it came on, and the first moment
// it was seen off after.
class PushToTalkWatch {
 public:
  explicit PushToTalkWatch(int port)
      : watcher_([this, port] {
          const int fd = socket(AF_INET, SOCK_STREAM, 0);
          sockaddr_in address{};
          address.sin_family = AF_INET;
          address.sin_port = htons(uint16_t(port));
          address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
          if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) stop_ = true;
          Clock::time_point askedBefore = Clock::now();
          while (!stop_) {
            const Clock::time_point asked = Clock::now();
            std::string answer;
            pollfd waiting{fd, POLLIN, 0};
            char c = 0;
            if (write(fd, "t\n", 2) != 2) break;
            while (poll(&waiting, 1, 2000) == 1 && read(fd, &c, 1) == 1 && c != '\n') answer += c;
            if (answer == "1" && !on_) on_ = askedBefore;
            if (answer == "0") {
              if (on_ && !off_) off_ = Clock::now();
              askedBefore = asked;
            }
          }
          close(fd);
        }) {}
  ~PushToTalkWatch() { stop(); }
  void stop() {
    stop_ = true;
    if (watcher_.joinable()) watcher_.join();
  }
  // Read once the watch has stopped.
  std::optional<Clock::time_point> on() const { return on_; }
  std::optional<Clock::time_point> off() const { return off_; }

 private:
  std::atomic<bool> stop_{false};
  std::optional<Clock::time_point> on_;
  std::optional<Clock::time_point> off_;
  std::thread watcher_;
};

TEST(ChatLoop, ASentMessageKeysTheRigAndComesBackAsAReceivedBubble) {
  ASSERT_FALSE(qgetenv("PULSE_SERVER").isEmpty()) << "run through CTest (pulse_server fixture)";
  const int port = rigtest::fixturePort();
  ASSERT_NE(port, 0) << "run through CTest (rigctld fixture)";
  ASSERT_EQ(rigtest::askRigctld(port, "T 0"), "RPRT 0");

  ConfigHome home;
  AppSettings settings;
  settings.setAudioInputDeviceUID(QStringLiteral("test_in"));
  settings.setAudioOutputDeviceUID(QStringLiteral("test_out"));
  saveNetworkRig(settings, port, "Default");
  // A decoder starved by a loaded machine may report the next frame later than the stall
  // timeout: the sweep would close the bubble and the late rest become a second one. This test
  // is about the loop; the sweep has tests of its own.
  ChatViewModel::Timing timing;
  timing.stallTimeout = std::chrono::minutes(2);
  ChatViewModel model(settings, timing);
  ASSERT_TRUE(waitFor([&] { return model.isCapturing() && model.rigStatus().has_value(); }));
  ASSERT_TRUE(isdigit(model.rigStatus()->at(0).unicode())) << model.rigStatus()->toStdString();
  ASSERT_FALSE(model.needsRigModeSet());

  // The received bubble's states as they come.
  std::vector<State> received;
  auto follow = [&] {
    for (const ChatMessage& message : model.messages()->all()) {
      if (message.isSent) continue;
      if (received.empty() || received.back() != message.decodeState) {
        received.push_back(message.decodeState);
      }
    }
  };
  QObject::connect(model.messages(), &QAbstractItemModel::rowsInserted, &model, follow);
  QObject::connect(model.messages(), &QAbstractItemModel::dataChanged, &model, follow);

  // Capture is flowing: a second of waterfall rows. (Audio played before the record stream
  // delivers is never heard, and a message whose first frames are lost arrives without them.)
  int rows = 0;
  QObject::connect(&model.waterfall(), &WaterfallBitmap::imageChanged, &model, [&] { ++rows; });
  ASSERT_TRUE(waitFor([&] { return rows >= 25; }));
  // Seen at the next poll, which comes every 5 s between transmissions.
  ASSERT_EQ(rigtest::askRigctld(port, "F 14074000"), "RPRT 0");
  // Push-to-talk covers all the audio at the sink with the lead and the tail, also while
  // another client keeps the daemon busy.
  SinkListener sink("test_out");
  ASSERT_TRUE(sink.listening());
  PushToTalkWatch ptt(port);
  model.setInputText(QStringLiteral("CQ DE PALAVRIX TEST"));
  model.send();
  ASSERT_EQ(model.messages()->size(), 1);
  const ChatMessage sent = model.messages()->at(0);
  EXPECT_TRUE(sent.isSent);
  ASSERT_TRUE(waitFor([&] { return !model.isSending(); }, 30000));
  // Released through the rig queue, which a loaded machine may hold up for seconds.
  ASSERT_TRUE(waitFor([&] { return rigtest::askRigctld(port, "t") == "0"; }, 30000));
  EXPECT_EQ(model.alertMessage(), std::nullopt);
  ptt.stop();
  ASSERT_TRUE(ptt.on() && ptt.off() && sink.firstLoud() && sink.lastLoud());
  using std::chrono::milliseconds;
  const auto lead = std::chrono::duration_cast<milliseconds>(*sink.firstLoud() - *ptt.on());
  const auto tail = std::chrono::duration_cast<milliseconds>(*ptt.off() - *sink.lastLoud());
  EXPECT_GE(lead.count(), 150);
  EXPECT_GE(tail.count(), 200);

  ASSERT_TRUE(
      waitFor([&] { return !received.empty() && received.back() == State::complete; }, 20000));
  // Anything more than the two says which: a capture restart cuts what was heard into two
  // bubbles, a decoder that reports a message again adds a copy.
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

  QTemporaryDir folder;
  const QString path = folder.filePath("export.txt");
  model.setExportFileChooser(std::make_unique<PathChooser>(path));
  model.exportMessages();
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n');
  ASSERT_EQ(lines.size(), 3);  // two lines, each ending in a line feed
  EXPECT_TRUE(lines[0].startsWith("TX\t" + sent.text + "\t"));
  EXPECT_TRUE(lines[1].startsWith("RX\t" + sent.text + "\t"));
  EXPECT_TRUE(lines[1].endsWith(" dB"));
}

TEST(ChatLoop, TheTestToneDrivesTheOutputMeterUntilStopped) {
  ASSERT_FALSE(qgetenv("PULSE_SERVER").isEmpty()) << "run through CTest (pulse_server fixture)";
  ConfigHome home;
  AppSettings settings;
  settings.setAudioOutputDeviceUID(QStringLiteral("test_out"));
  ASSERT_TRUE(settings.save());
  ChatViewModel model(settings);
  model.playTestTone();
  EXPECT_EQ(model.alertMessage(), std::nullopt);
  ASSERT_TRUE(waitFor([&] { return std::abs(model.levels().outputDb() + 0.2646f) < 0.001f; }));
  model.playbackEngine().stopPlayer();
  model.stopOutputMeter();
  EXPECT_EQ(model.levels().outputDb(), kLevelFloorDb);
  // The sound preview says where it played, or why it could not.
  EXPECT_FALSE(model.previewNewMessageSound().isEmpty());
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
class Stall {
 public:
  explicit Stall(double seconds) {
    const std::string script =
        "sleep " + std::to_string(seconds) + "; kill -CONT " + std::to_string(getpid());
    char shell[] = "/bin/sh";
    char option[] = "-c";
    std::vector<char> command(script.begin(), script.end());
    command.push_back('\0');
    char* arguments[] = {shell, option, command.data(), nullptr};
    if (posix_spawn(&child_, shell, nullptr, nullptr, arguments, environ) != 0) return;
    raise(SIGSTOP);
    stalled_ = true;
  }
  ~Stall() {
    if (child_ != 0) waitpid(child_, nullptr, 0);
  }
  bool stalled() const { return stalled_; }

 private:
  pid_t child_ = 0;
  bool stalled_ = false;
};

// Transmit audio that breaks off is never passed over in silence. A stall longer than what the
// server holds ahead leaves a gap, and the alert says so; a sink that goes away mid-message
// unkeys the rig at once and the transcript shows the message as incomplete.
TEST(ChatLoop, TransmitAudioThatIsInterruptedOrLostSaysSo) {
  ASSERT_FALSE(qgetenv("PULSE_SERVER").isEmpty()) << "run through CTest (pulse_server fixture)";
  const int port = rigtest::fixturePort();
  ASSERT_NE(port, 0) << "run through CTest (rigctld fixture)";
  ConfigHome home;
  AppSettings settings;
  settings.setAudioOutputDeviceUID(QStringLiteral("test_out"));
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
  {
    Stall stall(2.6);
    ASSERT_TRUE(stall.stalled());
    ASSERT_TRUE(waitFor([&] { return model.alertMessage().has_value(); }, 10000));
  }
  EXPECT_EQ(model.alertMessage(),
            "The transmission was interrupted for a moment, so the message may not have arrived "
            "whole.");
  ASSERT_TRUE(waitFor([&] { return !model.isSending(); }, 10000));
  EXPECT_EQ(sent(0).decodeState, State::complete);

  model.setAlertMessage(std::nullopt);
  LoadedSink sink("unplugged_out");
  settings.setAudioOutputDeviceUID(QStringLiteral("unplugged_out"));
  saveNetworkRig(settings, port, "Default");
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

TEST(ChatLoop, CaptureRetriesEndWithARestartAndNeverForGood) {
  // A server of the test's own, down at first.
  pulsetest::PrivateServer server(false);
  const QByteArray fixtureServer = qgetenv("PULSE_SERVER");
  qputenv("PULSE_SERVER", server.address());
  {
    ConfigHome home;
    AppSettings settings;
    ChatViewModel::Timing timing;
    timing.captureRetryInterval = std::chrono::milliseconds(100);
    ChatViewModel model(settings, timing);
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
    // Devices that come or go restart capture too.
    LoadedSink sink(QStringLiteral("headset"));
    EXPECT_TRUE(waitFor([&] { return model.captureStartAttempts() > attempts; }));
  }
  {
    // A server that froze and thawed gives no notice: capture that gave up keeps trying, and
    // its alert goes once it runs again.
    ConfigHome home;
    AppSettings settings;
    ChatViewModel::Timing timing;
    timing.captureRetries = 0;
    timing.captureLateRetryInterval = std::chrono::milliseconds(500);
    ChatViewModel model(settings, timing);
    ASSERT_TRUE(waitFor([&] { return model.isCapturing(); }));
    const pid_t pid = server.pid();
    ASSERT_GT(pid, 0);
    ASSERT_EQ(::kill(pid, SIGSTOP), 0);
    const bool alerted = waitFor([&] { return model.alertMessage().has_value(); }, 30000);
    ::kill(pid, SIGCONT);
    ASSERT_TRUE(alerted);
    EXPECT_TRUE(model.alertMessage()->startsWith("Couldn't start listening on the audio input: "));
    EXPECT_TRUE(waitFor([&] { return model.isCapturing() && !model.alertMessage(); }, 30000));
  }
  server.kill();
  qputenv("PULSE_SERVER", fixtureServer);
}

}  // namespace
