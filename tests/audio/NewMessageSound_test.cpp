#include "audio/NewMessageSound.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "PulseTestSupport.h"

using namespace pulsetest;

namespace {

const QString kNotPlayed = "Not played: no output device other than the transmit device.";

// On the default output unless that is the transmit device, else on the built-in output unless
// that is the transmit device too; a missing or unreadable file says why it was not played.
TEST(NewMessageSound, PlaysOnTheDefaultOrBuiltInOutputButNeverOnTheTransmitDevice) {
  Listener testIn;
  NewMessageSound sound;
  EXPECT_EQ(sound.play(QString("some_other_device")), "Played on Test output.");
  EXPECT_TRUE(waitFor([&] { return testIn.loudest() > 1000; }));
  EXPECT_TRUE(waitFor([&] { return peak(testIn.next(1200)) == 0; }));  // played to its end
  EXPECT_EQ(sound.play(QString("test_out")), kNotPlayed);  // and there is no built-in output

  QTemporaryDir dir;
  QFile garbage(dir.filePath("garbage.oga"));
  ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
  garbage.write(QByteArray(4096, 'x'));
  garbage.close();
  for (const QString& file : {QString("/nonexistent/sound.oga"), garbage.fileName()}) {
    const QString result = NewMessageSound(file).play(std::nullopt);
    EXPECT_TRUE(result.startsWith("Couldn't load the sound: ")) << result.toStdString();
    EXPECT_GT(result.size(), QString("Couldn't load the sound: ").size());
  }

  LoadedModule speakers(kBuiltInSpeakers);
  Listener speakersMonitor(monitorOf("builtin_speakers"));
  EXPECT_EQ(sound.play(QString("test_out")), "Played on Speakers.");
  EXPECT_TRUE(waitFor([&] { return speakersMonitor.loudest() > 1000; }));
  EXPECT_EQ(peak(testIn.next(12000)), 0) << "some of it reached the transmit device";
  pactl({"set-default-sink", "builtin_speakers"});
  EXPECT_EQ(sound.play(QString("builtin_speakers")), kNotPlayed);
  pactl({"set-default-sink", "test_out"});
  ServerOverride none(kNoServer);
  EXPECT_EQ(sound.play(std::nullopt), kNotPlayed);
}

}  // namespace
