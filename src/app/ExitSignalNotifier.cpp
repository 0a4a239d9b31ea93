#include "app/ExitSignalNotifier.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstdio>

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The write end of the pipe, for the handler: a signal handler can reach nothing but globals.
volatile sig_atomic_t signalPipeWriteEnd = -1;

void onSignal(int signalNumber) {
  const int savedErrno = errno;
  const unsigned char byte = static_cast<unsigned char>(signalNumber);
  // A full pipe already holds a request to end, so a lost byte loses nothing.
  if (signalPipeWriteEnd >= 0) (void)!write(signalPipeWriteEnd, &byte, 1);
  errno = savedErrno;
}

void setHandler(void (*handler)(int)) {
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signalNumber : kSignals) sigaction(signalNumber, &action, nullptr);
}

}  // namespace

ExitSignalNotifier::ExitSignalNotifier(QObject* parent) : QObject(parent) {
  Q_ASSERT(signalPipeWriteEnd < 0);
  if (pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    // Without the pipe the signals keep their default action: the process ends at once.
    std::perror("palavrix: no pipe for SIGINT, SIGTERM and SIGHUP");
    return;
  }
  signalPipeWriteEnd = pipe_[1];
  notifier_ = new QSocketNotifier(pipe_[0], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &ExitSignalNotifier::readPendingSignals);
  setHandler(onSignal);
}

ExitSignalNotifier::~ExitSignalNotifier() {
  if (pipe_[0] < 0) return;
  setHandler(SIG_DFL);
  signalPipeWriteEnd = -1;
  delete notifier_;
  close(pipe_[0]);
  close(pipe_[1]);
}

void ExitSignalNotifier::readPendingSignals() {
  unsigned char bytes[16];
  ssize_t count;
  while ((count = read(pipe_[0], bytes, sizeof bytes)) > 0) {
    for (ssize_t i = 0; i < count; ++i) emit exitRequested(bytes[i]);
  }
}
