#include "rig/RigTypes.h"

#include <gtest/gtest.h>

TEST(RigSerialSetting, RoundTripsRawValuesAndNamesHamlibTokens) {
  const std::pair<std::string, std::string> expected[] = {
      {"baudRate", "serial_speed"}, {"dataBits", "data_bits"},         {"stopBits", "stop_bits"},
      {"parity", "serial_parity"},  {"handshake", "serial_handshake"}, {"dtrState", "dtr_state"},
      {"rtsState", "rts_state"}};
  for (std::size_t i = 0; i < kAllRigSerialSettings.size(); ++i) {
    EXPECT_EQ(rawValue(kAllRigSerialSettings[i]), expected[i].first);
    EXPECT_EQ(hamlibToken(kAllRigSerialSettings[i]), expected[i].second);
    EXPECT_EQ(rigSerialSettingFromRawValue(expected[i].first), kAllRigSerialSettings[i]);
  }
  EXPECT_FALSE(rigSerialSettingFromRawValue("serial_speed"));
}

TEST(RigSerialConfig, BuildsConfigurationTextInSettingOrderSkippingDefaults) {
  RigSerialConfig config;
  for (RigSerialSetting setting : kAllRigSerialSettings) config.values[setting] = "Default";
  EXPECT_EQ(config.hamlibConfig(), "");
  config.values[RigSerialSetting::rtsState] = "OFF";
  config.values[RigSerialSetting::stopBits] = "";
  config.values[RigSerialSetting::baudRate] = "9600";
  config.values.erase(RigSerialSetting::dataBits);
  EXPECT_EQ(config.hamlibConfig(), "serial_speed=9600\nstop_bits=\nrts_state=OFF");
  EXPECT_EQ(config.value(RigSerialSetting::dataBits), "Default");

  // A line break (or any control character) would add a configuration line of its own.
  config.values[RigSerialSetting::baudRate] = "9600\nrig_pathname=127.0.0.1:4532";
  config.values[RigSerialSetting::parity] = "Even\r";
  EXPECT_EQ(config.hamlibConfig(), "stop_bits=\nrts_state=OFF");
}

TEST(RigModeRule, ResolvesDefaultFromTheModeListOnly) {
  int asked = 0;
  auto modes = [&](std::vector<std::string> list) {
    return [&asked, list] {
      ++asked;
      return list;
    };
  };
  EXPECT_EQ(resolveRigMode(std::nullopt, modes({"PKTUSB"})), std::nullopt);
  EXPECT_EQ(resolveRigMode(std::string("CW"), modes({"PKTUSB"})), "CW");
  EXPECT_EQ(asked, 0);
  EXPECT_EQ(resolveRigMode(std::string("Default"), modes({"AM", "USB", "PKTUSB"})), "PKTUSB");
  EXPECT_EQ(resolveRigMode(std::string("Default"), modes({"AM", "LSB", "USB"})), "USB");
  EXPECT_EQ(resolveRigMode(std::string("Default"), modes({})), "USB");
}

TEST(RigLines, KeepEmptyLinesButStartNoneAfterTheLastBreak) {
  using Lines = std::vector<std::string>;
  EXPECT_EQ(splitLines(""), Lines{});
  EXPECT_EQ(splitLines("\n"), Lines{""});
  EXPECT_EQ(splitLines("38400\n\nHardware\n"), (Lines{"38400", "", "Hardware"}));
}
