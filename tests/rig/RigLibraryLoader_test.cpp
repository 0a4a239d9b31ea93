// Finding Hamlib: version parsing and the choice between candidate libraries, with the real
// library and with stand-ins that carry only Hamlib's symbols and a version, and the bridge when
// none is usable (nothing else here loads Hamlib).
#include "rig/RigLibraryLoader.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "RigTestSupport.h"
#include "rig/RigBridge.h"
#include "rig/RigControl.h"

namespace {

TEST(RigLibraryVersion, ParsesUpToFourNumbers) {
  const std::pair<const char *, std::array<std::int64_t, 4>> cases[] = {
      {"Hamlib 4.6.2", {4, 6, 2, 0}},
      {"4.6~rc1", {4, 6, 0, 0}},
      {"1.2.3.4.5", {1, 2, 3, 4}},
      {"4..5", {4, 0, 0, 0}},
      {nullptr, {0, 0, 0, 0}}};
  for (const auto &[text, version] : cases) EXPECT_EQ(rigbridge_parse_version(text), version);
}

// The path and version chosen among the candidates.
std::string choose(const std::vector<std::string> &candidates) {
  rigtest::recorded(true);
  const RigLibraryChoice choice = rigbridge_choose_library(candidates);
  const std::string chosen =
      choice.path + (choice.version ? " " + std::string(choice.version) : "");
  if (choice.handle) dlclose(choice.handle);
  return chosen;
}

TEST(RigLibraryChoice, TheGreatestHamlib4WinsEqualOnesKeepTheEarlierPathOthersAreSkipped) {
  rigbridge_set_log_callback(rigtest::record);
  EXPECT_EQ(choose({FAKE_HAMLIB_4_6, FAKE_HAMLIB_4_6_2}), FAKE_HAMLIB_4_6_2 " Hamlib 4.6.2");
  EXPECT_EQ(choose({FAKE_HAMLIB_4_6_2, FAKE_HAMLIB_4_6}), FAKE_HAMLIB_4_6_2 " Hamlib 4.6.2");
  EXPECT_EQ(choose({FAKE_HAMLIB_4_6_COPY, FAKE_HAMLIB_4_6}), FAKE_HAMLIB_4_6_COPY " Hamlib 4.6");
  // Without hamlib_version2, the plain version string.
  EXPECT_EQ(choose({FAKE_HAMLIB_EMPTY_VERSION2}), FAKE_HAMLIB_EMPTY_VERSION2 " Hamlib 4.7");

  // The system library, through its name and its file, is found once.
  void *system = dlopen("libhamlib.so.4", RTLD_LAZY | RTLD_LOCAL);
  Dl_info info{};
  ASSERT_NE(dladdr(dlsym(system, "rig_init"), &info), 0);
  const std::string file = std::filesystem::canonical(info.dli_fname);
  dlclose(system);
  EXPECT_TRUE(choose({"libhamlib.so.4", file}).starts_with("libhamlib.so.4 Hamlib 4."));
  EXPECT_EQ(rigtest::recorded().size(), 1u) << "found more than once";

  EXPECT_EQ(choose({"/nonexistent/libhamlib.so.4", "libm.so.6", FAKE_HAMLIB_WITHOUT_RIGERROR,
                    FAKE_HAMLIB_WITHOUT_VERSION, FAKE_HAMLIB_3}),
            "");
  EXPECT_TRUE(rigtest::said("4 Hamlib not loaded from /nonexistent/libhamlib.so.4: "));
  for (const std::string path :
       {"libm.so.6", FAKE_HAMLIB_WITHOUT_RIGERROR, FAKE_HAMLIB_WITHOUT_VERSION})
    EXPECT_TRUE(rigtest::said("3 Ignoring " + path + ": not a usable Hamlib (missing symbols)"));
  EXPECT_TRUE(rigtest::said("3 Ignoring " FAKE_HAMLIB_3 ": Hamlib 3.3 is not Hamlib 4"));

  rigbridge_set_log_callback(nullptr);
  choose({"/nonexistent/libhamlib.so.4", "libm.so.6", FAKE_HAMLIB_4_6});
  EXPECT_TRUE(rigtest::recorded().empty());
}

TEST(RigBridgeWithoutHamlib, SaysOnceWhyAndEveryOperationFailsWithTheSameReason) {
  rigbridge_set_library_candidates({"/nonexistent/libhamlib.so.4", "libm.so.6"});
  rigbridge_set_log_callback(rigtest::record);
  rigbridge_set_debug_level(2);
  const auto loading = rigtest::recorded(true);
  ASSERT_EQ(loading.size(), 3u);
  EXPECT_EQ(loading[1], "3 Ignoring libm.so.6: not a usable Hamlib (missing symbols)");
  EXPECT_EQ(loading[2], "2 No usable Hamlib library found.");

  const std::string reason = "Hamlib library not found.";
  const RigTxSettings rig{1, "", {}, "USB"};
  EXPECT_EQ(RigControl::readStatus(1, "", {}, "USB"), (RigConnectionResult{false, reason}));
  EXPECT_EQ(RigControl::setPushToTalk(rig, true), reason);
  EXPECT_EQ(RigControl::setFrequency(rig, 14074000.0), reason);
  EXPECT_TRUE(RigControl::listRigs().empty() && RigControl::supportedModes(1).empty() &&
              RigControl::serialDefaults(1).empty() && !RigControl::hamlibVersion() &&
              !RigControl::hamlibPath());
  // The level is only stored; nothing is retried and nothing more is said.
  rigbridge_set_debug_level(6);
  EXPECT_EQ(RigControl::hamlibDebugLevel(), 6);
  EXPECT_TRUE(rigtest::recorded().empty());
}

}  // namespace
