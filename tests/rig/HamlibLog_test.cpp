// The Hamlib log: entries handed over from any thread, its limits, the persisted level and the
// export text. The whole path from the real Hamlib into the log is in RigBridgeThreads_test.
#include "rig/HamlibLog.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLocale>
#include <QSettings>
#include <QSignalSpy>
#include <functional>
#include <thread>

#include "rig/RigBridge.h"
#include "rig/RigLibraryLoader.h"
#include "settings/SettingsStore.h"

namespace {

// Runs the main thread's queued calls until the condition holds or five seconds pass.
bool processEventsUntil(const std::function<bool()> &condition) {
  QDeadlineTimer deadline(5000);
  while (!condition()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

class HamlibLogTest : public testing::Test {
 protected:
  void SetUp() override {
    QCoreApplication::sendPostedEvents();
    HamlibLog::shared().clear();
  }
  HamlibLog &log() { return HamlibLog::shared(); }
};

TEST(HamlibLogLevel, MatchesHamlibsNumbersAndNames) {
  const QStringList names = {"None", "Bug", "Error", "Warning", "Verbose", "Trace", "Cache"};
  for (int raw = 0; raw < 7; ++raw) {
    EXPECT_EQ(hamlibLogLevelFromRawValue(raw), kAllHamlibLogLevels[raw]);
    EXPECT_EQ(displayName(kAllHamlibLogLevels[raw]), names[raw]);
  }
  EXPECT_EQ(hamlibLogLevelFromRawValue(7), std::nullopt);
}

TEST_F(HamlibLogTest, TakesEntriesFromAnyThreadWithoutTheirLineBreaks) {
  std::thread worker([] {
    HamlibLog::receive(5, "rig_open called\n", 0);
    HamlibLog::receive(
        2, "\r\nrig_set_ptt(on) failed: IO error (error -6)\nHamlib error trace:\nx\n", 1);
    HamlibLog::receive(4, "\n\r\n", 1);           // nothing left: dropped
    HamlibLog::receive(4, nullptr, 1);            // dropped
    HamlibLog::receive(42, "odd level", 0);       // out of range: verbose
    HamlibLog::receive(-3, "negative level", 0);  // out of range: verbose
    HamlibLog::receive(4, "bad \xff byte", 1);
  });
  worker.join();
  EXPECT_TRUE(log().entries().isEmpty()) << "appended off the main thread's queue";
  ASSERT_TRUE(processEventsUntil([&] { return log().entries().size() == 5; }));
  QCoreApplication::sendPostedEvents();
  const QList<HamlibLogEntry> &entries = log().entries();
  ASSERT_EQ(entries.size(), 5);
  EXPECT_EQ(entries[0].text, "rig_open called");
  EXPECT_EQ(entries[0].level, HamlibLogLevel::trace);
  EXPECT_FALSE(entries[0].fromApp);
  EXPECT_EQ(entries[1].text, "rig_set_ptt(on) failed: IO error (error -6)\nHamlib error trace:\nx");
  EXPECT_TRUE(entries[1].fromApp);
  EXPECT_EQ(entries[2].level, HamlibLogLevel::verbose);
  EXPECT_EQ(entries[3].level, HamlibLogLevel::verbose);
  EXPECT_EQ(entries[4].text, QString::fromUtf8("bad \uFFFD byte"));
  EXPECT_EQ(log().data(log().index(1), HamlibLog::LevelRole).toInt(), 2);
}

TEST_F(HamlibLogTest, KeepsTheNewest5000NeverReusesIdsAndExportsOneLinePerEntry) {
  for (int i = 0; i <= 5000; ++i)
    log().append(QDateTime::currentDateTime(), HamlibLogLevel::trace, false, QString::number(i));
  ASSERT_EQ(log().entries().size(), 5000);
  EXPECT_EQ(log().entries().front().text, "1");
  const qint64 last = log().entries().back().id;
  EXPECT_EQ(last, log().entries().front().id + 4999);
  log().clear();
  EXPECT_EQ(log().exportText(), "");

  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  const QDateTime evening(QDate(2026, 12, 6), QTime(21, 41, 5, 123));
  log().append(evening, HamlibLogLevel::error, true, "Connection failed: IO error");
  log().append(evening.addMSecs(7), HamlibLogLevel::trace, false, "two\nlines");
  EXPECT_EQ(log().entries().front().id, last + 1);
  EXPECT_EQ(log().exportText().replace(QChar(0x202F), ' ').replace(QChar(0xA0), ' '),
            "9:41:05.123 PM [Error] Palavrix: Connection failed: IO error\n"
            "9:41:05.130 PM [Trace] Hamlib: two\nlines");
  QLocale::setDefault(QLocale::c());
}

TEST(HamlibLogSettings, StartsAtTheStoredLevelAndPersistsAndAppliesAChange) {
  QSettings settings(settingsStorePath(), QSettings::IniFormat);
  const std::pair<QVariant, HamlibLogLevel> stored[] = {
      {QVariant(), HamlibLogLevel::trace}, {2, HamlibLogLevel::error},
      {"3", HamlibLogLevel::warning},      {9, HamlibLogLevel::trace},
      {"verbose", HamlibLogLevel::trace},  {2.5, HamlibLogLevel::trace}};
  for (const auto &[value, level] : stored) {
    settings.setValue(HamlibLog::kLevelKey, value);
    EXPECT_EQ(HamlibLog().level(), level) << value.toString().toStdString();
  }

  HamlibLog log;
  QSignalSpy changes(&log, &HamlibLog::levelChanged);
  log.setLevel(HamlibLogLevel::warning);
  log.setLevel(HamlibLogLevel::warning);
  EXPECT_EQ(changes.count(), 1);
  EXPECT_EQ(HamlibLog().level(), HamlibLogLevel::warning);
  EXPECT_TRUE(processEventsUntil([] { return rigbridge_current_debug_level() == 3; }));
  settings.remove(HamlibLog::kLevelKey);
}

}  // namespace
