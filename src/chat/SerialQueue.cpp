#include "chat/SerialQueue.h"

namespace {

constexpr unsigned long kFinishWaitMs = 1000;

}  // namespace

SerialQueue::SerialQueue(const QString& name, QObject* parent)
    : QObject(parent),
      state_(std::make_shared<State>()),
      thread_(new QThread),
      worker_(new QObject) {
  state_->receiver = this;
  thread_->setObjectName(name);
  worker_->moveToThread(thread_);
  thread_->start();
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(state_->mutex);
    state_->pending.clear();
    state_->receiver = nullptr;
  }
  thread_->quit();
  if (!thread_->wait(kFinishWaitMs)) {
    // Stuck in a call nothing can interrupt: thread and worker stay until it returns, and the
    // thread then ends its loop; destroying a running QThread would end the process.
    qWarning("%s: a call is still running; leaving it to finish on its own",
             qPrintable(thread_->objectName()));
    return;
  }
  delete worker_;  // its thread has ended, so nothing runs in it any more
  delete thread_;
}

// One wake-up per call posted; a wake-up that finds nothing (the call was dropped) does nothing.
void SerialQueue::wake() {
  QMetaObject::invokeMethod(
      worker_,
      [state = state_] {
        std::function<void()> work;
        {
          std::lock_guard lock(state->mutex);
          if (state->pending.empty()) return;
          work = std::move(state->pending.front());
          state->pending.pop_front();
        }
        work();
      },
      Qt::QueuedConnection);
}

void SerialQueue::post(std::function<void()> work) {
  {
    std::lock_guard lock(state_->mutex);
    state_->pending.push_back(std::move(work));
  }
  wake();
}

void SerialQueue::postNext(std::function<void()> work) {
  {
    std::lock_guard lock(state_->mutex);
    state_->pending.push_front(std::move(work));
  }
  wake();
}

void SerialQueue::dropPending() {
  std::lock_guard lock(state_->mutex);
  state_->pending.clear();
}

void SerialQueue::runAndWait(std::function<void()> work) {
  Q_ASSERT(QThread::currentThread() != thread_);
  QMetaObject::invokeMethod(worker_, std::move(work), Qt::BlockingQueuedConnection);
}
