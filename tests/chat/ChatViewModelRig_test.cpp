// The controller's rig calls against real Hamlib and rigctld (model 2, the network rig) serving
// the dummy rig: polling through a daemon that dies and comes back, tuning, and push-to-talk
// failures and release. No audio server: playback fails at once, which these tests ignore.
#include <QSignalSpy>

#include "ChatTestSupport.h"
#include "chat/ChatViewModel.h"

using namespace chattest;

namespace {

class RigCalls : public testing::Test {
 protected:
  void make() {
    settings = std::make_unique<AppSettings>();
    ChatViewModel::Timing timing = quickTiming();
    timing.captureRetryInterval = std::chrono::hours(1);
    model = std::make_unique<ChatViewModel>(*settings, timing);
  }
  bool statusIs(const QString& prefix) {
    return waitFor([&] { return model->rigStatus().value_or("").startsWith(prefix); });
  }

  ConfigHome home;
  std::unique_ptr<AppSettings> settings = std::make_unique<AppSettings>();
  std::unique_ptr<ChatViewModel> model;
};

TEST_F(RigCalls, TuningKeyingAndPollingThroughADaemonThatDiesAndComesBack) {
  rigtest::Rigctld daemon(rigtest::unusedPort());
  saveNetworkRig(*settings, daemon.port(), "USB");
  make();
  ASSERT_TRUE(statusIs("145.000000 MHz  USB"));  // the dummy's FM became the configured mode
  EXPECT_FALSE(model->needsRigModeSet());
  model->tune(7.074);
  ASSERT_TRUE(statusIs("7.074000 MHz  USB"));
  EXPECT_EQ(rigtest::askRigctld(daemon.port(), "f"), "7074000");
  EXPECT_EQ(model->alertMessage(), std::nullopt);

  // Push-to-talk is released before exit while on the air.
  model->setInputText(QStringLiteral("CQ CQ CQ DE PALAVRIX"));
  model->send();
  ASSERT_TRUE(waitFor([&] { return rigtest::askRigctld(daemon.port(), "t") == "1"; }));
  ASSERT_TRUE(model->isSending());
  model->releasePushToTalkBeforeExit();
  EXPECT_EQ(rigtest::askRigctld(daemon.port(), "t"), "0");
  ASSERT_TRUE(waitFor([&] { return !model->isSending(); }, 20000));
  model->setAlertMessage(std::nullopt);  // the playback's, with no audio server here

  daemon.stop();
  model->tune(14.074);
  ASSERT_TRUE(waitFor([&] { return model->alertMessage().has_value(); }));
  EXPECT_FALSE(model->alertMessage()->isEmpty());
  ASSERT_TRUE(statusIs("Rig not responding"));
  model->setNeedsRigModeSet(true);  // as the settings window's OK does
  ASSERT_TRUE(daemon.start());      // a fresh dummy rig, in FM again
  ASSERT_TRUE(statusIs("145.000000 MHz  USB"));
  EXPECT_FALSE(model->needsRigModeSet());
  EXPECT_EQ(rigtest::askRigctld(daemon.port(), "m"), "USB");
}

TEST_F(RigCalls, APushToTalkFailureReachesTheAlertAndTheMessageStays) {
  saveNetworkRig(*settings, rigtest::unusedPort(), "Default");  // nobody listens there
  make();
  QStringList alerts;
  QObject::connect(model.get(), &ChatViewModel::alertMessageChanged, model.get(),
                   [&] { alerts.append(model->alertMessage().value_or("")); });
  model->setInputText(QStringLiteral("E"));
  model->send();
  ASSERT_TRUE(waitFor([&] { return !model->isSending(); }, 20000));
  auto raised = [&](const char* prefix) {
    return waitFor([&] {
      return std::any_of(alerts.begin(), alerts.end(),
                         [&](const QString& alert) { return alert.startsWith(prefix); });
    });
  };
  EXPECT_TRUE(raised("Couldn't key the transmitter: "));
  EXPECT_TRUE(raised("Couldn't release push-to-talk: "));
  ASSERT_EQ(model->messages()->size(), 1);
  EXPECT_TRUE(model->messages()->at(0).isSent);
}

}  // namespace
