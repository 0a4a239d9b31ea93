#include "chat/RigQueue.h"

RigQueue::RigQueue(QObject* parent) : QObject(parent), worker_(new QObject) {
  thread_.setObjectName(QStringLiteral("Palavrix.rig"));
  worker_->moveToThread(&thread_);
  thread_.start();
}

RigQueue::~RigQueue() {
  thread_.quit();
  thread_.wait();
  delete worker_;  // its thread has ended, so nothing runs in it any more
}

void RigQueue::post(std::function<void()> work) {
  QMetaObject::invokeMethod(worker_, std::move(work), Qt::QueuedConnection);
}

void RigQueue::runAndWait(std::function<void()> work) {
  Q_ASSERT(QThread::currentThread() != &thread_);
  QMetaObject::invokeMethod(worker_, std::move(work), Qt::BlockingQueuedConnection);
}
