#include "app/IdleSleepInhibitor.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDeadlineTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QStringList>
#include <memory>

namespace {

// Stands in for logind on a private bus: hands out the write end of a pipe as the lock, so the
// test sees from the read end whether anyone still holds it.
class FakeLogind : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

 public:
  ~FakeLogind() override {
    if (readEnd >= 0) close(readEnd);
  }

  QStringList arguments;
  int readEnd = -1;

 public slots:
  QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                  const QString& mode) {
    arguments = {what, who, why, mode};
    int ends[2];
    if (pipe(ends) != 0) return {};
    readEnd = ends[0];
    QDBusUnixFileDescriptor lock(ends[1]);  // a copy of its own travels with the reply
    close(ends[1]);
    return lock;
  }
};

// A message bus of the test's own, started as a child and stopped by its process id.
class IdleSleepInhibitorOnBus : public testing::Test {
 protected:
  void SetUp() override {
    daemon_.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
    ASSERT_TRUE(daemon_.waitForStarted());
    QDeadlineTimer deadline(10000);
    while (!daemon_.canReadLine() && !deadline.hasExpired()) daemon_.waitForReadyRead(100);
    address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
    ASSERT_FALSE(address_.isEmpty());
  }

  void TearDown() override {
    QDBusConnection::disconnectFromBus("service");
    QDBusConnection::disconnectFromBus("client");
    daemon_.terminate();
    daemon_.waitForFinished();
  }

  QDBusConnection connect(const QString& name) {
    return QDBusConnection::connectToBus(address_, name);
  }

  // Whether the other end of the pipe is still open somewhere.
  static bool writerAlive(int readEnd) {
    pollfd descriptor{readEnd, POLLIN, 0};
    return poll(&descriptor, 1, 0) == 0;
  }

  QProcess daemon_;
  QString address_;
};

TEST_F(IdleSleepInhibitorOnBus, CarriesOnWithoutLogindAndHoldsItsIdleLockUntilItGoes) {
  IdleSleepInhibitor withoutLogind(connect("client"));
  QSignalSpy given(&withoutLogind, &IdleSleepInhibitor::settled);
  ASSERT_TRUE(given.wait(30000));
  EXPECT_EQ(withoutLogind.state(), IdleSleepInhibitor::State::unavailable);

  FakeLogind logind;
  QDBusConnection service = connect("service");
  ASSERT_TRUE(
      service.registerObject("/org/freedesktop/login1", &logind, QDBusConnection::ExportAllSlots));
  ASSERT_TRUE(service.registerService("org.freedesktop.login1"));
  auto inhibitor = std::make_unique<IdleSleepInhibitor>(connect("client"));
  QSignalSpy settled(inhibitor.get(), &IdleSleepInhibitor::settled);
  ASSERT_TRUE(settled.wait(10000));
  EXPECT_EQ(inhibitor->state(), IdleSleepInhibitor::State::held);
  EXPECT_EQ(logind.arguments,
            QStringList({"idle", "Palavrix", "Palavrix is monitoring the radio and must stay awake",
                         "block"}));
  ASSERT_GE(logind.readEnd, 0);
  QCoreApplication::processEvents();
  EXPECT_TRUE(writerAlive(logind.readEnd));

  inhibitor.reset();
  QDeadlineTimer deadline(10000);
  while (writerAlive(logind.readEnd) && !deadline.hasExpired()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  }
  EXPECT_FALSE(writerAlive(logind.readEnd));
}

TEST(IdleSleepInhibitor, CarriesOnWithoutABus) {
  IdleSleepInhibitor inhibitor(QDBusConnection("no bus"));
  EXPECT_EQ(inhibitor.state(), IdleSleepInhibitor::State::unavailable);
  QSignalSpy settled(&inhibitor, &IdleSleepInhibitor::settled);
  EXPECT_TRUE(settled.wait(1000));
}

}  // namespace

#include "IdleSleepInhibitor_test.moc"
