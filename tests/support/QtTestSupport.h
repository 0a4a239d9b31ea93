// What every test that runs Qt's event loop shares.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <functional>
#include <ostream>

// Waits, with the event loop running, until the condition holds or the time is up.
inline bool waitFor(const std::function<bool()>& condition, int timeoutMs = 10000) {
  return QTest::qWaitFor(condition, timeoutMs);
}

// How the main thread's event loop turns from the moment this is made: a timer asks to run every
// 20 ms, and the longest time between its turns (the one still open included) is the longest the
// thread stood still. Made before a call, it sees a call that blocks as well as a wait after it.
class MainThreadWatch {
 public:
  MainThreadWatch() {
    clock_.start();
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(20);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      const qint64 now = clock_.elapsed();
      longestMs_ = std::max(longestMs_, now - lastTurnMs_);
      lastTurnMs_ = now;
      ++turns_;
    });
    timer_.start();
  }
  MainThreadWatch(const MainThreadWatch&) = delete;
  MainThreadWatch& operator=(const MainThreadWatch&) = delete;

  int turns() const { return turns_; }
  std::chrono::milliseconds longestStandStill() const {
    return std::chrono::milliseconds(std::max(longestMs_, clock_.elapsed() - lastTurnMs_));
  }

 private:
  QElapsedTimer clock_;
  QTimer timer_;
  qint64 lastTurnMs_ = 0;
  qint64 longestMs_ = 0;
  int turns_ = 0;
};

// Readable texts in GoogleTest's failure messages.
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}
