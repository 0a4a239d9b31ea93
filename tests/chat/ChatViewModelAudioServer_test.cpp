// The controller against an audio server that hangs: a private server of the test's own, frozen
// with SIGSTOP while the operator goes on as usual.
#include <signal.h>

#include <QSignalSpy>
#include <QTimer>

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

  int ticks = 0;
  QTimer heartbeat;
  heartbeat.setInterval(20);
  QObject::connect(&heartbeat, &QTimer::timeout, [&] { ++ticks; });
  heartbeat.start();
  // Ten turns of the timer: well within the seconds that a wait for the server stands it still.
  const auto keepsTurning = [&] {
    const int from = ticks;
    return waitFor([&] { return ticks >= from + 10; }, 2000);
  };

  ASSERT_EQ(::kill(server.pid(), SIGSTOP), 0);
  model.setInputText(QStringLiteral("CQ K1ABC"));
  model.send();
  const bool turnedAfterSend = keepsTurning();
  const bool sendEnded = waitFor([&] { return !model.isSending(); }, 20000);
  const std::optional<QString> alertBeforeTone = model.alertMessage();
  model.playTestTone();
  const bool toneAnsweredAtOnce = model.alertMessage() != alertBeforeTone;
  const bool turnedAfterTone = keepsTurning();
  model.handleDecoderUpdate(update(1, "CQ DE DL1ABC", true));
  const bool soundAnsweredAtOnce = sounds.count() > 0;
  const bool turnedAfterReceive = keepsTurning();
  const bool told = waitFor(
      [&] {
        return model.alertMessage().value_or("").contains("test tone") && sounds.count() == 1;
      },
      30000);
  ::kill(server.pid(), SIGCONT);

  EXPECT_TRUE(turnedAfterSend) << "Send waited for the server";
  EXPECT_TRUE(sendEnded);
  EXPECT_FALSE(toneAnsweredAtOnce) << "the test tone waited for the server";
  EXPECT_TRUE(turnedAfterTone);
  EXPECT_FALSE(soundAnsweredAtOnce) << "the received message's sound waited for the server";
  EXPECT_TRUE(turnedAfterReceive);
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
