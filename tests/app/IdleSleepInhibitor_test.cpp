// Runs on a session bus of its own (dbus-run-session), where a stand-in takes logind's name.
#include "app/IdleSleepInhibitor.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <QSignalSpy>

#include "QtTestSupport.h"

namespace {

// Hands out the write end of a pipe as the lock: the read end tells whether anyone holds it.
class FakeLogind : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

 public:
  ~FakeLogind() override { close(readEnd); }
  bool lockHeld() const {
    pollfd descriptor{readEnd, POLLIN, 0};
    return poll(&descriptor, 1, 0) == 0;
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

TEST(IdleSleepInhibitor, CarriesOnWithoutABusOrLogindAndHoldsItsIdleLockUntilItGoes) {
  for (const QDBusConnection& bus : {QDBusConnection("no bus"), QDBusConnection::sessionBus()}) {
    IdleSleepInhibitor withoutLogind(bus);
    QSignalSpy settled(&withoutLogind, &IdleSleepInhibitor::settled);
    ASSERT_TRUE(settled.wait(30000));
    EXPECT_EQ(withoutLogind.state(), IdleSleepInhibitor::State::unavailable);
  }

  FakeLogind logind;
  QDBusConnection service = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "service");
  ASSERT_TRUE(
      service.registerObject("/org/freedesktop/login1", &logind, QDBusConnection::ExportAllSlots));
  ASSERT_TRUE(service.registerService("org.freedesktop.login1"));
  auto inhibitor = std::make_unique<IdleSleepInhibitor>(QDBusConnection::sessionBus());
  QSignalSpy settled(inhibitor.get(), &IdleSleepInhibitor::settled);
  ASSERT_TRUE(settled.wait(10000));
  EXPECT_EQ(inhibitor->state(), IdleSleepInhibitor::State::held);
  EXPECT_EQ(logind.arguments,
            QStringList({"idle", "Palavrix", "Palavrix is monitoring the radio and must stay awake",
                         "block"}));
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);  // the reply's copy goes
  EXPECT_TRUE(logind.lockHeld());
  inhibitor.reset();
  EXPECT_TRUE(waitFor([&] { return !logind.lockHeld(); }));
}

}  // namespace

#include "IdleSleepInhibitor_test.moc"
