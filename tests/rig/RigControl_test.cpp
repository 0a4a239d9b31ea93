// The wrappers over the bridge, against the real Hamlib: dummy rig and serial models' capability
// records (through rigctld in RigBridgeNetwork_test).
#include "rig/RigControl.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "RigTestSupport.h"

namespace {

constexpr std::int64_t kDummy = 1;
constexpr std::int64_t kYaesuFt991 = 1035;
constexpr std::int64_t kUnknownModel = 999999;
// Cut to an int it would name the dummy rig.
constexpr std::int64_t kBeyondInt = (std::int64_t{1} << 32) + kDummy;

TEST(RigControl, ReadsModesAndSerialDefaultsOfAModel) {
  const std::vector<std::string> dummy = RigControl::supportedModes(kDummy);
  EXPECT_NE(std::find(dummy.begin(), dummy.end(), "USB"), dummy.end());
  EXPECT_EQ(std::find(dummy.begin(), dummy.end(), ""), dummy.end());
  EXPECT_EQ(RigControl::concreteMode(kYaesuFt991, "Default"), "PKTUSB");

  std::map<RigSerialSetting, std::string> defaults = RigControl::serialDefaults(kYaesuFt991);
  EXPECT_EQ(defaults[RigSerialSetting::baudRate], "38400");
  EXPECT_EQ(defaults[RigSerialSetting::stopBits], "2");
  EXPECT_EQ(defaults[RigSerialSetting::handshake], "Hardware");
  // The dummy rig has no serial port: Hamlib gives no values and the settings are left out.
  EXPECT_TRUE(RigControl::serialDefaults(kDummy).empty());
  for (std::int64_t model : {kUnknownModel, kBeyondInt, std::int64_t{-1}}) {
    EXPECT_TRUE(RigControl::supportedModes(model).empty()) << model;
    EXPECT_TRUE(RigControl::serialDefaults(model).empty()) << model;
    EXPECT_EQ(RigControl::readStatus(model, "", {}, "Default"),
              (RigConnectionResult{false, "Could not initialize this rig model."}));
    const RigTxSettings rig{model, "", {}, "Default"};
    EXPECT_EQ(RigControl::setPushToTalk(rig, false), "Could not initialize this rig model.");
    EXPECT_EQ(RigControl::setFrequency(rig, 14'074'000.0), "Could not initialize this rig model.");
  }
}

TEST(RigControl, ReadsStatusWithTheModeRule) {
  RigSerialConfig serial;
  serial.values[RigSerialSetting::baudRate] = "9600";  // the dummy rig only warns about it
  RigConnectionResult result = RigControl::readStatus(kDummy, "", serial, "Default");
  EXPECT_TRUE(result.success && rigtest::isStatusLine(result.message, "USB")) << result.message;
  EXPECT_EQ(RigControl::readStatus(kDummy, "", {}, "WOBBLE"),
            (RigConnectionResult{false, "Unknown mode \"WOBBLE\"."}));
}

TEST(RigControl, DecodesBridgeBuffersAsUtf8) {
  const std::pair<std::string_view, std::string> cases[] = {
      {{"14.074000 MHz\0garbage", 22}, "14.074000 MHz"},
      {{"abcd", 3}, "abc"},
      {"ok\xff\xfe!", "ok\uFFFD\uFFFD!"},
      {"Gr\xc3\xbc\xc3\x9f", "Grüß"},
  };
  for (const auto& [buffer, text] : cases)
    EXPECT_EQ(RigControl::stringFromCBuffer(buffer.data(), buffer.size()), text);
  EXPECT_EQ(RigControl::stringFromCBuffer(nullptr, 10), "");
}

}  // namespace
