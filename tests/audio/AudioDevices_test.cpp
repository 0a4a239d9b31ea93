#include "audio/AudioDevices.h"

#include <gtest/gtest.h>

#include <QSet>

#include "PulseTestSupport.h"

using namespace pulsetest;

namespace {

bool hasUid(const QVector<AudioDeviceInfo>& devices, const QString& uid) {
  return std::any_of(devices.begin(), devices.end(),
                     [&](const AudioDeviceInfo& device) { return device.uid == uid; });
}

TEST(AudioDevices, ListsSinksAsOutputsAndSourcesAsInputsWithoutMonitorsAndFindsThem) {
  requireTestServer();
  const auto outputs = AudioDevices::outputs();
  const auto inputs = AudioDevices::inputs();
  const auto all = AudioDevices::all();
  ASSERT_TRUE(hasUid(outputs, "test_out"));
  ASSERT_TRUE(hasUid(inputs, "test_in"));
  EXPECT_FALSE(hasUid(inputs, "test_out"));
  EXPECT_FALSE(hasUid(outputs, "test_in"));
  for (const auto& device : all)
    EXPECT_FALSE(device.uid.endsWith(".monitor")) << device.uid.toStdString();
  EXPECT_EQ(all.size(), outputs.size() + inputs.size());
  // Sink 0 and source 0 both exist on every server: ids must still differ.
  QSet<uint32_t> ids;
  for (const auto& device : all) ids.insert(device.id);
  EXPECT_EQ(ids.size(), all.size());
  for (const auto& device : inputs) EXPECT_TRUE(device.isInput());
  for (const auto& device : outputs) EXPECT_FALSE(device.isInput());

  const AudioDeviceInfo input = deviceNamed("test_in");
  EXPECT_EQ(input.name, "Test input");
  EXPECT_EQ(AudioDevices::name(input.id), std::optional<QString>("Test input"));
  EXPECT_EQ(AudioDevices::name(0x7fff'fff0u), std::nullopt);
  EXPECT_EQ(AudioDevices::defaultDevice(AudioDirection::input), input);
  const auto output = AudioDevices::defaultDevice(AudioDirection::output);
  ASSERT_TRUE(output);
  EXPECT_EQ(output->uid, "test_out");
  EXPECT_EQ(output->name, "Test output");

  const AudioDeviceInfo fallback{42, "fallback", "Fallback"};
  EXPECT_EQ(AudioDevices::device(QString("test_out"), fallback), output);
  EXPECT_EQ(AudioDevices::device(QString("unplugged_long_ago"), fallback), fallback);
  EXPECT_EQ(AudioDevices::device(QString("unplugged_long_ago"), std::nullopt), std::nullopt);
  EXPECT_EQ(AudioDevices::device(std::nullopt, fallback), fallback);
  EXPECT_EQ(AudioDevices::device(QString("TEST_OUT"), std::nullopt), std::nullopt);  // exact

  // A null sink is no built-in hardware, unless it says so.
  EXPECT_EQ(AudioDevices::builtInOutput(), std::nullopt);
  LoadedModule speakers(builtInSpeakers());
  const auto builtIn = AudioDevices::builtInOutput();
  ASSERT_TRUE(builtIn);
  EXPECT_EQ(builtIn->uid, "builtin_speakers");
  EXPECT_EQ(builtIn->name, "Speakers");
  EXPECT_FALSE(hasUid(AudioDevices::inputs(), "builtin_speakers.monitor"));
}

TEST(AudioDevices, NoServerGivesEmptyListsAndNoDefaults) {
  ServerOverride none(kNoServer);
  EXPECT_TRUE(AudioDevices::all().isEmpty());
  EXPECT_TRUE(AudioDevices::inputs().isEmpty());
  EXPECT_TRUE(AudioDevices::outputs().isEmpty());
  EXPECT_EQ(AudioDevices::defaultDevice(AudioDirection::output), std::nullopt);
  EXPECT_EQ(AudioDevices::defaultDevice(AudioDirection::input), std::nullopt);
  EXPECT_EQ(AudioDevices::builtInOutput(), std::nullopt);
  const AudioDeviceInfo fallback{1, "x", "X"};
  EXPECT_EQ(AudioDevices::device(QString("test_out"), fallback), fallback);
}

}  // namespace
