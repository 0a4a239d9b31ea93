// Tells its owner, once things have settled for a second, that audio devices came or went or a
// default device changed. Main thread only, its signal included; it never waits for the server.
// When the server goes away, or does not answer, it tries again every few seconds and reports a
// change once it is back.
#pragma once

#include <QObject>
#include <QTimer>
#include <cstdint>
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

  // Does nothing when already started. Listening begins once the server has answered.
  void start();
  void stop();
  // Whether the server is being watched right now.
  bool isListening() const;

 signals:
  void changed();

 private:
  void connectToServer();
  void connected(uint64_t attempt, int pulseError);
  void notice();
  void lost();

  std::unique_ptr<pulse::Subscription> subscription_;
  // The attempt waiting for the server's answer.
  std::unique_ptr<pulse::Subscription> connecting_;
  uint64_t attempts_ = 0;
  bool started_ = false;
  bool reportWhenBack_ = false;
  QTimer debounce_;
  QTimer reconnect_;
};
