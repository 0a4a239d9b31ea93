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
  // Found through the loader's search and its multiarch path, it is named once.
  int found = 0;
  for (const LoggedLine &line : loadingLines)
    found += line.text == std::string("Found ") + version + " at libhamlib.so.4" ? 1 : 0;
  EXPECT_EQ(found, 1);
}

TEST_F(RigBridge, ListsEveryModelSortedByLabelQuietly) {
  int count = -1;
  rigbridge_rig_entry *list = rigbridge_list_rigs(&count);
  ASSERT_NE(list, nullptr);
  bool dummy = false;
  for (int i = 0; i < count; ++i) {
    if (i > 0) EXPECT_LE(strcasecmp(list[i - 1].label, list[i].label), 0) << list[i].label;
    dummy = dummy || (list[i].model == 1 && std::string(list[i].label) == "Hamlib Dummy");
  }
  EXPECT_TRUE(dummy);
  rigbridge_free_rig_list(list, count);
  EXPECT_TRUE(log().lines().empty());
}

TEST_F(RigBridge, ReadsTheStatusAndSetsTheModeFirst) {
  char out[256] = {};
  ASSERT_EQ(rigbridge_read_status(kDummy, nullptr, nullptr, "USB", out, sizeof out), 1) << out;
  EXPECT_TRUE(rigtest::isStatusLine(out, "USB")) << out;
  for (const std::string &text :
       std::vector<std::string>{"Opening rig model 1 on port \"\"", "Rig opened.",
                                "Setting mode to USB", std::string("Rig reports ") + out})
    EXPECT_TRUE(log().hasAppLine(4, text)) << text;

  // An unknown mode fails before anything is read.
  EXPECT_EQ(rigbridge_read_status(kDummy, "", "", "FOO", out, sizeof out), 0);
  EXPECT_STREQ(out, "Unknown mode \"FOO\".");
}

TEST_F(RigBridge, ReportsHamlibsReasonWhenKeyingFails) {
  // Without a PTT type the dummy rig refuses to key.
  char err[256] = {};
  ASSERT_EQ(rigbridge_set_ptt(kDummy, "", "", 1, err, sizeof err), 0);
  const std::string reason = err;
  ASSERT_EQ(reason.rfind("PTT on failed: ", 0), 0u) << reason;
  EXPECT_EQ(reason.find('\n'), std::string::npos) << "Hamlib's line feed reached the caller";
  const std::string logged = "rig_set_ptt(on) failed: " + reason.substr(15) + " (error ";
  const std::vector<LoggedLine> lines = log().lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const LoggedLine &l) {
    return l.level == 2 && l.text.rfind(logged, 0) == 0 &&
           l.text.find(")\nHamlib error trace:\n") != std::string::npos;
  }));
}

TEST_F(RigBridge, TunesAndSetsTheModeAfterTheFrequency) {
  char err[256] = {};
  EXPECT_EQ(rigbridge_set_frequency(kDummy, "", "", "NOSUCHMODE", err, sizeof err, 7074000.0), 0);
  EXPECT_STREQ(err, "Unknown mode \"NOSUCHMODE\".");
  const std::vector<std::string> texts = log().appTexts();
  auto tuned = std::find(texts.begin(), texts.end(), "Setting frequency to 7.074000 MHz");
  auto rejected = std::find(texts.begin(), texts.end(), "rig_parse_mode(\"NOSUCHMODE\") failed");
  EXPECT_LT(tuned, rejected);
  EXPECT_NE(rejected, texts.end());
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
    EXPECT_EQ(rigbridge_list_modes(model, text, sizeof text), 0);
    EXPECT_EQ(rigbridge_get_conf_values(model, "serial_speed", text, sizeof text), 0);
    EXPECT_STREQ(text, "");
  }
}

TEST_F(RigBridge, FailsToOpenAPortThatIsNotARig) {
  const std::pair<const char *, const char *> cases[] = {
      {"/dev/null", "Connection failed: "},
      {"/dev/palavrix-no-such-port", "Connection failed: IO error"},  // retried for about 2 s
  };
  for (const auto &[port, reason] : cases) {
    char out[256] = {};
    EXPECT_EQ(rigbridge_read_status(kYaesuFt817, port, "", nullptr, out, sizeof out), 0);
    EXPECT_EQ(std::string(out).rfind(reason, 0), 0u) << out;
  }
  EXPECT_TRUE(log().hasAppLineStartingWith(2, "rig_open failed: "));
}

TEST_F(RigBridge, AppliesOnlySerialSettingsAndOnlyWarnsAboutBadOnes) {
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

TEST_F(RigBridge, ListsModesAndConfigurationDefaultsQuietly) {
  char out[2048];
  ASSERT_EQ(rigbridge_list_modes(kDummy, out, sizeof out), 1);
  std::vector<std::string> modes = splitLines(out);
  ASSERT_GE(modes.size(), 6u);
  // AM, CW, USB, LSB, RTTY and FM are Hamlib's first six mode bits.
  EXPECT_EQ(std::vector<std::string>(modes.begin(), modes.begin() + 6),
            (std::vector<std::string>{"AM", "CW", "USB", "LSB", "RTTY", "FM"}));
  EXPECT_EQ(std::count(modes.begin(), modes.end(), "PKTUSB"), 0);
  ASSERT_EQ(rigbridge_list_modes(kYaesuFt991, out, sizeof out), 1);
  modes = splitLines(out);
  EXPECT_EQ(std::count(modes.begin(), modes.end(), "PKTUSB"), 1);

  ASSERT_EQ(rigbridge_get_conf_values(kYaesuFt991, "serial_speed\n\nno_such_token\ndata_bits", out,
                                      sizeof out),
            1);
  EXPECT_EQ(splitLines(out), (std::vector<std::string>{"38400", "", "8"}));
  EXPECT_TRUE(log().lines().empty());
}

TEST_F(RigBridge, NeverWritesPastACallersBuffer) {
  // A null buffer or a size below 1 gets nothing; the operation itself still runs.
  EXPECT_EQ(rigbridge_read_status(kDummy, "", "", nullptr, nullptr, 256), 1);
  EXPECT_EQ(rigbridge_read_status(kUnknownModel, "", "", nullptr, nullptr, 0), 0);
  char guarded[32];
  auto untouchedFrom = [&](int size) {
    for (int i = std::max(size, 0); i < int(sizeof guarded); ++i)
      if (guarded[i] != 'x') return false;
    return true;
  };
  for (int size : {0, -1, 1, 5, 12}) {
    SCOPED_TRACE(size);
    std::memset(guarded, 'x', sizeof guarded);
    rigbridge_read_status(kUnknownModel, "", "", nullptr, guarded, size);
    EXPECT_TRUE(untouchedFrom(size));
    if (size >= 1)
      EXPECT_EQ(std::string(guarded), std::string("Could not initialize").substr(0, size - 1));
    std::memset(guarded, 'x', sizeof guarded);
    EXPECT_EQ(rigbridge_list_modes(kDummy, guarded, size), size >= 1 ? 1 : 0);
    EXPECT_TRUE(untouchedFrom(size));
    std::memset(guarded, 'x', sizeof guarded);
    rigbridge_get_conf_values(kYaesuFt991, "serial_speed\ndata_bits", guarded, size);
    EXPECT_TRUE(untouchedFrom(size));
  }
  // A list that does not fit ends with a cut line.
  char small[6];
  ASSERT_EQ(rigbridge_list_modes(kDummy, small, sizeof small), 1);
  EXPECT_STREQ(small, "AM\nCW");
}

TEST_F(RigBridge, DebugLevelGovernsOnlyHamlibsOwnLines) {
  char out[256];
  for (int level : {0, kTrace}) {
    rigbridge_set_debug_level(level);
    log().clear();
    ASSERT_EQ(rigbridge_read_status(kDummy, "", "", nullptr, out, sizeof out), 1);
    EXPECT_EQ(log().hamlibLineCount() > 0, level > 0);
    EXPECT_TRUE(log().hasAppLine(4, "Rig opened."));
  }
}

}  // namespace
