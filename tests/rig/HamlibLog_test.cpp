// The Hamlib log: entries handed over from any thread, its limits, the persisted level and the
// export text, and the whole path from the real Hamlib through the bridge into the log.
#include "rig/HamlibLog.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLocale>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <functional>
#include <thread>

#include "rig/RigBridge.h"
#include "rig/RigLibraryLoader.h"
#include "rig/SettingsStore.h"

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

// Delivers every hand-over posted so far.
void settle() { QCoreApplication::sendPostedEvents(); }

class HamlibLogTest : public testing::Test {
 protected:
  void SetUp() override {
    settle();
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
  settle();
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

TEST_F(HamlibLogTest, KeepsTheNewest5000AndNeverReusesIds) {
  const qint64 first = log().nextId();
  for (int i = 0; i <= 5000; ++i) {
    log().append(QDateTime::currentDateTime(), HamlibLogLevel::trace, false, QString::number(i));
  }
  ASSERT_EQ(log().entries().size(), 5000);
  EXPECT_EQ(log().entries().front().text, "1");
  EXPECT_EQ(log().entries().back().id, first + 5000);
  log().clear();
  log().append(QDateTime::currentDateTime(), HamlibLogLevel::trace, false, "after clear");
  EXPECT_EQ(log().entries().front().id, first + 5001);
}

TEST_F(HamlibLogTest, ExportsOneLinePerEntry) {
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  EXPECT_EQ(log().exportText(), "");
  const QDateTime evening(QDate(2026, 12, 6), QTime(21, 41, 5, 123));
  log().append(evening, HamlibLogLevel::error, true, "Connection failed: IO error");
  const QRegularExpression line(
      QStringLiteral("^9:41:05\\.123\\sPM \\[Error\\] Palavrix: Connection failed: IO error$"));
  EXPECT_TRUE(line.match(log().exportText()).hasMatch()) << log().exportText().toStdString();

  log().append(evening.addMSecs(7), HamlibLogLevel::trace, false, "two\nlines");
  const QStringList lines = log().exportText().split('\n');
  ASSERT_EQ(lines.size(), 3);
  EXPECT_TRUE(line.match(lines[0]).hasMatch());
  EXPECT_TRUE(lines[1].endsWith(" [Trace] Hamlib: two")) << lines[1].toStdString();
  EXPECT_TRUE(lines[1].startsWith("9:41:05.130")) << lines[1].toStdString();
  EXPECT_EQ(lines[2], "lines");
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

TEST_F(HamlibLogTest, CollectsHamlibsLinesAndTheBridgesOwn) {
  HamlibLog::install();
  char text[256] = {};
  int tuned = -1;
  int refused = -1;
  std::thread worker([&] {
    tuned = rigbridge_set_frequency(1, "", "", nullptr, text, sizeof text, 14074000.0);
    refused = rigbridge_set_ptt(1, "", "", 1, text, sizeof text);
  });
  worker.join();
  EXPECT_EQ(tuned, 1);
  EXPECT_EQ(refused, 0);
  auto has = [&](HamlibLogLevel level, bool fromApp, const QString &prefix) {
    for (const HamlibLogEntry &entry : log().entries()) {
      if (entry.level == level && entry.fromApp == fromApp && entry.text.startsWith(prefix)) {
        return true;
      }
    }
    return false;
  };
  ASSERT_TRUE(processEventsUntil(
      [&] { return has(HamlibLogLevel::error, true, "rig_set_ptt(on) failed: "); }));
  EXPECT_TRUE(has(HamlibLogLevel::verbose, true, "Opening rig model 1 on port \"\""));
  EXPECT_TRUE(has(HamlibLogLevel::verbose, true, "Setting frequency to 14.074000 MHz"));
  bool hamlibTrace = false;
  for (const HamlibLogEntry &entry : log().entries()) {
    hamlibTrace = hamlibTrace || (!entry.fromApp && entry.level >= HamlibLogLevel::verbose);
    EXPECT_FALSE(entry.text.isEmpty());
    EXPECT_FALSE(entry.text.endsWith('\n'));
    if (entry.text.startsWith("rig_set_ptt(on) failed: ")) {
      EXPECT_TRUE(entry.text.contains("\nHamlib error trace:\n")) << entry.text.toStdString();
    }
  }
  EXPECT_TRUE(hamlibTrace);
  rigbridge_set_log_callback(nullptr);
}

}  // namespace
