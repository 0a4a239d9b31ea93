#include "audio/AudioDevices.h"

#include <gtest/gtest.h>

#include <QSet>

#include "PulseTestSupport.h"

using namespace pulsetest;

namespace {

QStringList uids(const QVector<AudioDeviceInfo>& devices) {
  QStringList result;
  for (const auto& device : devices) result << device.uid;
  return result;
}

TEST(AudioDevices, ListsSinksAsOutputsAndSourcesAsInputsWithoutMonitorsAndFindsThem) {
  const QStringList outputs = uids(AudioDevices::outputs());
  const QStringList inputs = uids(AudioDevices::inputs());
  EXPECT_TRUE(outputs.contains("test_out") && !outputs.contains("test_in"));
  EXPECT_TRUE(inputs.contains("test_in") && !inputs.contains("test_out.monitor"));
  // Sink 0 and source 0 both exist on every server: ids must still differ.
  const auto all = AudioDevices::all();
  EXPECT_EQ(all.size(), outputs.size() + inputs.size());
  QSet<uint32_t> ids;
  for (const auto& device : all) ids.insert(device.id);
  EXPECT_EQ(ids.size(), all.size());

  const AudioDeviceInfo input = deviceNamed("test_in");
  EXPECT_TRUE(input.isInput());
  EXPECT_EQ(input.name, "Test input");
  EXPECT_EQ(AudioDevices::name(input.id), std::optional<QString>("Test input"));
  EXPECT_EQ(AudioDevices::name(0x7fff'fff0u), std::nullopt);
  EXPECT_EQ(AudioDevices::defaultDevice(AudioDirection::input), input);
  const auto output = AudioDevices::defaultDevice(AudioDirection::output);
  ASSERT_TRUE(output);
  EXPECT_EQ(output->uid, "test_out");
  EXPECT_EQ(output->name, "Test output");
  EXPECT_FALSE(output->isInput());

  const AudioDeviceInfo fallback{42, "fallback", "Fallback"};
  EXPECT_EQ(AudioDevices::device(QString("test_out"), fallback), output);
  EXPECT_EQ(AudioDevices::device(QString("unplugged_long_ago"), fallback), fallback);
  EXPECT_EQ(AudioDevices::device(std::nullopt, fallback), fallback);
  EXPECT_EQ(AudioDevices::device(QString("TEST_OUT"), std::nullopt), std::nullopt);  // exact

  // A null sink is no built-in hardware, unless it says so.
  EXPECT_EQ(AudioDevices::builtInOutput(), std::nullopt);
  LoadedModule speakers(kBuiltInSpeakers);
  const auto builtIn = AudioDevices::builtInOutput();
  ASSERT_TRUE(builtIn);
  EXPECT_EQ(builtIn->uid, "builtin_speakers");
  EXPECT_EQ(builtIn->name, "Speakers");

  ServerOverride none(kNoServer);
  EXPECT_TRUE(AudioDevices::all().isEmpty());
  EXPECT_EQ(AudioDevices::defaultDevice(AudioDirection::output), std::nullopt);
  EXPECT_EQ(AudioDevices::builtInOutput(), std::nullopt);
  EXPECT_EQ(AudioDevices::device(QString("test_out"), fallback), fallback);
}

}  // namespace
