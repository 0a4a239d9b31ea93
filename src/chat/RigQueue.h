// The chat controller's rig queue: one thread of its own on which rig calls run one at a time,
// in the order they were posted, so that a status poll, a tuning request and push-to-talk never
// overlap and the main thread never waits for a rig. Owned and used on the main thread.
#pragma once

#include <QObject>
#include <QThread>
#include <functional>
#include <memory>

class RigQueue final : public QObject {
  Q_OBJECT

 public:
  explicit RigQueue(QObject* parent = nullptr);
  // Lets the call in progress finish; calls still queued are dropped.
  ~RigQueue() override;

  // Runs work on the rig thread after everything posted before it.
  void post(std::function<void()> work);

  // Runs work on the rig thread, then hands its result to done on the main thread. done does
  // not run once the queue (and so its owner) is gone.
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

  // Runs work on the rig thread after everything posted before it and waits for it. Only for
  // the program's exit.
  void runAndWait(std::function<void()> work);

 private:
  QThread thread_;
  QObject* worker_;  // lives on thread_; the calls run in its context
};
