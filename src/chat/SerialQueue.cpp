#include "chat/SerialQueue.h"

SerialQueue::SerialQueue(const QString& name, QObject* parent)
    : QObject(parent), worker_(new QObject) {
  thread_.setObjectName(name);
  worker_->moveToThread(&thread_);
  thread_.start();
}

SerialQueue::~SerialQueue() {
  thread_.quit();
  thread_.wait();
  delete worker_;  // its thread has ended, so nothing runs in it any more
}

void SerialQueue::post(std::function<void()> work) {
  QMetaObject::invokeMethod(worker_, std::move(work), Qt::QueuedConnection);
}

void SerialQueue::runAndWait(std::function<void()> work) {
  Q_ASSERT(QThread::currentThread() != &thread_);
  QMetaObject::invokeMethod(worker_, std::move(work), Qt::BlockingQueuedConnection);
}
