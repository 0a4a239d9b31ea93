// A thread of its own on which calls run one at a time, in the order they were posted, so that
// the main thread hands slow work (rig calls, talking to the audio server) over and never waits
// for it. The controller has two: the rig queue, so that status polls, tuning and push-to-talk
// never overlap, and the audio queue, on which the capture engine lives. Owned and used on the
// main thread.
#pragma once

#include <QObject>
#include <QThread>
#include <functional>
#include <memory>

class SerialQueue final : public QObject {
  Q_OBJECT

 public:
  explicit SerialQueue(const QString& name, QObject* parent = nullptr);
  // Lets the call in progress finish; calls still queued are dropped.
  ~SerialQueue() override;

  // Runs work on the queue's thread after everything posted before it.
  void post(std::function<void()> work);

  // Runs work on the queue's thread, then hands its result to done on the main thread. done
  // does not run once the queue (and so its owner) is gone.
  template <typename Result>
  void call(std::function<Result()> work, std::function<void(Result)> done) {
    post([this, work = std::move(work), done = std::move(done)]() mutable {
      auto result = std::make_shared<Result>(work());
      // The queue outlives its thread, so it is there to receive this.
      QMetaObject::invokeMethod(
          this, [done = std::move(done), result] { done(std::move(*result)); },
          Qt::QueuedConnection);
    });
  }

  // Runs work on the queue's thread after everything posted before it and waits for it. Only
  // where waiting is the point: the program's exit, tearing down what lives on the thread.
  void runAndWait(std::function<void()> work);

  // Objects moved here take their queued calls and timers on the queue's thread.
  QThread& thread() { return thread_; }

 private:
  QThread thread_;
  QObject* worker_;  // lives on thread_; the calls run in its context
};
