#include "rig/RigTypes.h"

#include <gtest/gtest.h>

#include <unordered_set>

TEST(RigSerialSetting, RoundTripsRawValuesAndNamesHamlibTokens) {
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"baudRate", "serial_speed"}, {"dataBits", "data_bits"},         {"stopBits", "stop_bits"},
      {"parity", "serial_parity"},  {"handshake", "serial_handshake"}, {"dtrState", "dtr_state"},
      {"rtsState", "rts_state"}};
  ASSERT_EQ(kAllRigSerialSettings.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    RigSerialSetting setting = kAllRigSerialSettings[i];
    EXPECT_EQ(rawValue(setting), expected[i].first);
    EXPECT_EQ(hamlibToken(setting), expected[i].second);
    EXPECT_EQ(rigSerialSettingFromRawValue(expected[i].first), setting);
  }
  EXPECT_FALSE(rigSerialSettingFromRawValue("BaudRate"));
  EXPECT_FALSE(rigSerialSettingFromRawValue("serial_speed"));
  EXPECT_FALSE(rigSerialSettingFromRawValue(""));
}

TEST(RigSerialConfig, BuildsConfigurationTextInSettingOrderSkippingDefaults) {
  RigSerialConfig config;
  EXPECT_EQ(config.hamlibConfig(), "");
  for (RigSerialSetting setting : kAllRigSerialSettings) config.values[setting] = "Default";
  EXPECT_EQ(config.hamlibConfig(), "");
  EXPECT_EQ(config.value(RigSerialSetting::parity), "Default");

  config.values[RigSerialSetting::baudRate] = "9600";
  EXPECT_EQ(config.hamlibConfig(), "serial_speed=9600");

  config.values[RigSerialSetting::rtsState] = "OFF";
  config.values[RigSerialSetting::stopBits] = "";
  config.values.erase(RigSerialSetting::dataBits);
  EXPECT_EQ(config.hamlibConfig(), "serial_speed=9600\nstop_bits=\nrts_state=OFF");
  EXPECT_EQ(config.value(RigSerialSetting::dataBits), "Default");
  EXPECT_EQ(config.value(RigSerialSetting::rtsState), "OFF");

  // A line break (or any control character) would add a configuration line of its own.
  config.values[RigSerialSetting::baudRate] = "9600\nrig_pathname=127.0.0.1:4532";
  config.values[RigSerialSetting::parity] = "Even\r";
  EXPECT_EQ(config.hamlibConfig(), "stop_bits=\nrts_state=OFF");
}

TEST(RigSerialConfig, ComparesByEntries) {
  RigSerialConfig a, b;
  a.values[RigSerialSetting::parity] = "Even";
  EXPECT_NE(a, b);
  b.values[RigSerialSetting::parity] = "Even";
  EXPECT_EQ(a, b);
  // An explicit "Default" is a different entry from a missing one, though both send nothing.
  b.values[RigSerialSetting::handshake] = "Default";
  EXPECT_NE(a, b);
  EXPECT_EQ(a.hamlibConfig(), b.hamlibConfig());
}

TEST(RigInfo, IsIdentifiedByModelAndHashedWithItsLabel) {
  RigInfo a{1, "Hamlib Dummy"};
  RigInfo b{1, "Hamlib Dummy"};
  RigInfo c{1, ""};
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  std::unordered_set<RigInfo> set{a, b, c, RigInfo{2, "Hamlib NET rigctl"}};
  EXPECT_EQ(set.size(), 3u);
}

TEST(RigModeRule, ResolvesDefaultFromTheModeListOnly) {
  int asked = 0;
  auto withPacket = [&] {
    ++asked;
    return std::vector<std::string>{"AM", "USB", "PKTUSB"};
  };
  auto withoutPacket = [&] {
    ++asked;
    return std::vector<std::string>{"AM", "LSB", "USB"};
  };
  auto none = [&] {
    ++asked;
    return std::vector<std::string>{};
  };
  EXPECT_EQ(resolveRigMode(std::nullopt, withPacket), std::nullopt);
  EXPECT_EQ(resolveRigMode(std::string("USB"), withPacket), "USB");
  EXPECT_EQ(resolveRigMode(std::string("CW"), withPacket), "CW");
  EXPECT_EQ(asked, 0);
  EXPECT_EQ(resolveRigMode(std::string("Default"), withPacket), "PKTUSB");
  EXPECT_EQ(resolveRigMode(std::string("Default"), withoutPacket), "USB");
  EXPECT_EQ(resolveRigMode(std::string("Default"), none), "USB");
  EXPECT_EQ(asked, 3);
}

TEST(RigLines, KeepEmptyLinesButStartNoneAfterTheLastBreak) {
  using Lines = std::vector<std::string>;
  EXPECT_EQ(splitLines(""), Lines{});
  EXPECT_EQ(splitLines("\n"), Lines{""});
  EXPECT_EQ(splitLines("USB\nLSB\n"), (Lines{"USB", "LSB"}));
  EXPECT_EQ(splitLines("38400\n\n\nHardware"), (Lines{"38400", "", "", "Hardware"}));
  EXPECT_EQ(splitLines(std::string_view("a=1\n\0b", 6)), (Lines{"a=1", std::string("\0b", 2)}));
}
