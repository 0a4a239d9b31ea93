// The Hamlib log: entries handed over from any thread, its limits, the persisted level and the
// export text. The whole path from the real Hamlib into the log is in RigBridgeThreads_test.
#include "rig/HamlibLog.h"

#include <gtest/gtest.h>

#include <QLocale>
#include <QSettings>
#include <QSignalSpy>
#include <thread>

#include "QtTestSupport.h"
#include "rig/RigControl.h"
#include "settings/SettingsStore.h"

namespace {

TEST(HamlibLog, TakesEntriesFromAnyThreadOnTheMainThreadWithoutTheirLineBreaks) {
  HamlibLog &log = HamlibLog::shared();
  std::thread worker([] {
    HamlibLog::receive(5, "rig_open called\n", 0);
    HamlibLog::receive(
        2, "\r\nrig_set_ptt(on) failed: IO error (error -6)\nHamlib error trace:\nx\n", 1);
    HamlibLog::receive(4, "\n\r\n", 1);      // nothing left: dropped
    HamlibLog::receive(4, nullptr, 1);       // dropped
    HamlibLog::receive(42, "odd level", 0);  // out of range: verbose
    HamlibLog::receive(4, "bad \xff byte", 1);
  });
  worker.join();
  EXPECT_TRUE(log.entries().isEmpty()) << "appended off the main thread's queue";
  ASSERT_TRUE(waitFor([&] { return log.entries().size() == 4; }));
  QStringList lines;
  for (const HamlibLogEntry &entry : log.entries())
    lines << entry.exportLine().mid(entry.exportLine().indexOf('['));
  EXPECT_EQ(lines,
            QStringList({"[Trace] Hamlib: rig_open called",
                         "[Error] Palavrix: rig_set_ptt(on) failed: IO error (error -6)\n"
                         "Hamlib error trace:\nx",
                         "[Verbose] Hamlib: odd level", "[Verbose] Palavrix: bad \uFFFD byte"}));
  EXPECT_EQ(log.data(log.index(1), HamlibLog::LevelRole).toInt(), 2);
}

TEST(HamlibLog, KeepsTheNewest5000AndExportsOneLinePerEntry) {
  HamlibLog log;
  for (int i = 0; i <= 5000; ++i)
    log.append(QDateTime::currentDateTime(), HamlibLogLevel::trace, false, QString::number(i));
  ASSERT_EQ(log.entries().size(), 5000);
  EXPECT_EQ(log.entries().front().text, "1");
  log.clear();

  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  const QDateTime evening(QDate(2026, 12, 6), QTime(21, 41, 5, 123));
  log.append(evening, HamlibLogLevel::error, true, "Connection failed: IO error");
  log.append(evening.addMSecs(7), HamlibLogLevel::trace, false, "two\nlines");
  EXPECT_EQ(log.exportText().replace(QChar(0x202F), ' ').replace(QChar(0xA0), ' '),
            "9:41:05.123 PM [Error] Palavrix: Connection failed: IO error\n"
            "9:41:05.130 PM [Trace] Hamlib: two\nlines");
  QLocale::setDefault(QLocale::c());
}

TEST(HamlibLog, StartsAtTheStoredLevelAndSignalsOnlyAChange) {
  QSettings settings(settingsStorePath(), QSettings::IniFormat);
  for (const auto &[value, level] :
       {std::pair<QVariant, int>{QVariant(), 5}, {"3", 3}, {9, 5}, {"verbose", 5}, {2.5, 5}}) {
    settings.setValue(HamlibLog::kLevelKey, value);
    EXPECT_EQ(static_cast<int>(HamlibLog().level()), level) << value.toString().toStdString();
  }

  HamlibLog log;
  QSignalSpy changes(&log, &HamlibLog::levelChanged);
  log.setLevel(HamlibLogLevel::error);
  log.setLevel(HamlibLogLevel::error);
  EXPECT_EQ(changes.count(), 1);
  EXPECT_TRUE(waitFor([] { return RigControl::hamlibDebugLevel() == 2; }));  // applied meanwhile
}

}  // namespace
