// A thread of its own on which calls run one at a time, in the order they were posted, so that
// the main thread hands slow work (rig calls, talking to the audio server) over and never waits
// for it. The controller has two: the rig queue, so that status polls, tuning and push-to-talk
// never overlap, and the audio queue, on which the capture engine lives. Owned and used on the
// main thread.
#pragma once

#include <QObject>
#include <QThread>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class SerialQueue final : public QObject {
  Q_OBJECT

 public:
  explicit SerialQueue(const QString& name, QObject* parent = nullptr);
  // Drops the calls still queued and lets the one in progress finish. A call that has not
  // finished within a second (a rig that never answers) is left to end on its own thread.
  ~SerialQueue() override;

  // Runs work on the queue's thread after everything posted before it.
  void post(std::function<void()> work);
  // Runs work before every call still queued (after the one in progress).
  void postNext(std::function<void()> work);
  // Drops every call that has not started.
  void dropPending();

  // Runs work on the queue's thread, then hands its result to done on the main thread. done
  // does not run once the queue (and so its owner) is gone.
  template <typename Result>
  void call(std::function<Result()> work, std::function<void(Result)> done, bool next = false) {
    std::function<void()> job = answering<Result>(nullptr, std::move(work), std::move(done));
    next ? postNext(std::move(job)) : post(std::move(job));
  }

  // Whether a call has started on the queue's thread or was withdrawn before it could: whichever
  // comes first decides. Any thread.
  class Start {
   public:
    // True when the call had not started: it never will, and its done never runs.
    bool withdraw() {
      int expected = kWaiting;
      return state_.compare_exchange_strong(expected, kWithdrawn);
    }

   private:
    friend class SerialQueue;
    static constexpr int kWaiting = 0, kStarted = 1, kWithdrawn = 2;
    bool begin() {
      int expected = kWaiting;
      return state_.compare_exchange_strong(expected, kStarted);
    }
    std::atomic<int> state_{kWaiting};
  };

  // As call, for work that is pointless once it comes too late: the caller may withdraw it until
  // it starts (a rig call stuck behind one that hangs).
  template <typename Result>
  std::shared_ptr<Start> callUnlessWithdrawn(std::function<Result()> work,
                                             std::function<void(Result)> done) {
    auto start = std::make_shared<Start>();
    post(answering<Result>(start, std::move(work), std::move(done)));
    return start;
  }

  // Runs work on the queue's thread after everything posted before it and waits for it. Only
  // where waiting is the point: tearing down what lives on the thread.
  void runAndWait(std::function<void()> work);

  // Objects moved here take their queued calls and timers on the queue's thread.
  QThread& thread() { return *thread_; }

 private:
  // Shared with the calls in flight, which may outlive the queue.
  struct State {
    std::mutex mutex;
    std::deque<std::function<void()>> pending;
    QObject* receiver = nullptr;  // where answers go; none once the queue is gone
  };
  void wake();
  // The job of a call: work (unless withdrawn first), then its result to done on the main thread.
  template <typename Result>
  std::function<void()> answering(std::shared_ptr<Start> start, std::function<Result()> work,
                                  std::function<void(Result)> done) {
    return [state = state_, start = std::move(start), work = std::move(work),
            done = std::move(done)]() mutable {
      if (start && !start->begin()) return;
      auto result = std::make_shared<Result>(work());
      std::lock_guard lock(state->mutex);
      if (!state->receiver) return;
      QMetaObject::invokeMethod(
          state->receiver, [done = std::move(done), result] { done(std::move(*result)); },
          Qt::QueuedConnection);
    };
  }

  std::shared_ptr<State> state_;
  QThread* thread_;
  QObject* worker_;  // lives on thread_; the calls run in its context
};
