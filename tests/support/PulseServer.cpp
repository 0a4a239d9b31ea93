#include "PulseServer.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>

namespace pulsetest {

// Under the fixture's folder, so that its clean-up stops a server a crash left behind.
PrivateServer::PrivateServer(bool startNow)
    : dir_(QDir(QStringLiteral(PALAVRIX_TEST_TMP)).filePath("pulse-XXXXXX")) {
  if (startNow) start();
}

bool PrivateServer::start() { return started_ = run(QStringLiteral("start")); }

QByteArray PrivateServer::address() const {
  return "unix:" + QDir(dir_.path()).filePath("pulse/native").toUtf8();
}

pid_t PrivateServer::pid() const {
  QFile file(QDir(dir_.path()).filePath("pulse/pid"));
  return file.open(QIODevice::ReadOnly) ? pid_t(file.readAll().trimmed().toLong()) : 0;
}

void PrivateServer::kill() {
  if (started_) run(QStringLiteral("stop"));
  started_ = false;
}

bool PrivateServer::run(const QString& action) {
  QProcess process;
  process.start(QStringLiteral(PALAVRIX_PULSE_SCRIPT), {action, dir_.path()});
  const bool finished = process.waitForFinished(15000);
  EXPECT_TRUE(finished && process.exitCode() == 0)
      << "pulse_server.sh " << action.toStdString() << ": "
      << process.readAllStandardError().toStdString();
  return finished && process.exitCode() == 0;
}

QString pactl(const QStringList& arguments) {
  QProcess process;
  process.start(QStringLiteral("pactl"), arguments);
  EXPECT_TRUE(process.waitForFinished(10000) && process.exitCode() == 0)
      << "pactl " << arguments.join(' ').toStdString() << ": "
      << process.readAllStandardError().toStdString();
  return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

}  // namespace pulsetest
