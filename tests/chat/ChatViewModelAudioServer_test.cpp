// The controller against an audio server that hangs: a private server of the test's own, frozen
// with SIGSTOP while the operator goes on as usual.
#include <signal.h>

#include <QSignalSpy>
#include <functional>

#include "ChatTestSupport.h"
#include "PulseServer.h"
#include "audio/AudioLevels.h"
#include "audio/PlaybackEngine.h"

using namespace chattest;
using State = ChatMessage::DecodeState;

namespace {

// Send, the test tone and a received message each leave the main thread's event loop turning
// (as the window's drawing and typing need), and the operator is told in plain words what the
// server did.
TEST(FrozenAudioServer, NeitherSendNorTheToneNorAReceivedMessageStopsTheMainThread) {
  ConfigHome home;
  pulsetest::PrivateServer server;
  ASSERT_GT(server.pid(), 0);
  const QByteArray fixtureServer = qgetenv("PULSE_SERVER");
  qputenv("PULSE_SERVER", server.address());
  AppSettings settings;
  settings.setAudioInputDeviceUID(QStringLiteral("test_in"));
  settings.setAudioOutputDeviceUID(QStringLiteral("test_out"));
  settings.setPlayNewMessageSound(true);
  ASSERT_TRUE(settings.save());
  ChatViewModel model(settings);
  ASSERT_TRUE(waitFor([&] { return model.isCapturing(); }));
  QSignalSpy sounds(&model, &ChatViewModel::newMessageSoundPlayed);

  // Watched from before each call: ten turns of the loop, and no stand-still of even half the
  // seconds that a wait for the server takes before it gives up.
  const auto keepsTurning = [](const std::function<void()>& call) {
    MainThreadWatch watch;
    call();
    return waitFor([&] { return watch.turns() >= 10; }, 5000) &&
           watch.longestStandStill() < std::chrono::milliseconds(1500);
  };

  ASSERT_EQ(::kill(server.pid(), SIGSTOP), 0);
  model.setInputText(QStringLiteral("CQ K1ABC"));
  const bool turnedThroughSend = keepsTurning([&] { model.send(); });
  const bool sendEnded = waitFor([&] { return !model.isSending(); }, 20000);
  const std::optional<QString> alertBeforeTone = model.alertMessage();
  bool toneAnsweredAtOnce = false;
  const bool turnedThroughTone = keepsTurning([&] {
    model.playTestTone();
    toneAnsweredAtOnce = model.alertMessage() != alertBeforeTone;
  });
  bool soundAnsweredAtOnce = false;
  const bool turnedThroughReceive = keepsTurning([&] {
    model.handleDecoderUpdate(update(1, "CQ DE DL1ABC", true));
    soundAnsweredAtOnce = sounds.count() > 0;
  });
  const bool told = waitFor(
      [&] {
        return model.alertMessage().value_or("").contains("test tone") && sounds.count() == 1;
      },
      30000);
  ::kill(server.pid(), SIGCONT);

  EXPECT_TRUE(turnedThroughSend) << "Send waited for the server";
  EXPECT_TRUE(sendEnded);
  EXPECT_FALSE(toneAnsweredAtOnce) << "the test tone waited for the server";
  EXPECT_TRUE(turnedThroughTone);
  EXPECT_FALSE(soundAnsweredAtOnce) << "the received message's sound waited for the server";
  EXPECT_TRUE(turnedThroughReceive);
  ASSERT_TRUE(told);
  EXPECT_EQ(model.alertMessage(),
            "Couldn't play the transmit audio: The audio server does not answer.\n\n"
            "Couldn't play the test tone: The audio server does not answer.");
  EXPECT_EQ(sounds.at(0).at(0).toString(),
            "Couldn't play the sound: The audio server does not answer.");
  ASSERT_EQ(model.messages()->size(), 2);
  EXPECT_TRUE(model.messages()->at(0).isSent);
  EXPECT_EQ(model.messages()->at(0).decodeState, State::incomplete);

  // Thawed, the tone plays again.
  model.setAlertMessage(std::nullopt);
  model.playTestTone();
  EXPECT_TRUE(waitFor([&] { return model.levels().outputDb() > -1.0f; }, 20000));
  EXPECT_EQ(model.alertMessage(), std::nullopt);
  model.playbackEngine().stopPlayer();
  model.stopOutputMeter();
  qputenv("PULSE_SERVER", fixtureServer);
}

}  // namespace
