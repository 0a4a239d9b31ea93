// Audio devices that come and go while the controller listens, on a real audio server of the
// test's own (its sink is heard on its input): capture restarts only for a change of the input
// it uses, so a device plugged in elsewhere never cuts the message being received.
#include "ChatTestSupport.h"
#include "PulseServer.h"
#include "audio/WaterfallBitmap.h"

using namespace chattest;
using pulsetest::LoadedModule;
using pulsetest::pactl;
using State = ChatMessage::DecodeState;

namespace {

// Whether a record stream of the server runs on the named source.
bool recordingFrom(const QString& source) {
  QString index;
  for (const QString& line : pactl({"list", "short", "sources"}).split('\n')) {
    const QStringList fields = line.split('\t');
    if (fields.size() > 1 && fields[1] == source) index = fields[0];
  }
  for (const QString& line : pactl({"list", "short", "source-outputs"}).split('\n')) {
    const QStringList fields = line.split('\t');
    if (!index.isEmpty() && fields.size() > 1 && fields[1] == index) return true;
  }
  return false;
}

class DeviceChange : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.started());
    qputenv("PULSE_SERVER", server.address());
  }
  void TearDown() override { qputenv("PULSE_SERVER", fixtureServer); }

  // The controller's answer to the latest device change, once it has weighed it.
  bool changeWeighed(const ChatViewModel& model, int checksBefore) {
    return waitFor([&] { return model.audioDeviceChecks() > checksBefore; }, 30000);
  }

  ConfigHome home;
  AppSettings settings;
  const QByteArray fixtureServer = qgetenv("PULSE_SERVER");
  pulsetest::PrivateServer server;
};

TEST_F(DeviceChange, ASinkPluggedInAndOutElsewhereLeavesTheMessageBeingReceivedWhole) {
  settings.setAudioInputDeviceUID(QStringLiteral("test_in"));
  settings.setAudioOutputDeviceUID(QStringLiteral("test_out"));
  ChatViewModel model(settings);
  ASSERT_TRUE(waitFor([&] { return model.isCapturing(); }));
  // A second of waterfall rows: capture is flowing, and hears the message from its start.
  int rows = 0;
  QObject::connect(&model.waterfall(), &WaterfallBitmap::imageChanged, &model, [&] { ++rows; });
  ASSERT_TRUE(waitFor([&] { return rows >= 25; }));
  const auto received = [&] {
    std::vector<ChatMessage> heard;
    for (const ChatMessage& message : model.messages()->all()) {
      if (!message.isSent) heard.push_back(message);
    }
    return heard;
  };

  // Sixty characters: about twenty seconds on the air, heard on the loopback input.
  model.setInputText(
      QStringLiteral("CQ CQ CQ DE K1ABC K1ABC K1ABC FN42 PSE K TNX QSO 73 ES GL DE K"));
  const QString sent = model.inputText();
  model.send();
  ASSERT_TRUE(waitFor([&] { return !received().empty(); }, 30000));
  const int attempts = model.captureStartAttempts();

  int checks = model.audioDeviceChecks();
  LoadedModule headset({"module-null-sink", "sink_name=headset"});
  ASSERT_TRUE(changeWeighed(model, checks));
  checks = model.audioDeviceChecks();
  headset.unload();
  ASSERT_TRUE(changeWeighed(model, checks));
  // Both changes came while the message was arriving.
  ASSERT_EQ(received().size(), 1u);
  EXPECT_EQ(received()[0].decodeState, State::inProgress);

  ASSERT_TRUE(waitFor(
      [&] {
        const std::vector<ChatMessage> heard = received();
        return heard.size() != 1 || heard[0].decodeState != State::inProgress;
      },
      60000));
  ASSERT_EQ(received().size(), 1u);
  EXPECT_EQ(received()[0].decodeState, State::complete);
  EXPECT_EQ(received()[0].text, sent);
  EXPECT_EQ(model.captureStartAttempts(), attempts);
  EXPECT_TRUE(model.isCapturing());
  EXPECT_EQ(model.alertMessage(), std::nullopt);
}

// With no input chosen, capture follows the server's default input; the input it runs on going
// away restarts it on what is left.
TEST_F(DeviceChange, CaptureFollowsTheDefaultInputAndOutlivesTheInputInUse) {
  ChatViewModel model(settings);
  ASSERT_TRUE(waitFor([&] { return model.isCapturing(); }));
  int attempts = model.captureStartAttempts();

  int checks = model.audioDeviceChecks();
  LoadedModule other({"module-remap-source", "source_name=other_in", "master=test_out.monitor"});
  ASSERT_TRUE(changeWeighed(model, checks));
  // A restart would have stopped capture at once, and counted its start once back.
  EXPECT_TRUE(model.isCapturing());
  EXPECT_EQ(model.captureStartAttempts(), attempts) << "an input capture does not use came";

  checks = model.audioDeviceChecks();
  pactl({"set-default-source", "other_in"});
  ASSERT_TRUE(changeWeighed(model, checks));
  ASSERT_TRUE(waitFor([&] { return model.captureStartAttempts() > attempts; }));
  ASSERT_TRUE(waitFor([&] { return model.isCapturing(); }));
  EXPECT_TRUE(recordingFrom(QStringLiteral("other_in")))
      << "capture should run on the new default input";

  attempts = model.captureStartAttempts();
  other.unload();
  ASSERT_TRUE(waitFor([&] { return model.captureStartAttempts() > attempts; }, 30000));
  EXPECT_TRUE(waitFor([&] { return model.isCapturing(); }, 30000));
  EXPECT_EQ(model.alertMessage(), std::nullopt);
}

}  // namespace
