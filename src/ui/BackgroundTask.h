// Work for the thread pool whose answer comes back to the main thread, through a watcher the
// window owns: when the window is gone before the answer, the answer touches nothing.
#pragma once

#include <QFutureWatcher>
#include <QObject>
#include <QtConcurrent>
#include <type_traits>
#include <utility>

// Runs work() on the thread pool, then done(result) on the main thread while owner lives.
template <typename Work, typename Done>
void runInBackground(QObject* owner, Work work, Done done) {
  using Result = std::invoke_result_t<Work>;
  auto* watcher = new QFutureWatcher<Result>(owner);
  QObject::connect(watcher, &QFutureWatcherBase::finished, owner,
                   [watcher, done = std::move(done)]() mutable {
                     watcher->deleteLater();
                     done(watcher->result());
                   });
  watcher->setFuture(QtConcurrent::run(std::move(work)));
}
