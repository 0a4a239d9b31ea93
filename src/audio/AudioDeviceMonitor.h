// Tells its owner, once things have settled for a second, that audio devices came or went or a
// default device changed. Main thread only, its signal included. When the server goes away it
// tries again every few seconds and reports a change once it is back.
#pragma once

#include <QObject>
#include <QTimer>
#include <memory>

namespace pulse {
class Subscription;
}

class AudioDeviceMonitor final : public QObject {
  Q_OBJECT

 public:
  // Notices within this long of each other give one changed(), this long after the last.
  static constexpr int kDebounceMs = 1000;
  static constexpr int kReconnectMs = 2000;

  explicit AudioDeviceMonitor(QObject* parent = nullptr);
  ~AudioDeviceMonitor() override;

  // Does nothing when already started. Blocks no longer than one device query.
  void start();
  void stop();
  // Whether the server is being watched right now.
  bool isListening() const;

 signals:
  void changed();

 private:
  void connectToServer();
  void notice();
  void lost();

  std::unique_ptr<pulse::Subscription> subscription_;
  bool started_ = false;
  bool reportWhenBack_ = false;
  QTimer debounce_;
  QTimer reconnect_;
};
