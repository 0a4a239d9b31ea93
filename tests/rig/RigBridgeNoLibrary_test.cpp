// The bridge when no usable Hamlib is installed: the loader is pointed at nothing usable.
#include <gtest/gtest.h>

#include "RigTestSupport.h"
#include "rig/RigBridge.h"
#include "rig/RigControl.h"
#include "rig/RigLibraryLoader.h"

namespace {

using rigtest::LogRecorder;

TEST(RigBridgeWithoutHamlib, SaysOnceWhyAndEveryOperationFailsWithTheSameReason) {
  rigbridge_set_library_candidates({"/nonexistent/libhamlib.so.4", "libm.so.6"});
  rigbridge_set_log_callback(LogRecorder::sink);
  rigbridge_set_debug_level(2);
  const auto loading = LogRecorder::instance().lines();
  ASSERT_EQ(loading.size(), 3u);
  EXPECT_EQ(loading[0].level, 4);
  EXPECT_EQ(loading[1].text, "Ignoring libm.so.6: not a usable Hamlib (missing symbols)");
  EXPECT_EQ(loading[2].text, "No usable Hamlib library found.");
  EXPECT_EQ(loading[2].level, 2);
  EXPECT_EQ(rigbridge_hamlib_version(), nullptr);
  EXPECT_EQ(rigbridge_hamlib_path(), nullptr);
  LogRecorder::instance().clear();

  char text[256] = {};
  const std::string reason = "Hamlib library not found.";
  EXPECT_EQ(rigbridge_read_status(1, "", "", "USB", text, sizeof text), 0);
  EXPECT_EQ(text, reason);
  EXPECT_EQ(rigbridge_set_ptt(1, "", "", 1, text, sizeof text), 0);
  EXPECT_EQ(text, reason);
  EXPECT_EQ(rigbridge_set_frequency(1, "", "", nullptr, text, sizeof text, 14074000.0), 0);
  EXPECT_EQ(text, reason);
  int count = -1;
  EXPECT_EQ(rigbridge_list_rigs(&count), nullptr);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(rigbridge_list_modes(1, text, sizeof text), 0);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(rigbridge_get_conf_values(1, "serial_speed", text, sizeof text), 0);
  // The level is only stored, and the wrappers give empty values.
  rigbridge_set_debug_level(6);
  EXPECT_EQ(rigbridge_current_debug_level(), 6);
  EXPECT_TRUE(RigControl::listRigs().empty());
  EXPECT_TRUE(RigControl::supportedModes(1).empty());
  EXPECT_TRUE(RigControl::serialDefaults(1).empty());
  EXPECT_EQ(RigControl::readStatus(1, "", {}, "Default"), (RigConnectionResult{false, reason}));
  // Nothing is retried and nothing more is said.
  EXPECT_TRUE(LogRecorder::instance().lines().empty());
}

}  // namespace
