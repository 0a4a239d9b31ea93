// Turns SIGINT, SIGTERM and SIGHUP (the terminal or the session going away) into a Qt signal on the
// main thread, so that the program can release push-to-talk before it ends instead of dying with
// the transmitter keyed. One per process: it owns the three signals' handlers while it lives.
#pragma once

#include <QObject>

class QSocketNotifier;

class ExitSignalNotifier final : public QObject {
  Q_OBJECT

 public:
  explicit ExitSignalNotifier(QObject* parent = nullptr);
  // Gives the signals back their default handling.
  ~ExitSignalNotifier() override;

 signals:
  void exitRequested(int signalNumber);

 private:
  void readPendingSignals();

  int pipe_[2] = {-1, -1};
  QSocketNotifier* notifier_ = nullptr;
};
