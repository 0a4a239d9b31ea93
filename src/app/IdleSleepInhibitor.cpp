#include "app/IdleSleepInhibitor.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QLoggingCategory>

namespace {

Q_LOGGING_CATEGORY(appLog, "palavrix.app")

}  // namespace

IdleSleepInhibitor::IdleSleepInhibitor(const QDBusConnection& bus, QObject* parent)
    : QObject(parent) {
  if (!bus.isConnected()) {
    giveUp(QStringLiteral("no system bus (%1)").arg(bus.lastError().message()));
    return;
  }
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
      QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
  call << QStringLiteral("idle") << QStringLiteral("Palavrix") << QString::fromUtf8(kReason)
       << QStringLiteral("block");
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
    w->deleteLater();
    QDBusPendingReply<QDBusUnixFileDescriptor> reply = *w;
    if (reply.isError()) {
      giveUp(reply.error().message());
    } else if (!reply.value().isValid()) {
      giveUp(QStringLiteral("logind gave no lock"));
    } else {
      lock_ = reply.value();
      state_ = State::held;
      emit settled();
    }
  });
}

void IdleSleepInhibitor::giveUp(const QString& reason) {
  qCInfo(appLog).noquote() << "The machine may go to sleep while Palavrix runs:" << reason;
  state_ = State::unavailable;
  // Queued, so that a caller connected right after construction hears it too.
  QMetaObject::invokeMethod(this, &IdleSleepInhibitor::settled, Qt::QueuedConnection);
}
