// The controller's rig calls against real Hamlib and rigctld (model 2, the network rig) serving
// the dummy rig: polling through a daemon that dies and comes back, tuning, push-to-talk failures
// and their retries, and the release on the way out past a daemon that stops answering. The
// transmit audio plays on the fixture's audio server.
#include <signal.h>

#include <atomic>
#include <string_view>

#include "ChatTestSupport.h"
#include "audio/AudioLevels.h"
#include "chat/ChatViewModel.h"
#include "rig/RigBridge.h"

using namespace chattest;

namespace {

class RigCalls : public testing::Test {
 protected:
  void make(ChatViewModel::Timing timing = {.captureRetryInterval = std::chrono::hours(1),
                                            .rigPollInterval = std::chrono::milliseconds(200)}) {
    model = std::make_unique<ChatViewModel>(*settings, timing);
  }
  testing::AssertionResult statusIs(const QString& prefix) {
    if (waitFor([&] { return model->rigStatus().value_or("").startsWith(prefix); }))
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

// The rig thread's attempts to open the rig, counted from the bridge's log.
std::atomic<int> rigOpenings{0};
void countOpenings(int, const char* text, int fromApp) {
  if (fromApp && std::string_view(text).starts_with("Opening rig model")) ++rigOpenings;
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
