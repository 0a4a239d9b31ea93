#include "audio/NewMessageSound.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "PulseTestSupport.h"

using namespace pulsetest;

namespace {

const QString kNotPlayed = "Not played: no output device other than the transmit device.";

// On the default output unless that is the transmit device; a missing or unreadable file says
// why it was not played.
TEST(NewMessageSound, PlaysOnTheDefaultOutputOrSaysWhyNot) {
  requireTestServer();
  Listener testIn;
  ASSERT_TRUE(testIn.started());
  NewMessageSound sound;
  EXPECT_EQ(sound.play(std::nullopt), "Played on Test output.");
  EXPECT_TRUE(waitFor([&] { return testIn.loudest() > 1000; }, 10000));
  EXPECT_EQ(sound.play(QString("some_other_device")), "Played on Test output.");

  QTemporaryDir dir;
  QFile garbage(dir.filePath("garbage.oga"));
  ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
  garbage.write(QByteArray(4096, 'x'));
  garbage.close();
  for (const QString& file :
       {QString("/nonexistent/message-new-instant.oga"), garbage.fileName()}) {
    const QString result = NewMessageSound(file).play(std::nullopt);
    EXPECT_TRUE(result.startsWith("Couldn't load the sound: ")) << result.toStdString();
    EXPECT_GT(result.size(), QString("Couldn't load the sound: ").size());
  }
  ServerOverride none(kNoServer);
  EXPECT_EQ(sound.play(std::nullopt), kNotPlayed);
}

TEST(NewMessageSound, NeverPlaysOnTheTransmitDevice) {
  requireTestServer();
  NewMessageSound sound;
  // The default output is the transmit device and there is no built-in output.
  EXPECT_EQ(sound.play(QString("test_out")), kNotPlayed);

  LoadedModule speakers(builtInSpeakers());
  Listener testIn;
  Listener speakersMonitor(monitorOf("builtin_speakers"));
  ASSERT_TRUE(testIn.started() && speakersMonitor.started());
  EXPECT_EQ(sound.play(QString("test_out")), "Played on Speakers.");
  EXPECT_TRUE(waitFor([&] { return speakersMonitor.loudest() > 1000; }, 10000));
  // Nothing of it reached the transmit device.
  ASSERT_TRUE(waitFor([&] { return testIn.heard() > 12000; }, 10000));
  EXPECT_EQ(testIn.loudest(), 0);

  // The built-in output is the transmit device itself, and also the default.
  pactl({"set-default-sink", "builtin_speakers"});
  EXPECT_EQ(sound.play(QString("builtin_speakers")), kNotPlayed);
  pactl({"set-default-sink", "test_out"});
}

}  // namespace
