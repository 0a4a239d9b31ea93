// A 10 ms timer on the main thread whose lateness measures how long the main thread stalled.
#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>

class MainThreadHeartbeat {
 public:
  static constexpr qint64 kPeriodNs = 10'000'000;

  // A tick later than lateMs counts as a stall of its own.
  explicit MainThreadHeartbeat(int lateMs) : lateNs_(qint64(lateMs) * 1'000'000) {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      const qint64 now = clock_.nsecsElapsed();
      const qint64 late = now - last_ - kPeriodNs;
      worstNs_ = std::max(worstNs_, late);
      if (late > lateNs_) ++lateTicks_;
      last_ = now;
      ++ticks_;
    });
  }
  void start() {
    clock_.start();
    last_ = 0;
    timer_.start();
  }
  double worstMs() const { return double(worstNs_) / 1e6; }
  long ticks() const { return ticks_; }
  long lateTicks() const { return lateTicks_; }

 private:
  const qint64 lateNs_;
  QTimer timer_;
  QElapsedTimer clock_;
  qint64 last_ = 0;
  qint64 worstNs_ = 0;
  long ticks_ = 0;
  long lateTicks_ = 0;
};
