// The rig bridge and its RigControl wrappers against the real Hamlib with its dummy rig (model 1)
// and serial models on a pseudo-terminal that nobody answers.
#include "rig/RigBridge.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <strings.h>
#include <termios.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>

#include "RigTestSupport.h"
#include "rig/RigControl.h"

namespace {

constexpr int kDummy = 1;
constexpr int kYaesuFt817 = 1020;
constexpr int kYaesuFt991 = 1035;
const std::string kNoModel = "Could not initialize this rig model.";

class RigBridge : public testing::Test {
 protected:
  void SetUp() override {
    rigbridge_set_log_callback(rigtest::record);
    rigbridge_set_debug_level(5);
    rigtest::recorded(true);
  }
  // Reads the status; `text` holds the status or the reason.
  int status(int model, const char *port = "", const char *conf = "", const char *mode = nullptr) {
    return rigbridge_read_status(model, port, conf, mode, text, sizeof text);
  }
  char text[256] = {};
};

TEST_F(RigBridge, LoadsHamlib4AndListsModelsModesAndDefaultsQuietly) {
  EXPECT_TRUE(RigControl::hamlibVersion().value_or("").starts_with("Hamlib 4."));
  EXPECT_TRUE(std::filesystem::exists(RigControl::hamlibPath().value_or("")));
  const std::vector<RigInfo> rigs = RigControl::listRigs();
  for (std::size_t i = 1; i < rigs.size(); ++i)
    EXPECT_LE(strcasecmp(rigs[i - 1].label.c_str(), rigs[i].label.c_str()), 0) << rigs[i].label;
  EXPECT_NE(std::find(rigs.begin(), rigs.end(), RigInfo{kDummy, "Hamlib Dummy"}), rigs.end());

  // AM, CW, USB, LSB, RTTY and FM are Hamlib's first six mode bits.
  const std::vector<std::string> modes = RigControl::supportedModes(kDummy);
  EXPECT_EQ(std::vector<std::string>(modes.begin(), modes.begin() + std::min(modes.size(), 6ul)),
            (std::vector<std::string>{"AM", "CW", "USB", "LSB", "RTTY", "FM"}));
  EXPECT_EQ(RigControl::concreteMode(kYaesuFt991, "Default"), "PKTUSB");

  ASSERT_EQ(rigbridge_get_conf_values(kYaesuFt991, "serial_speed\n\nno_such_token\ndata_bits", text,
                                      sizeof text),
            1);
  EXPECT_STREQ(text, "38400\n\n8\n");
  std::vector<std::string> defaults;  // in setting order, one for each of the seven
  for (const auto &[setting, value] : RigControl::serialDefaults(kYaesuFt991))
    defaults.push_back(value);
  EXPECT_EQ(defaults,
            (std::vector<std::string>{"38400", "8", "2", "None", "Hardware", "Unset", "Unset"}));
  EXPECT_TRUE(rigtest::recorded().empty());
}

// The debug level governs Hamlib's lines only; the mode is set after tuning.
TEST_F(RigBridge, ReadsTunesAndKeysInOrderAndSaysWhyNot) {
  for (int level : {0, 5}) {
    rigbridge_set_debug_level(level);
    rigtest::recorded(true);
    ASSERT_EQ(status(kDummy, nullptr, nullptr, "USB"), 1) << text;
    EXPECT_TRUE(rigtest::said("4 Setting mode to USB") &&
                rigtest::said("4 Rig reports " + std::string(text)));
    const auto lines = rigtest::recorded();
    EXPECT_EQ(
        std::any_of(lines.begin(), lines.end(), [](auto &l) { return l.starts_with("Hamlib: "); }),
        level > 0);
  }
  EXPECT_NE(RigControl::readStatus(kDummy, "", {}, "Default").message.find(" MHz  USB"),
            std::string::npos);

  rigtest::recorded(true);
  EXPECT_EQ(RigControl::setFrequency({kDummy, "", {}, "NOSUCHMODE"}, 7074000.0),
            "Unknown mode \"NOSUCHMODE\".");
  auto lines = rigtest::recorded();
  EXPECT_LT(std::find(lines.begin(), lines.end(), "4 Setting frequency to 7.074000 MHz"),
            std::find(lines.begin(), lines.end(), "2 rig_parse_mode(\"NOSUCHMODE\") failed"));

  // Without a PTT type the dummy rig refuses to key: Hamlib's reason on one line, its trace logged.
  const std::string reason = RigControl::setPushToTalk({kDummy, "", {}, "USB"}, true).value_or("");
  ASSERT_TRUE(reason.starts_with("PTT on failed: ")) << reason;
  EXPECT_EQ(reason.find('\n'), std::string::npos) << "Hamlib's line feed reached the caller";
  lines = rigtest::recorded();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](auto &l) {
    return l.starts_with("2 rig_set_ptt(on) failed: " + reason.substr(15)) &&
           l.find(")\nHamlib error trace:\n") != std::string::npos;
  }));
}

TEST_F(RigBridge, RefusesBadFrequenciesModelsAndPortsCleanly) {
  for (double hz : {std::nan(""), double(INFINITY), -14074000.0, 0.0, 1e19}) {
    EXPECT_EQ(rigbridge_set_frequency(kDummy, "", "", nullptr, text, sizeof text, hz), 0) << hz;
    EXPECT_TRUE(std::string(text).starts_with("Invalid frequency: it must be a positive number"));
  }
  EXPECT_FALSE(rigtest::said("4 Opening rig"));

  // Open the dummy rig first: Hamlib itself would end the process for an unknown number in the
  // range of a backend it has already loaded (0 and 99 share the dummy rig's backend).
  ASSERT_EQ(status(kDummy), 1);
  for (int model : {999999, 0, 99, -5}) {
    EXPECT_EQ(status(model, "", "", "USB"), 0) << model;
    EXPECT_EQ(text, kNoModel);
    EXPECT_EQ(rigbridge_list_modes(model, text, sizeof text), 0);
  }
  // Cut to an int, this number would name the dummy rig.
  const RigTxSettings beyond{(std::int64_t{1} << 32) + kDummy, "", {}, "Default"};
  EXPECT_TRUE(RigControl::supportedModes(beyond.model).empty() &&
              RigControl::serialDefaults(beyond.model).empty());
  EXPECT_EQ(RigControl::readStatus(beyond.model, "", {}, "Default").message, kNoModel);
  EXPECT_EQ(RigControl::setPushToTalk(beyond, false), kNoModel);
  EXPECT_EQ(RigControl::setFrequency(beyond, 14'074'000.0), kNoModel);
  // A port that does not exist is retried for about 2 s.
  EXPECT_EQ(status(kYaesuFt817, "/dev/palavrix-no-such-port"), 0);
  EXPECT_STREQ(text, "Connection failed: IO error");
  EXPECT_TRUE(rigtest::said("2 rig_open failed: "));
}

TEST_F(RigBridge, AppliesEveryTokenHamlibKnowsAndOnlyWarnsAboutBadOnes) {
  int controller = -1;
  static int device = -1;
  char name[256] = {};
  ASSERT_EQ(openpty(&controller, &device, name, nullptr, nullptr), 0);
  // Look at the line settings while Hamlib holds the port open.
  static termios seen;
  static bool looked = false;
  rigbridge_set_log_callback([](int level, const char *line, int fromApp) {
    rigtest::record(level, line, fromApp);
    if (fromApp && std::strcmp(line, "Rig opened.") == 0) looked = tcgetattr(device, &seen) == 0;
  });
  EXPECT_EQ(status(kYaesuFt817, name,
                   "serial_speed=4800\nstop_bits=2\nserial_handshake=Sometimes\nno equals sign\n\n"
                   "serial_parity=Even\rptt_type=RIG"),
            0);
  // Nobody answers on the terminal: a clear failure after the open.
  EXPECT_TRUE(std::string(text).starts_with("Connected, but could not read frequency: ")) << text;
  ASSERT_TRUE(looked);
  EXPECT_EQ(cfgetospeed(&seen), B4800);
  EXPECT_TRUE(seen.c_cflag & CSTOPB);
  EXPECT_TRUE(rigtest::said("3 Couldn't set serial_handshake = Sometimes (Invalid parameter)"));
  // A value with a control character in it reaches Hamlib in no form.
  EXPECT_TRUE(rigtest::said("3 Ignoring configuration line \"serial_parity=Even\rptt_type=RIG\""));
  EXPECT_FALSE(rigtest::said("4 Set serial_parity"));
  EXPECT_FALSE(rigtest::said("3 Ignoring configuration line \"no equals sign"));
  close(device);
  close(controller);

  // Tokens other than the serial ones count too: the dummy rig keys only with ptt_type=RIG.
  EXPECT_EQ(rigbridge_set_ptt(kDummy, "", "ptt_type=RIG", 1, text, sizeof text), 1) << text;
  EXPECT_EQ(rigbridge_set_ptt(kDummy, "", "", 1, text, sizeof text), 0);
  EXPECT_STREQ(text, "PTT on failed: Invalid parameter");
}

// A line with no token name is no setting and passes without a word; a token Hamlib does not
// know is warned about with Hamlib's text for code -1, and the rig opens all the same.
TEST_F(RigBridge, SkipsLinesWithoutATokenNameSilentlyAndWarnsAboutUnknownTokens) {
  ASSERT_EQ(status(kDummy, "", "no equals sign\n=orphan value\nno_such_token=5\n=\n\nempty_value="),
            1)
      << text;
  std::vector<std::string> ownLines;
  for (const std::string &line : rigtest::recorded())
    if (!line.starts_with("Hamlib: ")) ownLines.push_back(line);
  EXPECT_EQ(ownLines,
            (std::vector<std::string>{
                "4 Opening rig model 1 on port \"\"",
                "3 Couldn't set no_such_token = 5 (Invalid parameter); using the rig's default",
                "3 Couldn't set empty_value =  (Invalid parameter); using the rig's default",
                "4 Rig opened.", "4 Rig reports " + std::string(text)}));
}

TEST_F(RigBridge, NeverWritesPastACallersBufferNorReadsPastOne) {
  // A null buffer or a size below 1 gets nothing; the operation itself still runs.
  EXPECT_EQ(rigbridge_read_status(kDummy, "", "", nullptr, nullptr, 256), 1);
  char guarded[32];
  auto untouchedFrom = [&](int size) {
    return std::all_of(guarded + std::max(size, 0), std::end(guarded),
                       [](char c) { return c == 'x'; });
  };
  for (int size : {0, -1, 1, 12}) {
    SCOPED_TRACE(size);
    std::memset(guarded, 'x', sizeof guarded);
    rigbridge_read_status(999999, "", "", nullptr, guarded, size);
    EXPECT_TRUE(untouchedFrom(size));
    EXPECT_EQ(size >= 1 ? std::string(guarded) : "", kNoModel.substr(0, std::max(size - 1, 0)));
    std::memset(guarded, 'x', sizeof guarded);
    EXPECT_EQ(rigbridge_list_modes(kDummy, guarded, size), size >= 1 ? 1 : 0);
    EXPECT_TRUE(untouchedFrom(size));
  }
  // A list that does not fit ends with a cut line.
  ASSERT_EQ(rigbridge_list_modes(kDummy, guarded, 6), 1);
  EXPECT_STREQ(guarded, "AM\nCW");

  EXPECT_EQ(RigControl::stringFromCBuffer("abcd", 3), "abc");
  EXPECT_EQ(RigControl::stringFromCBuffer("ok\xff\0more", 7), "ok\uFFFD");
  EXPECT_EQ(RigControl::stringFromCBuffer(nullptr, 10), "");
}

}  // namespace
