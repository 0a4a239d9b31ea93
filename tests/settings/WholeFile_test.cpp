// Files written whole or not at all, also on a full disk: a file size limit makes one here,
// without any privilege.
#include "settings/WholeFile.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <csignal>
#include <cstring>

namespace {

TEST(WholeFile, AFullDiskSaysWhyAndLeavesTheOldFileOrNone) {
  QTemporaryDir folder;
  const QString kept = folder.filePath("kept.txt");
  ASSERT_EQ(writeWholeFile(kept, "old"), std::nullopt);
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
  const rlimit small{16, limit.rlim_max};
  const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  // Less than Qt's write buffer, and more.
  const std::optional<QString> overKept = writeWholeFile(kept, QByteArray(100, 'x'));
  const std::optional<QString> fresh =
      writeWholeFile(folder.filePath("new.txt"), QByteArray(1 << 17, 'x'));
  setrlimit(RLIMIT_FSIZE, &limit);
  std::signal(SIGXFSZ, previousHandler);
  const QString tooLarge = QString::fromLocal8Bit(strerror(EFBIG));
  EXPECT_EQ(overKept, tooLarge);
  EXPECT_EQ(fresh, tooLarge);
  QFile file(kept);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll(), "old");
  EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files), QStringList{"kept.txt"});
}

}  // namespace
