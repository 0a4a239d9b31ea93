// Finding Hamlib: version parsing and the choice between candidate libraries, with the real
// library and with stand-ins that carry only Hamlib's symbols and a version.
#include "rig/RigLibraryLoader.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "RigTestSupport.h"
#include "rig/RigBridge.h"

namespace {

using rigtest::LoggedLine;
using rigtest::LogRecorder;
using Version = std::array<std::int64_t, 4>;

TEST(RigLibraryVersion, ParsesUpToFourNumbers) {
  EXPECT_EQ(rigbridge_parse_version("Hamlib 4.6.2"), (Version{4, 6, 2, 0}));
  EXPECT_EQ(rigbridge_parse_version("Hamlib 4.5"), (Version{4, 5, 0, 0}));
  EXPECT_EQ(rigbridge_parse_version("4.6~rc1"), (Version{4, 6, 0, 0}));
  EXPECT_EQ(rigbridge_parse_version("1.2.3.4.5"), (Version{1, 2, 3, 4}));
  EXPECT_EQ(rigbridge_parse_version("Hamlib 4.5.4 Jan 10 01:31:41Z 2023 SHA=921cc5"),
            (Version{4, 5, 4, 0}));
  EXPECT_EQ(rigbridge_parse_version("4..5"), (Version{4, 0, 0, 0}));
  EXPECT_EQ(rigbridge_parse_version("4."), (Version{4, 0, 0, 0}));
  EXPECT_EQ(rigbridge_parse_version("no digits"), (Version{0, 0, 0, 0}));
  EXPECT_EQ(rigbridge_parse_version(""), (Version{0, 0, 0, 0}));
  EXPECT_EQ(rigbridge_parse_version(nullptr), (Version{0, 0, 0, 0}));
}

class RigLibraryChoiceTest : public testing::Test {
 protected:
  void SetUp() override {
    rigbridge_set_log_callback(LogRecorder::sink);
    LogRecorder::instance().clear();
  }
  void TearDown() override {
    if (choice.handle) dlclose(choice.handle);
    rigbridge_set_log_callback(nullptr);
  }
  RigLibraryChoice choose(const std::vector<std::string> &candidates) {
    choice = rigbridge_choose_library(candidates);
    return choice;
  }
  long foundCount() {
    const auto lines = LogRecorder::instance().lines();
    return std::count_if(lines.begin(), lines.end(),
                         [](const LoggedLine &l) { return l.text.rfind("Found ", 0) == 0; });
  }
  RigLibraryChoice choice;
};

TEST_F(RigLibraryChoiceTest, TheGreatestVersionWinsAndEqualOnesKeepTheEarlierPath) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{FAKE_HAMLIB_4_6, FAKE_HAMLIB_4_6_2}, FAKE_HAMLIB_4_6_2},
      {{FAKE_HAMLIB_4_6_2, FAKE_HAMLIB_4_6}, FAKE_HAMLIB_4_6_2},
      {{FAKE_HAMLIB_4_6_COPY, FAKE_HAMLIB_4_6}, FAKE_HAMLIB_4_6_COPY},
      {{FAKE_HAMLIB_4_6, FAKE_HAMLIB_4_6_COPY}, FAKE_HAMLIB_4_6},
      {{FAKE_HAMLIB_EMPTY_VERSION2}, FAKE_HAMLIB_EMPTY_VERSION2},  // the plain version string
  };
  for (const auto &[candidates, chosen] : cases) {
    EXPECT_EQ(choose(candidates).path, chosen);
    if (chosen == FAKE_HAMLIB_EMPTY_VERSION2) {
      EXPECT_STREQ(choice.version, "Hamlib 4.7");
    }
    dlclose(choice.handle);
    choice.handle = nullptr;
  }
  EXPECT_TRUE(LogRecorder::instance().has(4, "Found Hamlib 4.6.2 at " FAKE_HAMLIB_4_6_2));
}

TEST_F(RigLibraryChoiceTest, SkipsWhatIsNotAUsableHamlib4) {
  EXPECT_EQ(choose({"/nonexistent/libhamlib.so.4", "libm.so.6", FAKE_HAMLIB_WITHOUT_RIGERROR,
                    FAKE_HAMLIB_WITHOUT_VERSION, FAKE_HAMLIB_3})
                .handle,
            nullptr);
  LogRecorder &log = LogRecorder::instance();
  EXPECT_TRUE(log.has(
      4,
      "Hamlib not loaded from /nonexistent/libhamlib.so.4: /nonexistent/libhamlib.so.4: ", false));
  EXPECT_TRUE(log.has(3, "Ignoring libm.so.6: not a usable Hamlib (missing symbols)"));
  EXPECT_TRUE(log.has(
      3, "Ignoring " FAKE_HAMLIB_WITHOUT_RIGERROR ": not a usable Hamlib (missing symbols)"));
  EXPECT_TRUE(log.has(
      3, "Ignoring " FAKE_HAMLIB_WITHOUT_VERSION ": not a usable Hamlib (missing symbols)"));
  EXPECT_TRUE(log.has(3, "Ignoring " FAKE_HAMLIB_3 ": Hamlib 3.3 is not Hamlib 4"));
  EXPECT_EQ(foundCount(), 0);
}

TEST_F(RigLibraryChoiceTest, TheSameLibraryThroughTwoPathsIsFoundOnce) {
  void *system = dlopen("libhamlib.so.4", RTLD_LAZY | RTLD_LOCAL);
  ASSERT_NE(system, nullptr);
  Dl_info info{};
  ASSERT_NE(dladdr(dlsym(system, "rig_init"), &info), 0);
  std::string realPath = std::filesystem::canonical(info.dli_fname);
  dlclose(system);

  EXPECT_EQ(choose({"libhamlib.so.4", realPath, FAKE_HAMLIB_4_5}).path, "libhamlib.so.4");
  EXPECT_EQ(foundCount(), 2);  // the system library once, and the stand-in of an older version
}

TEST_F(RigLibraryChoiceTest, SaysNothingWithoutASink) {
  rigbridge_set_log_callback(nullptr);
  choose({"/nonexistent/libhamlib.so.4", "libm.so.6", FAKE_HAMLIB_4_6});
  EXPECT_TRUE(LogRecorder::instance().lines().empty());
}

}  // namespace
