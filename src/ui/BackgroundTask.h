// Work for a thread pool whose answer comes back to the main thread, through a watcher the
// window owns: when the window is gone before the answer, the answer touches nothing.
#pragma once

#include <QFutureWatcher>
#include <QObject>
#include <QThreadPool>
#include <QtConcurrent>
#include <type_traits>
#include <utility>

// The pool the windows' background work runs on. Unlike Qt's global pool, which the end of the
// program waits for without limit, nothing waits for this one: a question to the rig library
// that waits behind a rig that never answers must not keep the program from ending. Its threads
// end with the process.
QThreadPool& backgroundPool();

// Runs work() on the background pool, then done(result) on the main thread while owner lives.
template <typename Work, typename Done>
void runInBackground(QObject* owner, Work work, Done done) {
  using Result = std::invoke_result_t<Work>;
  auto* watcher = new QFutureWatcher<Result>(owner);
  QObject::connect(watcher, &QFutureWatcherBase::finished, owner,
                   [watcher, done = std::move(done)]() mutable {
                     watcher->deleteLater();
                     done(watcher->result());
                   });
  watcher->setFuture(QtConcurrent::run(&backgroundPool(), std::move(work)));
}
