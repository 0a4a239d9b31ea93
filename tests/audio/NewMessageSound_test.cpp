#include "audio/NewMessageSound.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "PulseTestSupport.h"

using namespace pulsetest;

namespace {

const QString kNotPlayed = "Not played: no output device other than the transmit device.";

TEST(NewMessageSound, PlaysOnTheDefaultOutputWhenNothingIsAvoided) {
  requireTestServer();
  Listener testIn;
  ASSERT_TRUE(testIn.started());
  NewMessageSound sound;
  EXPECT_EQ(sound.play(std::nullopt), "Played on Test output.");
  EXPECT_TRUE(waitFor([&] { return testIn.loudest() > 1000; }, 10000));
  EXPECT_EQ(sound.play(QString("some_other_device")), "Played on Test output.");
}

TEST(NewMessageSound, NeverPlaysOnTheTransmitDevice) {
  requireTestServer();
  NewMessageSound sound;
  // The default output is the transmit device and there is no built-in output.
  EXPECT_EQ(sound.play(QString("test_out")), kNotPlayed);

  LoadedModule speakers({"module-null-sink", "sink_name=builtin_speakers",
                         "sink_properties=\"device.description='Speakers' "
                         "device.form_factor=internal\""});
  Listener testIn;
  Listener speakersMonitor(AudioDeviceInfo{0, "builtin_speakers.monitor", "Speakers monitor"});
  ASSERT_TRUE(testIn.started() && speakersMonitor.started());
  EXPECT_EQ(sound.play(QString("test_out")), "Played on Speakers.");
  EXPECT_TRUE(waitFor([&] { return speakersMonitor.loudest() > 1000; }, 10000));
  // Nothing of it reached the transmit device.
  ASSERT_TRUE(waitFor([&] { return testIn.heard().size() > 12000; }, 10000));
  EXPECT_EQ(testIn.loudest(), 0);

  // The built-in output is the transmit device itself, and also the default.
  pactl({"set-default-sink", "builtin_speakers"});
  EXPECT_EQ(sound.play(QString("builtin_speakers")), kNotPlayed);
  pactl({"set-default-sink", "test_out"});
}

TEST(NewMessageSound, SaysWhyAMissingOrUnreadableFileIsNotPlayed) {
  requireTestServer();
  NewMessageSound missing("/nonexistent/message-new-instant.oga");
  const QString result = missing.play(std::nullopt);
  EXPECT_TRUE(result.startsWith("Couldn't load the sound: ")) << result.toStdString();
  EXPECT_GT(result.size(), QString("Couldn't load the sound: ").size());

  QTemporaryDir dir;
  QFile garbage(dir.filePath("garbage.oga"));
  ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
  garbage.write(QByteArray(4096, 'x'));
  garbage.close();
  NewMessageSound unreadable(garbage.fileName());
  EXPECT_TRUE(unreadable.play(std::nullopt).startsWith("Couldn't load the sound: "));
}

TEST(NewMessageSound, WithoutAServerThereIsNoDeviceToPlayOn) {
  ServerOverride none("unix:/nonexistent/palavrix/native");
  NewMessageSound sound;
  EXPECT_EQ(sound.play(std::nullopt), kNotPlayed);
}

}  // namespace
