// The wrappers over the bridge, against the real Hamlib: dummy rig, serial models' capability
// records and the rigctld of the test fixture.
#include "rig/RigControl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "RigTestSupport.h"
#include "rig/RigBridge.h"

namespace {

constexpr std::int64_t kDummy = 1;
constexpr std::int64_t kNetwork = 2;
constexpr std::int64_t kYaesuFt991 = 1035;
constexpr std::int64_t kUnknownModel = 999999;
constexpr std::int64_t kBeyondInt = std::int64_t{1} << 40;

bool contains(const std::vector<std::string> &list, const std::string &item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

TEST(RigControl, ListsModelsWithTheirLabelsInLabelOrder) {
  std::vector<RigInfo> rigs = RigControl::listRigs();
  int count = 0;
  rigbridge_rig_entry *list = rigbridge_list_rigs(&count);
  ASSERT_EQ(rigs.size(), static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    EXPECT_EQ(rigs[i], (RigInfo{list[i].model, list[i].label}));
  }
  rigbridge_free_rig_list(list, count);
}

TEST(RigControl, ListsTheModesOfAModel) {
  std::vector<std::string> dummy = RigControl::supportedModes(kDummy);
  EXPECT_TRUE(contains(dummy, "USB"));
  EXPECT_FALSE(contains(dummy, ""));
  EXPECT_TRUE(RigControl::supportedModes(kUnknownModel).empty());
  EXPECT_TRUE(RigControl::supportedModes(kBeyondInt).empty());
  EXPECT_TRUE(RigControl::supportedModes(kNetwork).empty());
}

TEST(RigControl, ResolvesTheDefaultModeFromTheModelsModes) {
  EXPECT_EQ(RigControl::concreteMode(kYaesuFt991, "Default"), "PKTUSB");
  EXPECT_EQ(RigControl::concreteMode(kDummy, "Default"), "USB");
  EXPECT_EQ(RigControl::concreteMode(kUnknownModel, "Default"), "USB");
  EXPECT_EQ(RigControl::concreteMode(kDummy, "LSB"), "LSB");
  EXPECT_EQ(RigControl::concreteMode(kDummy, std::nullopt), std::nullopt);
}

TEST(RigControl, ReadsTheSerialDefaultsOfAModel) {
  std::map<RigSerialSetting, std::string> defaults = RigControl::serialDefaults(kYaesuFt991);
  EXPECT_EQ(defaults[RigSerialSetting::baudRate], "38400");
  EXPECT_EQ(defaults[RigSerialSetting::dataBits], "8");
  EXPECT_EQ(defaults[RigSerialSetting::stopBits], "2");
  EXPECT_EQ(defaults[RigSerialSetting::parity], "None");
  EXPECT_EQ(defaults[RigSerialSetting::handshake], "Hardware");
  // The dummy rig has no serial port: Hamlib gives no values and the settings are left out.
  EXPECT_TRUE(RigControl::serialDefaults(kDummy).empty());
  EXPECT_TRUE(RigControl::serialDefaults(kUnknownModel).empty());
  EXPECT_TRUE(RigControl::serialDefaults(kBeyondInt).empty());
}

TEST(RigControl, ReadsStatusWithTheModeRule) {
  RigConnectionResult result = RigControl::readStatus(kDummy, "", {}, "Default");
  EXPECT_TRUE(result.success) << result.message;
  EXPECT_NE(result.message.find(" MHz  USB"), std::string::npos) << result.message;

  // Serial settings the dummy rig cannot take are only warned about.
  RigSerialConfig serial;
  serial.values[RigSerialSetting::baudRate] = "9600";
  serial.values[RigSerialSetting::parity] = "Default";
  result = RigControl::readStatus(kDummy, "", serial, std::nullopt);
  EXPECT_TRUE(result.success) << result.message;

  EXPECT_EQ(RigControl::readStatus(kDummy, "", {}, "WOBBLE"),
            (RigConnectionResult{false, "Unknown mode \"WOBBLE\"."}));
  EXPECT_EQ(RigControl::readStatus(kUnknownModel, "", {}, "Default"),
            (RigConnectionResult{false, "Could not initialize this rig model."}));
  EXPECT_EQ(RigControl::readStatus(kBeyondInt, "", {}, "Default"),
            (RigConnectionResult{false, "Could not initialize this rig model."}));
}

TEST(RigControl, ReadsStatusThroughTheDaemon) {
  int port = rigtest::fixtureRigctldPort();
  ASSERT_NE(port, 0) << "the rigctld fixture is not running";
  std::string address = "127.0.0.1:" + std::to_string(port);
  // The network model lists no modes of its own, so "Default" means USB there.
  RigConnectionResult result = RigControl::readStatus(kNetwork, address, {}, "Default");
  EXPECT_TRUE(result.success) << result.message;
  EXPECT_NE(result.message.find(" MHz  USB"), std::string::npos) << result.message;
}

TEST(RigControl, DecodesBridgeBuffersAsUtf8) {
  const char text[] = "14.074000 MHz  USB\0garbage";
  EXPECT_EQ(RigControl::stringFromCBuffer(text, sizeof text), "14.074000 MHz  USB");
  const char unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(RigControl::stringFromCBuffer(unterminated, 3), "abc");
  const char invalid[] = "ok\xff\xfe!";
  EXPECT_EQ(RigControl::stringFromCBuffer(invalid, sizeof invalid), "ok\uFFFD\uFFFD!");
  const char umlaut[] = "Gr\xc3\xbc\xc3\x9f";
  EXPECT_EQ(RigControl::stringFromCBuffer(umlaut, sizeof umlaut), "Grüß");
  EXPECT_EQ(RigControl::stringFromCBuffer(nullptr, 10), "");
}

}  // namespace
