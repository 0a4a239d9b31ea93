// The rig bridge against the real Hamlib with its dummy rig (model 1) and serial models on a
// pseudo-terminal that nobody answers.
#include "rig/RigBridge.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <strings.h>
#include <termios.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "RigTestSupport.h"
#include "rig/RigTypes.h"

namespace {

using rigtest::LoggedLine;
using rigtest::LogRecorder;

constexpr int kDummy = 1;
constexpr int kYaesuFt817 = 1020;
constexpr int kYaesuFt991 = 1035;
constexpr int kUnknownModel = 999999;
constexpr int kTrace = 5;

// What the sink received while Hamlib was being loaded.
std::vector<LoggedLine> loadingLines;

class BridgeEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    rigbridge_set_log_callback(LogRecorder::sink);
    rigbridge_set_debug_level(kTrace);
    loadingLines = LogRecorder::instance().lines();
  }
};
const auto *environment = testing::AddGlobalTestEnvironment(new BridgeEnvironment);

class RigBridge : public testing::Test {
 protected:
  void SetUp() override {
    rigbridge_set_debug_level(kTrace);
    log().clear();
  }
  LogRecorder &log() { return LogRecorder::instance(); }
};

TEST(RigBridgeLoading, LoadsHamlib4OnceAndSaysFromWhere) {
  const char *version = rigbridge_hamlib_version();
  const char *path = rigbridge_hamlib_path();
  ASSERT_NE(version, nullptr);
  ASSERT_NE(path, nullptr);
  EXPECT_EQ(std::string(version).rfind("Hamlib 4.", 0), 0u) << version;
  EXPECT_TRUE(std::filesystem::exists(path)) << path;
  EXPECT_NE(std::string(path).find("libhamlib.so.4"), std::string::npos) << path;

  // The system library is reached through the loader's search and through its multiarch path:
  // the second handle is the same library and is dropped without a second "Found".
  int found = 0;
  bool used = false;
  for (const LoggedLine &line : loadingLines) {
    ASSERT_TRUE(line.fromApp) << line.text;
    if (line.text.rfind("Found ", 0) == 0) {
      ++found;
      EXPECT_EQ(line.level, 4);
      EXPECT_EQ(line.text, std::string("Found ") + version + " at libhamlib.so.4");
    }
    if (line.text == std::string("Using ") + version + " from " + path) used = line.level == 4;
    if (line.text.rfind("Hamlib not loaded from ", 0) == 0) {
      EXPECT_EQ(line.level, 4);
    }
  }
  EXPECT_EQ(found, 1);
  EXPECT_TRUE(used);
}

TEST_F(RigBridge, ListsEveryModelSortedByLabel) {
  int count = -1;
  rigbridge_rig_entry *list = rigbridge_list_rigs(&count);
  ASSERT_NE(list, nullptr);
  if (std::string(rigbridge_hamlib_version()).rfind("Hamlib 4.5.4", 0) == 0) {
    EXPECT_EQ(count, 283);
  }
  EXPECT_GT(count, 200);
  bool dummy = false;
  bool network = false;
  for (int i = 0; i < count; ++i) {
    ASSERT_NE(list[i].label, nullptr);
    if (i > 0) {
      EXPECT_LE(strcasecmp(list[i - 1].label, list[i].label), 0) << list[i].label;
    }
    dummy = dummy || (list[i].model == 1 && std::string(list[i].label) == "Hamlib Dummy");
    network = network || (list[i].model == 2 && std::string(list[i].label) == "Hamlib NET rigctl");
  }
  EXPECT_TRUE(dummy);
  EXPECT_TRUE(network);
  rigbridge_free_rig_list(list, count);
  // Listing keeps Hamlib quiet and says nothing of its own.
  EXPECT_TRUE(log().lines().empty());
  // Listing twice loads the backends once and gives the same list.
  int again = 0;
  rigbridge_rig_entry *second = rigbridge_list_rigs(&again);
  EXPECT_EQ(again, count);
  rigbridge_free_rig_list(second, again);
  rigbridge_free_rig_list(nullptr, 0);
}

TEST_F(RigBridge, ReadsTheStatusAndSetsTheModeFirst) {
  char out[256] = {};
  ASSERT_EQ(rigbridge_read_status(kDummy, "", nullptr, nullptr, out, sizeof out), 1) << out;
  EXPECT_TRUE(rigtest::isStatusLine(out)) << out;

  ASSERT_EQ(rigbridge_read_status(kDummy, nullptr, "", "USB", out, sizeof out), 1) << out;
  EXPECT_TRUE(rigtest::isStatusLine(out)) << out;
  EXPECT_NE(std::string(out).find(" MHz  USB"), std::string::npos) << out;

  EXPECT_TRUE(log().hasAppLine(4, "Opening rig model 1 on port \"\""));
  EXPECT_TRUE(log().hasAppLine(4, "Rig opened."));
  EXPECT_TRUE(log().hasAppLine(4, "Setting mode to USB"));
  EXPECT_TRUE(log().hasAppLine(4, std::string("Rig reports ") + out));
}

TEST_F(RigBridge, ReportsHamlibsReasonWhenKeyingFails) {
  // Without a PTT type the dummy rig refuses to key.
  char err[256] = {};
  ASSERT_EQ(rigbridge_set_ptt(kDummy, "", "", 1, err, sizeof err), 0);
  std::string reason = err;
  EXPECT_EQ(reason.rfind("PTT on failed: ", 0), 0u) << reason;
  EXPECT_GT(reason.size(), std::strlen("PTT on failed: "));
  EXPECT_EQ(reason.find('\n'), std::string::npos) << "Hamlib's line feed reached the caller";

  std::string shortText = reason.substr(std::strlen("PTT on failed: "));
  bool logged = false;
  for (const LoggedLine &line : log().lines()) {
    if (!line.fromApp || line.text.rfind("rig_set_ptt(on) failed: ", 0) != 0) continue;
    logged = true;
    EXPECT_EQ(line.level, 2);
    EXPECT_EQ(line.text.rfind("rig_set_ptt(on) failed: " + shortText + " (error ", 0), 0u)
        << line.text;
    EXPECT_NE(line.text.find(")\nHamlib error trace:\n"), std::string::npos) << line.text;
  }
  EXPECT_TRUE(logged);
}

TEST_F(RigBridge, TunesAndSetsTheModeAfterTheFrequency) {
  char err[256] = {};
  EXPECT_EQ(rigbridge_set_frequency(kDummy, "", "", "PKTUSB", err, sizeof err, 14074000.0), 1)
      << err;
  EXPECT_TRUE(log().hasAppLine(4, "Setting frequency to 14.074000 MHz"));
  EXPECT_TRUE(log().hasAppLine(4, "Setting mode to PKTUSB"));

  // An unknown mode fails the tuning after the frequency has been set.
  log().clear();
  EXPECT_EQ(rigbridge_set_frequency(kDummy, "", "", "NOSUCHMODE", err, sizeof err, 7074000.0), 0);
  EXPECT_STREQ(err, "Unknown mode \"NOSUCHMODE\".");
  std::vector<std::string> texts = log().appTexts();
  auto tuned = std::find(texts.begin(), texts.end(), "Setting frequency to 7.074000 MHz");
  auto rejected = std::find(texts.begin(), texts.end(), "rig_parse_mode(\"NOSUCHMODE\") failed");
  ASSERT_NE(tuned, texts.end());
  ASSERT_NE(rejected, texts.end());
  EXPECT_LT(tuned, rejected);
  EXPECT_TRUE(log().hasAppLine(2, "rig_parse_mode(\"NOSUCHMODE\") failed"));
}

TEST_F(RigBridge, RefusesAFrequencyNoRigCanBeTunedTo) {
  for (double hz :
       {std::nan(""), double(INFINITY), -double(INFINITY), -14074000.0, 0.0, 1e19, 1e300}) {
    SCOPED_TRACE(hz);
    char err[256] = {};
    EXPECT_EQ(rigbridge_set_frequency(kDummy, "", "", nullptr, err, sizeof err, hz), 0);
    EXPECT_STREQ(err,
                 "Invalid frequency: it must be a positive number of hertz that a rig can be "
                 "tuned to.");
  }
  for (const std::string &text : log().appTexts())
    EXPECT_EQ(text.rfind("Opening rig", 0), std::string::npos) << text;
}

TEST_F(RigBridge, RejectsAnUnknownModeBeforeReading) {
  char out[256] = {};
  EXPECT_EQ(rigbridge_read_status(kDummy, "", "", "FOO", out, sizeof out), 0);
  EXPECT_STREQ(out, "Unknown mode \"FOO\".");
  for (const std::string &text : log().appTexts()) {
    EXPECT_EQ(text.rfind("Rig reports", 0), std::string::npos) << text;
  }
}

TEST_F(RigBridge, FailsCleanlyForModelsHamlibDoesNotKnow) {
  // Open the dummy rig first: Hamlib itself would end the process for an unknown number in the
  // range of a backend it has already loaded (0 and 99 share the dummy rig's backend).
  char status[256];
  ASSERT_EQ(rigbridge_read_status(kDummy, "", "", nullptr, status, sizeof status), 1);
  for (int model : {kUnknownModel, 0, 99, 1099, -5, INT_MAX, INT_MIN}) {
    SCOPED_TRACE(model);
    char text[256] = {};
    EXPECT_EQ(rigbridge_read_status(model, "", "", "USB", text, sizeof text), 0);
    EXPECT_STREQ(text, "Could not initialize this rig model.");
    text[0] = '\0';
    EXPECT_EQ(rigbridge_set_ptt(model, "", "", 1, text, sizeof text), 0);
    EXPECT_STREQ(text, "Could not initialize this rig model.");
    text[0] = '\0';
    EXPECT_EQ(rigbridge_set_frequency(model, "", "", nullptr, text, sizeof text, 14e6), 0);
    EXPECT_STREQ(text, "Could not initialize this rig model.");
    EXPECT_TRUE(log().hasAppLine(
        2, "rig_init(" + std::to_string(model) + ") failed: Could not initialize this rig model."));
    char list[64];
    std::memset(list, 'x', sizeof list);
    EXPECT_EQ(rigbridge_list_modes(model, list, sizeof list), 0);
    EXPECT_STREQ(list, "");
    EXPECT_EQ(rigbridge_get_conf_values(model, "serial_speed", list, sizeof list), 0);
    EXPECT_STREQ(list, "");
  }
}

TEST_F(RigBridge, FailsToOpenAPortThatIsNotARig) {
  char out[256] = {};
  EXPECT_EQ(rigbridge_read_status(kYaesuFt991, "/dev/null", "", nullptr, out, sizeof out), 0);
  EXPECT_EQ(std::string(out).rfind("Connection failed: ", 0), 0u) << out;
  EXPECT_TRUE(log().hasAppLine(4, "Opening rig model 1035 on port \"/dev/null\""));
  EXPECT_TRUE(log().hasAppLineStartingWith(2, "rig_open failed: "));
}

TEST_F(RigBridge, FailsToOpenASerialPortThatDoesNotExist) {
  // Hamlib retries the open for about two seconds: the one slow test here.
  char out[256] = {};
  EXPECT_EQ(rigbridge_set_ptt(kYaesuFt817, "/dev/palavrix-no-such-port", "", 1, out, sizeof out),
            0);
  EXPECT_EQ(std::string(out), "Connection failed: IO error");
}

TEST_F(RigBridge, AppliesSerialSettingsAndOnlyWarnsAboutBadOnes) {
  int controller = -1;
  int device = -1;
  char name[256] = {};
  ASSERT_EQ(openpty(&controller, &device, name, nullptr, nullptr), 0);

  // Look at the line settings while Hamlib holds the port open.
  static int watchedDevice;
  static termios seen;
  static bool looked;
  watchedDevice = device;
  looked = false;
  rigbridge_set_log_callback([](int level, const char *text, int fromApp) {
    LogRecorder::sink(level, text, fromApp);
    if (fromApp && std::strcmp(text, "Rig opened.") == 0)
      looked = tcgetattr(watchedDevice, &seen) == 0;
  });
  // Only the seven serial settings pass: another token, wherever it comes from, is dropped.
  const char *conf =
      "serial_speed=4800\nstop_bits=2\nserial_handshake=Sometimes\nrig_pathname=/dev/null\n"
      "no equals sign\n=orphan value\n\nserial_parity=Even\rptt_type=RIG";
  char out[256] = {};
  int result = rigbridge_read_status(kYaesuFt817, name, conf, nullptr, out, sizeof out);
  rigbridge_set_log_callback(LogRecorder::sink);

  // Nobody answers on the terminal: a clear failure after the open.
  EXPECT_EQ(result, 0);
  EXPECT_EQ(std::string(out).rfind("Connected, but could not read frequency: ", 0), 0u) << out;
  ASSERT_TRUE(looked);
  EXPECT_EQ(cfgetospeed(&seen), B4800);
  EXPECT_TRUE(seen.c_cflag & CSTOPB);

  EXPECT_TRUE(log().hasAppLine(4, "Set serial_speed = 4800"));
  EXPECT_TRUE(log().hasAppLine(4, "Set stop_bits = 2"));
  EXPECT_TRUE(log().hasAppLine(
      3, "Couldn't set serial_handshake = Sometimes (Invalid parameter); using the rig's default"));
  for (const char *line : {"rig_pathname=/dev/null", "no equals sign", "=orphan value",
                           "serial_parity=Even\rptt_type=RIG"}) {
    EXPECT_TRUE(log().hasAppLine(
        3, std::string("Ignoring configuration line \"") + line + "\": not a serial setting"))
        << line;
  }
  close(device);
  close(controller);
}

TEST_F(RigBridge, ListsModesInOrderOfHamlibsModeBits) {
  char out[2048];
  ASSERT_EQ(rigbridge_list_modes(kDummy, out, sizeof out), 1);
  std::vector<std::string> modes = splitLines(out);
  ASSERT_FALSE(modes.empty());
  EXPECT_EQ(std::string(out).back(), '\n');
  // AM, CW, USB, LSB, RTTY and FM are Hamlib's first six mode bits.
  std::vector<std::string> first(modes.begin(),
                                 modes.begin() + std::min<std::size_t>(6, modes.size()));
  EXPECT_EQ(first, (std::vector<std::string>{"AM", "CW", "USB", "LSB", "RTTY", "FM"}));
  EXPECT_EQ(std::count(modes.begin(), modes.end(), "PKTUSB"), 0);

  ASSERT_EQ(rigbridge_list_modes(kYaesuFt991, out, sizeof out), 1);
  modes = splitLines(out);
  EXPECT_EQ(std::count(modes.begin(), modes.end(), "PKTUSB"), 1);
  EXPECT_TRUE(log().lines().empty());

  // The network model has no frequency ranges of its own: no modes, still a success.
  ASSERT_EQ(rigbridge_list_modes(2, out, sizeof out), 1);
  EXPECT_STREQ(out, "");
}

TEST_F(RigBridge, ReadsTheDefaultValuesOfConfigurationTokens) {
  char out[1024];
  ASSERT_EQ(rigbridge_get_conf_values(kYaesuFt991,
                                      "serial_speed\n\ndata_bits\nno_such_token\nserial_handshake",
                                      out, sizeof out),
            1);
  std::vector<std::string> values = splitLines(out);
  ASSERT_EQ(values.size(), 4u) << out;
  EXPECT_EQ(values[0], "38400");
  EXPECT_EQ(values[1], "8");
  EXPECT_EQ(values[2], "");
  EXPECT_EQ(values[3], "Hardware");
  EXPECT_EQ(rigbridge_get_conf_values(kYaesuFt991, nullptr, out, sizeof out), 0);
  EXPECT_TRUE(log().lines().empty());
}

TEST_F(RigBridge, NeverWritesPastACallersBuffer) {
  // A null buffer or a size below 1 gets nothing; the operation itself still runs.
  EXPECT_EQ(rigbridge_read_status(kDummy, "", "", nullptr, nullptr, 256), 1);
  EXPECT_TRUE(log().hasAppLineStartingWith(4, "Rig reports "));
  EXPECT_EQ(rigbridge_set_ptt(kDummy, "", "", 1, nullptr, 0), 0);
  EXPECT_EQ(rigbridge_read_status(kUnknownModel, "", "", nullptr, nullptr, 0), 0);

  char guarded[32];
  for (int size : {0, -1, 1, 5, 12}) {
    SCOPED_TRACE(size);
    std::memset(guarded, 'x', sizeof guarded);
    rigbridge_read_status(kUnknownModel, "", "", nullptr, guarded, size);
    for (int i = std::max(size, 0); i < int(sizeof guarded); ++i) ASSERT_EQ(guarded[i], 'x') << i;
    if (size >= 1) {
      EXPECT_EQ(std::string(guarded),
                std::string("Could not initialize this rig model.").substr(0, size - 1));
    }
    std::memset(guarded, 'x', sizeof guarded);
    EXPECT_EQ(rigbridge_list_modes(kDummy, guarded, size), size >= 1 ? 1 : 0);
    for (int i = std::max(size, 0); i < int(sizeof guarded); ++i) ASSERT_EQ(guarded[i], 'x') << i;
    std::memset(guarded, 'x', sizeof guarded);
    EXPECT_EQ(rigbridge_get_conf_values(kYaesuFt991, "serial_speed\ndata_bits", guarded, size),
              size >= 1 ? 1 : 0);
    for (int i = std::max(size, 0); i < int(sizeof guarded); ++i) ASSERT_EQ(guarded[i], 'x') << i;
  }
  // A list that does not fit ends with a cut line.
  char small[6];
  ASSERT_EQ(rigbridge_list_modes(kDummy, small, sizeof small), 1);
  EXPECT_STREQ(small, "AM\nCW");
}

TEST_F(RigBridge, DebugLevelGovernsOnlyHamlibsOwnLines) {
  char out[256];
  rigbridge_set_debug_level(0);
  log().clear();
  ASSERT_EQ(rigbridge_read_status(kDummy, "", "", nullptr, out, sizeof out), 1);
  EXPECT_EQ(log().hamlibLineCount(), 0);
  EXPECT_TRUE(log().hasAppLine(4, "Rig opened."));

  rigbridge_set_debug_level(kTrace);
  log().clear();
  ASSERT_EQ(rigbridge_read_status(kDummy, "", "", nullptr, out, sizeof out), 1);
  EXPECT_GT(log().hamlibLineCount(), 0);
}

}  // namespace
