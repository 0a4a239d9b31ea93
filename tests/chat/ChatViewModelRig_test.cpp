// The controller's rig calls against real Hamlib and rigctld (model 2, the network rig) serving
// the dummy rig: polling through a daemon that dies and comes back, tuning, push-to-talk failures
// and their retries, releases and tunes stuck on a stopped daemon, and the release on the way out
// past a daemon that stops answering. The transmit audio plays on the fixture's audio server.
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <string_view>
#include <thread>

#include "ChatTestSupport.h"
#include "audio/AudioLevels.h"
#include "chat/ChatViewModel.h"
#include "rig/RigBridge.h"
#include "rig/RigControl.h"

using namespace chattest;

namespace {

class RigCalls : public testing::Test {
 protected:
  void make(ChatViewModel::Timing timing = {.captureRetryInterval = std::chrono::hours(1),
                                            .rigPollInterval = std::chrono::milliseconds(200)}) {
    model = std::make_unique<ChatViewModel>(*settings, timing);
  }
  testing::AssertionResult statusIs(const QString& prefix, int timeoutMs = 10000) {
    if (waitFor([&] { return model->rigStatus().value_or("").startsWith(prefix); }, timeoutMs))
      return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "status: " << model->rigStatus().value_or("none").toStdString();
  }
  void send(const char* text) {
    model->setInputText(QString::fromLatin1(text));
    model->send();
  }
  std::string ask(int port, const char* command) { return rigtest::askRigctld(port, command); }

  ConfigHome home;
  std::unique_ptr<AppSettings> settings = std::make_unique<AppSettings>();
  std::unique_ptr<ChatViewModel> model;
};

TEST_F(RigCalls, TuningKeyingAndPollingThroughADaemonThatDiesAndComesBack) {
  rigtest::Rigctld daemon(rigtest::unusedPort());
  saveNetworkRig(*settings, daemon.port(), "USB");
  settings->setRigPort(QStringLiteral("127.0.0.1:1"));  // an edit not saved never reaches the rig
  make();
  ASSERT_TRUE(statusIs("145.000000 MHz  USB"));  // the dummy's FM became the configured mode
  model->tune(7.074);
  ASSERT_TRUE(statusIs("7.074000 MHz  USB"));
  EXPECT_EQ(ask(daemon.port(), "f"), "7074000");

  // A tune asked for on the air waits until push-to-talk is released.
  send("CQ");
  ASSERT_TRUE(waitFor([&] { return ask(daemon.port(), "t") == "1"; }));
  model->tune(14.074);
  std::vector<std::pair<std::string, std::string>> seen;  // push-to-talk, frequency
  ASSERT_TRUE(waitFor(
      [&] {
        seen.emplace_back(ask(daemon.port(), "t"), ask(daemon.port(), "f"));
        return seen.back() == std::pair<std::string, std::string>("0", "14074000");
      },
      20000));
  for (const auto& [ptt, frequency] : seen)  // a busy daemon may leave a question unanswered
    EXPECT_TRUE(ptt != "1" || frequency.empty() || frequency == "7074000") << frequency;
  EXPECT_EQ(model->alertMessage(), std::nullopt);

  daemon.stop();
  model->tune(14.074);
  ASSERT_TRUE(waitFor([&] { return model->alertMessage().has_value(); }));
  ASSERT_TRUE(statusIs("Rig not responding"));
  model->setNeedsRigModeSet(true);  // as the settings window's OK does
  ASSERT_TRUE(daemon.start());      // a fresh dummy rig, in FM again
  ASSERT_TRUE(statusIs("145.000000 MHz  USB"));
  EXPECT_FALSE(model->needsRigModeSet());
}

TEST_F(RigCalls, APollStuckOnARigThatNeverAnswersSaysRigNotResponding) {
  rigtest::SilentRig silent;
  saveNetworkRig(*settings, silent.port(), "USB");
  make();
  EXPECT_TRUE(statusIs("Rig not responding"));  // long before Hamlib gives up on it
  silent.hangUp();                              // the poll's connection ends, and the poll with it
}

TEST_F(RigCalls, AKeyCallThatNeverReachedTheRigSendsNoAudioAndLeavesNothingToRelease) {
  make();
  bool played = false;
  QObject::connect(&model->levels(), &AudioLevels::outputDbChanged, model.get(),
                   [&](float db) { played = played || db > kLevelFloorDb; });
  // Nobody listens at the port; a model Hamlib does not know.
  for (const int rigModel : {2, 999999}) {
    saveNetworkRig(*settings, rigtest::unusedPort(), "Default");  // as the settings window's OK
    settings->setRigModel(rigModel);
    ASSERT_TRUE(settings->save());
    model->setAlertMessage(std::nullopt);
    send("E");
    ASSERT_TRUE(waitFor([&] { return !model->isSending(); }));
    const QString alert = model->alertMessage().value_or("");
    EXPECT_TRUE(alert.startsWith("Couldn't key the transmitter: ")) << alert.toStdString();
    EXPECT_EQ(model->messages()->at(model->messages()->size() - 1).decodeState,
              ChatMessage::DecodeState::incomplete);
    // Nothing was keyed: no release to try, nothing to warn of at the exit.
    EXPECT_FALSE(model->pushToTalkMayBeOn()) << rigModel;
    EXPECT_FALSE(waitFor([&] { return model->alertMessage() != alert; }, 2500))
        << model->alertMessage().value_or("").toStdString();
  }
  EXPECT_FALSE(played) << "audio went out into an unkeyed rig";
}

// The rig thread's attempts to open the rig, and its status reads that came back, counted from
// the bridge's log.
std::atomic<int> rigOpenings{0};
void countOpenings(int, const char* text, int fromApp) {
  if (fromApp && std::string_view(text).starts_with("Opening rig model")) ++rigOpenings;
}
std::atomic<int> rigReports{0};
void countReports(int, const char* text, int fromApp) {
  if (fromApp && std::string_view(text).starts_with("Rig reports")) ++rigReports;
}

TEST_F(RigCalls, AFailedReleaseIsTriedAgainUntilTheRigAnswersAndSaidOnce) {
  rigtest::Rigctld daemon(rigtest::unusedPort());
  saveNetworkRig(*settings, daemon.port(), "USB");
  make({.captureRetryInterval = std::chrono::hours(1)});  // polls 5 s apart, as in the program
  ASSERT_TRUE(statusIs("145.000000 MHz  USB"));
  rigbridge_set_log_callback(countOpenings);
  send("CQ CQ DE PX1");
  ASSERT_TRUE(waitFor([&] { return ask(daemon.port(), "t") == "1"; }));
  daemon.kill(SIGKILL);  // keyed, and nobody left to release it

  const QString keyedText =
      "\n\nThe transmitter may still be keyed. Palavrix keeps trying to release it.";
  ASSERT_TRUE(waitFor([&] { return model->alertMessage().has_value(); }, 20000));
  const QString alert = *model->alertMessage();
  EXPECT_TRUE(alert.startsWith("Couldn't release push-to-talk: ") && alert.endsWith(keyedText))
      << alert.toStdString();
  EXPECT_EQ(model->messages()->at(0).decodeState, ChatMessage::DecodeState::complete);
  EXPECT_TRUE(model->pushToTalkMayBeOn());

  // Dismissed, it stays away while the retries fail.
  model->setAlertMessage(std::nullopt);
  int alertChanges = 0;
  QObject::connect(model.get(), &ChatViewModel::alertMessageChanged, model.get(),
                   [&] { ++alertChanges; });
  const int seen = rigOpenings;  // a poll among them at most
  ASSERT_TRUE(waitFor([&] { return rigOpenings >= seen + 4; }));
  EXPECT_EQ(alertChanges, 0) << model->alertMessage().value_or("").toStdString();
  EXPECT_TRUE(model->pushToTalkMayBeOn());

  ASSERT_TRUE(daemon.start());
  ASSERT_TRUE(waitFor([&] { return !model->pushToTalkMayBeOn(); }));
  EXPECT_EQ(model->alertMessage(), std::nullopt);
  rigbridge_set_log_callback(nullptr);
}

const QString kReleaseFailed = "Couldn't release push-to-talk: ";
const QString kMayStillBeKeyed =
    "\n\nThe transmitter may still be keyed. Palavrix keeps trying to release it.";
constexpr int kYaesuFt817 = 1020;

// A serial rig that never answers: a pseudo-terminal nobody reads. Each of its calls takes
// Hamlib's whole timeout, some 25 seconds.
class SilentSerialRig {
 public:
  SilentSerialRig() {
    char name[256] = {};
    if (openpty(&controller_, &device_, name, nullptr, nullptr) == 0) port_ = name;
  }
  ~SilentSerialRig() {
    for (int fd : {controller_, device_})
      if (fd >= 0) ::close(fd);
  }
  const std::string& port() const { return port_; }
  void save(AppSettings& settings) const {
    settings.setRigModel(kYaesuFt817);
    settings.setRigPort(QString::fromStdString(port_));
    settings.setRigMode("Default");
    ASSERT_TRUE(settings.save());
  }

 private:
  int controller_ = -1;
  int device_ = -1;
  std::string port_;
};

// The settings window's connection test of that rig, from a thread of its own as the window
// makes it: while Hamlib waits for the rig, no other rig call gets into the rig bridge.
class ConnectionTest {
 public:
  explicit ConnectionTest(const SilentSerialRig& rig) {
    const int seen = rigOpenings;
    rigbridge_set_log_callback(countOpenings);
    thread_ = std::thread(
        [port = rig.port()] { RigControl::readStatus(kYaesuFt817, port, {}, std::nullopt); });
    inside_ = waitFor([&] { return rigOpenings > seen; });
  }
  ~ConnectionTest() {
    thread_.join();
    rigbridge_set_log_callback(nullptr);
  }
  bool inside() const { return inside_; }

 private:
  std::thread thread_;
  bool inside_ = false;
};

// The release at a message's end meets a daemon that stopped on the air with its connection queue
// full: its connection hangs in connect(), which the kernel would retry for minutes, further and
// further apart. The operator hears of it within seconds, and push-to-talk goes off as soon as
// the daemon runs again.
TEST_F(RigCalls, AReleaseStuckInTheRigsConnectionIsSaidAndGoesOutOnceTheDaemonRunsAgain) {
  rigtest::Rigctld daemon(rigtest::unusedPort());
  saveNetworkRig(*settings, daemon.port(), "USB");
  model = std::make_unique<ChatViewModel>(*settings);
  ASSERT_TRUE(statusIs("145.000000 MHz  USB"));
  send("CQ CQ DE PX1");
  ASSERT_TRUE(waitFor([&] { return ask(daemon.port(), "t") == "1"; }));
  ASSERT_EQ(::kill(daemon.pid(), SIGSTOP), 0);
  rigtest::FullConnectionQueue queue(daemon.port());
  ASSERT_TRUE(queue.full());
  ASSERT_TRUE(waitFor([&] { return !model->isSending(); }, 20000));  // the release goes out

  ASSERT_TRUE(waitFor([&] { return model->alertMessage().has_value(); }, 10000))
      << "nobody was told that the transmitter may be keyed";
  const QString alert = *model->alertMessage();
  EXPECT_TRUE(alert.startsWith(kReleaseFailed) && alert.endsWith(kMayStillBeKeyed))
      << alert.toStdString();
  // Long enough for a connection attempt to be deep in the kernel's back-off, with its next try
  // a quarter of a minute away.
  EXPECT_FALSE(waitFor([&] { return !model->pushToTalkMayBeOn(); }, 17000))
      << "released while the daemon was stopped";

  ASSERT_EQ(::kill(daemon.pid(), SIGCONT), 0);
  queue.hangUp();
  EXPECT_TRUE(waitFor([&] { return !model->pushToTalkMayBeOn(); }, 10000))
      << "push-to-talk stayed on after the daemon ran again";
  EXPECT_EQ(ask(daemon.port(), "t"), "0");
  EXPECT_EQ(model->alertMessage(), std::nullopt);
}

// A key call and the release behind it wait for a serial rig that never answers: the send gives
// up, and the release is said while it goes on, in the alert a failed release raises.
TEST_F(RigCalls, AReleaseThatHangsIsSaidWhileItGoesOn) {
  make({.captureRetryInterval = std::chrono::hours(1)});
  SilentSerialRig rig;
  rig.save(*settings);  // the rig queue is free: the first poll found no rig
  send("E");
  ASSERT_TRUE(waitFor([&] { return !model->isSending(); }, 15000));
  EXPECT_TRUE(model->pushToTalkMayBeOn()) << "a key command on its way may key the rig";
  const QString releaseHangs =
      kReleaseFailed + "the rig did not answer within 5 seconds." + kMayStillBeKeyed;
  EXPECT_TRUE(
      waitFor([&] { return model->alertMessage().value_or("").contains(releaseHangs); }, 10000))
      << model->alertMessage().value_or("").toStdString();
  EXPECT_TRUE(model->pushToTalkMayBeOn());
}

// A frequency pick meets a daemon that stopped with its connection queue full: within seconds
// the operator is told that it failed, and the rig keeps its frequency when it runs again.
TEST_F(RigCalls, ATuneStuckInTheRigsConnectionIsSaidInTime) {
  rigtest::Rigctld daemon(rigtest::unusedPort());
  saveNetworkRig(*settings, daemon.port(), "USB");
  model = std::make_unique<ChatViewModel>(*settings);
  ASSERT_TRUE(statusIs("145.000000 MHz  USB"));
  rigbridge_set_log_callback(countReports);
  auto afterAPoll = [&] {  // the rig queue is free for the next five seconds
    const int seen = rigReports;
    return waitFor([&] { return rigReports > seen; }, 15000);
  };
  ASSERT_TRUE(afterAPoll());
  ASSERT_EQ(::kill(daemon.pid(), SIGSTOP), 0);
  rigtest::FullConnectionQueue queue(daemon.port());
  model->tune(14.074);
  const bool told = waitFor([&] { return model->alertMessage().has_value(); }, 8000);
  ::kill(daemon.pid(), SIGCONT);
  queue.hangUp();
  ASSERT_TRUE(queue.full());
  ASSERT_TRUE(told) << "a pick held up in the connection was not said";
  EXPECT_EQ(model->alertMessage(), "Connection failed: Communication timed out");
  ASSERT_TRUE(afterAPoll());
  rigbridge_set_log_callback(nullptr);
  EXPECT_EQ(model->rigStatus(), "145.000000 MHz  USB (15000 Hz)")
      << "a failed pick was carried out later";
}

// A frequency pick whose call waits for a serial rig that never answers: within seconds the
// operator learns that the rig may still change frequency. The rig takes the command without
// a word in the end, and the word is taken back.
TEST_F(RigCalls, ATuneThatHangsIsSaidWhileItGoesOn) {
  make({.captureRetryInterval = std::chrono::hours(1)});
  SilentSerialRig rig;
  rig.save(*settings);  // the rig queue is free: the first poll found no rig
  model->tune(7.074);
  ASSERT_TRUE(waitFor([&] { return model->alertMessage().has_value(); }, 8000))
      << "a pick waiting for the rig was not said";
  EXPECT_EQ(model->alertMessage(),
            "The frequency change is still waiting: the rig did not answer within 5 seconds, and "
            "it may still change frequency when it does.");
  EXPECT_TRUE(waitFor([&] { return !model->alertMessage().has_value(); }, 45000))
      << model->alertMessage().value_or("").toStdString();
  // The status line asks the rig what became of it, which this rig never says.
  EXPECT_TRUE(statusIs("Rig not responding"));
}

// A key call that hangs does not hold the composer: the send gives up after a few seconds, and
// when the key comes through after all it is released at once, with no audio. A tune that cannot
// start in time is dropped rather than carried out when the rig answers again.
TEST_F(RigCalls, AStuckKeyCallGivesUpTheSendAndATuneThatCannotStartIsDropped) {
  rigtest::Rigctld daemon(rigtest::unusedPort());
  saveNetworkRig(*settings, daemon.port(), "USB");
  model = std::make_unique<ChatViewModel>(*settings);
  ASSERT_TRUE(statusIs("145.000000 MHz  USB"));
  bool played = false;
  QObject::connect(&model->levels(), &AudioLevels::outputDbChanged, model.get(),
                   [&](float db) { played = played || db > kLevelFloorDb; });

  SilentSerialRig silent;
  std::optional<ConnectionTest> test(std::in_place, silent);
  ASSERT_TRUE(test->inside());
  send("CQ");  // the key call waits for the connection test
  const bool gaveUp = waitFor([&] { return !model->isSending(); }, 15000);
  model->tune(14.074);  // behind the key call and its release
  const bool dropped = waitFor(
      [&] { return model->alertMessage().value_or("").contains("Couldn't change the frequency"); },
      15000);
  test.reset();  // once Hamlib gives up on the silent rig
  ASSERT_TRUE(gaveUp) << "the composer stays disabled while the key call hangs";
  EXPECT_EQ(model->messages()->at(0).decodeState, ChatMessage::DecodeState::incomplete);
  EXPECT_TRUE(model->alertMessage().value_or("").startsWith(
      "Couldn't key the transmitter: the rig did not answer within 5 seconds, so the message was "
      "not sent."))
      << model->alertMessage().value_or("").toStdString();
  EXPECT_TRUE(dropped) << model->alertMessage().value_or("").toStdString();

  // The connection test has ended: the key goes through, and the release behind it follows at
  // once.
  ASSERT_TRUE(waitFor([&] { return !model->pushToTalkMayBeOn(); }, 20000));
  EXPECT_EQ(ask(daemon.port(), "t"), "0");
  ASSERT_TRUE(statusIs("145.000000 MHz  USB", 40000));
  EXPECT_EQ(ask(daemon.port(), "f"), "145000000") << "a dropped tune reached the rig";
  EXPECT_FALSE(played) << "audio went out for a send that had given up";
}

// The status poll hangs, waiting for its turn behind a connection test: a tune and a key call
// queued behind it never reach the rig, and nothing is left possibly keyed.
TEST_F(RigCalls, CallsQueuedBehindAPollThatHangsAreDroppedInTime) {
  rigtest::Rigctld daemon(rigtest::unusedPort());
  saveNetworkRig(*settings, daemon.port(), "USB");
  model = std::make_unique<ChatViewModel>(*settings);
  ASSERT_TRUE(statusIs("145.000000 MHz  USB"));
  SilentSerialRig silent;
  std::optional<ConnectionTest> test(std::in_place, silent);
  ASSERT_TRUE(test->inside());
  model->refreshRigStatusNow();
  const bool notResponding =
      waitFor([&] { return model->rigStatus() == "Rig not responding"; }, 20000);
  model->tune(7.074);
  send("CQ");
  const bool gaveUp = waitFor([&] { return !model->isSending(); }, 15000);
  const bool dropped = waitFor(
      [&] { return model->alertMessage().value_or("").contains("Couldn't change the frequency"); },
      15000);
  test.reset();
  ASSERT_TRUE(notResponding);
  ASSERT_TRUE(gaveUp && dropped) << model->alertMessage().value_or("").toStdString();
  EXPECT_FALSE(model->pushToTalkMayBeOn()) << "a key call that never ran keyed nothing";
  ASSERT_TRUE(statusIs("145.000000 MHz  USB", 40000));
  EXPECT_EQ(ask(daemon.port(), "f"), "145000000") << "a dropped tune reached the rig";
  EXPECT_EQ(ask(daemon.port(), "t"), "0");
}

TEST_F(RigCalls, TheExitReleasesPushToTalkPastAStoppedDaemonAndDropsTheCallsQueuedOnTheAir) {
  rigtest::Rigctld daemon(rigtest::unusedPort());
  saveNetworkRig(*settings, daemon.port(), "USB");
  make();
  ASSERT_TRUE(statusIs("145.000000 MHz  USB"));
  send("CQ");
  ASSERT_TRUE(waitFor([&] { return ask(daemon.port(), "t") == "1"; }));
  model->tune(14.080);
  ASSERT_EQ(::kill(daemon.pid(), SIGSTOP), 0);
  // The release waits behind the stopped daemon, and the status line says so.
  ASSERT_TRUE(waitFor([&] { return !model->isSending(); }, 20000));
  ASSERT_TRUE(statusIs("Rig not responding"));
  EXPECT_TRUE(model->pushToTalkMayBeOn());
  // A status read, and a key call behind it, wait for the daemon: the exit drops them.
  model->refreshRigStatusNow();
  send("E");

  std::optional<bool> released;
  model->releasePushToTalkForExit(std::chrono::seconds(4), [&](bool done) { released = done; });
  ASSERT_EQ(::kill(daemon.pid(), SIGCONT), 0);
  ASSERT_TRUE(waitFor([&] { return released.has_value(); }));
  EXPECT_TRUE(*released);
  EXPECT_TRUE(waitFor([&] { return ask(daemon.port(), "t") == "0"; }));
  // A key call let through would key the rig again within moments.
  EXPECT_FALSE(waitFor([&] { return ask(daemon.port(), "t") == "1"; }, 1000));
  std::string frequency;  // a daemon just woken may take its time with a new client
  EXPECT_TRUE(waitFor([&] { return !(frequency = ask(daemon.port(), "f")).empty(); }));
  EXPECT_EQ(frequency, "145000000");
}

}  // namespace
