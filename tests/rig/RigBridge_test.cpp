// The rig bridge against the real Hamlib with its dummy rig (model 1) and serial models on a
// pseudo-terminal that nobody answers.
#include "rig/RigBridge.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <strings.h>
#include <termios.h>
#include <unistd.h>

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
const std::string kNoModel = "Could not initialize this rig model.";

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
  // Reads the status; `text` holds the status or the reason.
  int status(int model, const char *port = "", const char *conf = "", const char *mode = nullptr) {
    return rigbridge_read_status(model, port, conf, mode, text, sizeof text);
  }
  char text[256] = {};
};

TEST(RigBridgeLoading, LoadsHamlib4OnceAndSaysFromWhere) {
  const char *version = rigbridge_hamlib_version();
  const char *path = rigbridge_hamlib_path();
  ASSERT_TRUE(version && path);
  EXPECT_EQ(std::string(version).rfind("Hamlib 4.", 0), 0u) << version;
  EXPECT_TRUE(std::filesystem::exists(path)) << path;
  // Found through the loader's search and its multiarch path, it is named once.
  EXPECT_EQ(std::count_if(loadingLines.begin(), loadingLines.end(),
                          [&](const LoggedLine &line) {
                            return line.text ==
                                   std::string("Found ") + version + " at libhamlib.so.4";
                          }),
            1);
}

TEST_F(RigBridge, ListsModelsModesAndConfigurationDefaultsQuietly) {
  int count = -1;
  rigbridge_rig_entry *list = rigbridge_list_rigs(&count);
  ASSERT_NE(list, nullptr);
  bool dummy = false;
  for (int i = 0; i < count; ++i) {
    if (i > 0) {
      EXPECT_LE(strcasecmp(list[i - 1].label, list[i].label), 0) << list[i].label;
    }
    dummy = dummy || (list[i].model == 1 && std::string(list[i].label) == "Hamlib Dummy");
  }
  EXPECT_TRUE(dummy);
  rigbridge_free_rig_list(list, count);

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

// The mode is set before reading, after tuning; the debug level governs Hamlib's lines only.
TEST_F(RigBridge, ReadsTunesAndSetsTheModeInOrder) {
  for (int level : {0, kTrace}) {
    rigbridge_set_debug_level(level);
    log().clear();
    ASSERT_EQ(status(kDummy, nullptr, nullptr, "USB"), 1) << text;
    EXPECT_TRUE(rigtest::isStatusLine(text, "USB")) << text;
    for (const std::string line :
         {"Opening rig model 1 on port \"\"", "Rig opened.", "Setting mode to USB", "Rig reports "})
      EXPECT_TRUE(log().has(4, line + (line == "Rig reports " ? text : ""))) << line;
    const auto lines = log().lines();
    EXPECT_EQ(std::any_of(lines.begin(), lines.end(), [](auto &l) { return !l.fromApp; }),
              level > 0);
  }
  // An unknown mode fails after the frequency was set.
  log().clear();
  EXPECT_EQ(rigbridge_set_frequency(kDummy, "", "", "NOSUCHMODE", text, sizeof text, 7074000.0), 0);
  EXPECT_STREQ(text, "Unknown mode \"NOSUCHMODE\".");
  const auto lines = log().lines();
  auto at = [&](const std::string &t) {
    return std::find_if(lines.begin(), lines.end(), [&](auto &l) { return l.text == t; });
  };
  EXPECT_LT(at("Setting frequency to 7.074000 MHz"), at("rig_parse_mode(\"NOSUCHMODE\") failed"));
  EXPECT_NE(at("rig_parse_mode(\"NOSUCHMODE\") failed"), lines.end());
}

TEST_F(RigBridge, ReportsHamlibsReasonWhenKeyingFails) {
  // Without a PTT type the dummy rig refuses to key.
  ASSERT_EQ(rigbridge_set_ptt(kDummy, "", "", 1, text, sizeof text), 0);
  const std::string reason = text;
  ASSERT_EQ(reason.rfind("PTT on failed: ", 0), 0u) << reason;
  EXPECT_EQ(reason.find('\n'), std::string::npos) << "Hamlib's line feed reached the caller";
  const std::string logged = "rig_set_ptt(on) failed: " + reason.substr(15) + " (error ";
  const std::vector<LoggedLine> lines = log().lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const LoggedLine &l) {
    return l.level == 2 && l.text.rfind(logged, 0) == 0 &&
           l.text.find(")\nHamlib error trace:\n") != std::string::npos;
  }));
}

TEST_F(RigBridge, RefusesBadFrequenciesModelsAndPortsCleanly) {
  for (double hz :
       {std::nan(""), double(INFINITY), -double(INFINITY), -14074000.0, 0.0, 1e19, 1e300}) {
    EXPECT_EQ(rigbridge_set_frequency(kDummy, "", "", nullptr, text, sizeof text, hz), 0) << hz;
    EXPECT_STREQ(text,
                 "Invalid frequency: it must be a positive number of hertz that a rig can be "
                 "tuned to.");
  }
  EXPECT_FALSE(log().has(4, "Opening rig", false));

  // Open the dummy rig first: Hamlib itself would end the process for an unknown number in the
  // range of a backend it has already loaded (0 and 99 share the dummy rig's backend).
  ASSERT_EQ(status(kDummy), 1);
  for (int model : {kUnknownModel, 0, 99, 1099, -5, INT_MAX, INT_MIN}) {
    SCOPED_TRACE(model);
    EXPECT_EQ(status(model, "", "", "USB"), 0);
    EXPECT_EQ(text, kNoModel);
    EXPECT_EQ(rigbridge_set_ptt(model, "", "", 1, text, sizeof text), 0);
    EXPECT_EQ(text, kNoModel);
    EXPECT_EQ(rigbridge_set_frequency(model, "", "", nullptr, text, sizeof text, 14e6), 0);
    EXPECT_EQ(text, kNoModel);
    EXPECT_EQ(rigbridge_list_modes(model, text, sizeof text), 0);
    EXPECT_EQ(rigbridge_get_conf_values(model, "serial_speed", text, sizeof text), 0);
    EXPECT_STREQ(text, "");
  }

  const std::pair<const char *, const char *> ports[] = {
      {"/dev/null", "Connection failed: "},
      {"/dev/palavrix-no-such-port", "Connection failed: IO error"},  // retried for about 2 s
  };
  for (const auto &[port, reason] : ports) {
    EXPECT_EQ(status(kYaesuFt817, port), 0);
    EXPECT_EQ(std::string(text).rfind(reason, 0), 0u) << text;
  }
  EXPECT_TRUE(log().has(2, "rig_open failed: ", false));
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
  rigbridge_set_log_callback([](int level, const char *line, int fromApp) {
    LogRecorder::sink(level, line, fromApp);
    if (fromApp && std::strcmp(line, "Rig opened.") == 0)
      looked = tcgetattr(watchedDevice, &seen) == 0;
  });
  // Only the seven serial settings pass: another token, wherever it comes from, is dropped.
  const int result = status(kYaesuFt817, name,
                            "serial_speed=4800\nstop_bits=2\nserial_handshake=Sometimes\n"
                            "rig_pathname=/dev/null\nno equals sign\n=orphan value\n\n"
                            "serial_parity=Even\rptt_type=RIG");
  rigbridge_set_log_callback(LogRecorder::sink);

  // Nobody answers on the terminal: a clear failure after the open.
  EXPECT_EQ(result, 0);
  EXPECT_EQ(std::string(text).rfind("Connected, but could not read frequency: ", 0), 0u) << text;
  ASSERT_TRUE(looked);
  EXPECT_EQ(cfgetospeed(&seen), B4800);
  EXPECT_TRUE(seen.c_cflag & CSTOPB);
  EXPECT_TRUE(log().has(
      3, "Couldn't set serial_handshake = Sometimes (Invalid parameter); using the rig's default"));
  for (const char *line : {"rig_pathname=/dev/null", "no equals sign", "=orphan value",
                           "serial_parity=Even\rptt_type=RIG"}) {
    EXPECT_TRUE(log().has(
        3, std::string("Ignoring configuration line \"") + line + "\": not a serial setting"))
        << line;
  }
  close(device);
  close(controller);
}

TEST_F(RigBridge, NeverWritesPastACallersBuffer) {
  // A null buffer or a size below 1 gets nothing; the operation itself still runs.
  EXPECT_EQ(rigbridge_read_status(kDummy, "", "", nullptr, nullptr, 256), 1);
  char guarded[32];
  auto untouchedFrom = [&](int size) {
    return std::all_of(guarded + std::max(size, 0), std::end(guarded),
                       [](char c) { return c == 'x'; });
  };
  for (int size : {0, -1, 1, 5, 12}) {
    SCOPED_TRACE(size);
    std::memset(guarded, 'x', sizeof guarded);
    rigbridge_read_status(kUnknownModel, "", "", nullptr, guarded, size);
    EXPECT_TRUE(untouchedFrom(size));
    if (size >= 1) {
      EXPECT_EQ(std::string(guarded), kNoModel.substr(0, size - 1));
    }
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

}  // namespace
