// Keeps the machine from idle sleep while the program listens to the radio: an "idle" inhibitor
// lock from logind, whose descriptor is held for as long as this object lives (the application
// keeps it for the life of the process). Without a system bus or logind it logs one line and
// the program carries on. Main thread; the request is asynchronous, so start-up never waits.
#pragma once

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>

class IdleSleepInhibitor final : public QObject {
  Q_OBJECT

 public:
  static constexpr const char* kReason = "Palavrix is monitoring the radio and must stay awake";

  enum class State { requested, held, unavailable };

  // Asks logind on `bus` for the lock.
  explicit IdleSleepInhibitor(const QDBusConnection& bus = QDBusConnection::systemBus(),
                              QObject* parent = nullptr);

  State state() const { return state_; }

 signals:
  // The answer arrived: the lock is held or will not be.
  void settled();

 private:
  void giveUp(const QString& reason);

  State state_ = State::requested;
  QDBusUnixFileDescriptor lock_;
};
