#include "ui/BackgroundTask.h"

QThreadPool& backgroundPool() {
  // Never destroyed: destroying a pool waits for its tasks.
  static QThreadPool& pool = *new QThreadPool;
  return pool;
}
