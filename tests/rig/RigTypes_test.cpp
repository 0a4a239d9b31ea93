#include "rig/RigTypes.h"

#include <gtest/gtest.h>

TEST(RigSerialConfig, SendsWhatIsSetUnderHamlibsTokensInSettingOrder) {
  RigSerialConfig config;
  const char *values[] = {"9600", "", "2", "Even\r", "Default", "ON", "OFF"};
  for (RigSerialSetting setting : kAllRigSerialSettings) {
    config.values[setting] = values[static_cast<int>(setting)];
    EXPECT_EQ(rigSerialSettingFromRawValue(rawValue(setting)), setting);
  }
  EXPECT_FALSE(rigSerialSettingFromRawValue("serial_speed"));
  // A control character would add a configuration line of its own; "Default" sends nothing.
  EXPECT_EQ(config.hamlibConfig(),
            "serial_speed=9600\ndata_bits=\nstop_bits=2\ndtr_state=ON\nrts_state=OFF");
}

TEST(RigModeRule, ResolvesDefaultFromTheModeListOnly) {
  int asked = 0;
  auto modes = [&asked] {
    ++asked;
    return std::vector<std::string>{"AM", "USB", "PKTUSB"};
  };
  EXPECT_EQ(resolveRigMode(std::nullopt, modes), std::nullopt);
  EXPECT_EQ(resolveRigMode(std::string("CW"), modes), "CW");
  EXPECT_EQ(asked, 0);
  EXPECT_EQ(resolveRigMode(std::string("Default"), modes), "PKTUSB");
  EXPECT_EQ(resolveRigMode(std::string("Default"), {}), "USB");
}

TEST(RigLines, KeepEmptyLinesButStartNoneAfterTheLastBreak) {
  EXPECT_EQ(splitLines("38400\n\nHardware\n"), (std::vector<std::string>{"38400", "", "Hardware"}));
}
