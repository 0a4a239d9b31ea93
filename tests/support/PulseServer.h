// A PulseAudio server of a test's own, started and stopped with the fixture's script
// (tests/fixtures/pulse_server.sh), so that a test may kill it without disturbing the others.
#pragma once

#include <sys/types.h>

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace pulsetest {

class PrivateServer {
 public:
  explicit PrivateServer(bool startNow = true);
  ~PrivateServer() { kill(); }
  PrivateServer(const PrivateServer&) = delete;
  PrivateServer& operator=(const PrivateServer&) = delete;

  bool start();
  bool started() const { return started_; }
  QByteArray address() const;
  // The server's process id, 0 when unknown.
  pid_t pid() const;
  void kill();

 private:
  bool run(const QString& action);

  QTemporaryDir dir_;
  bool started_ = false;
};

// Runs pactl against the current PULSE_SERVER; returns its output, fails the test on error.
QString pactl(const QStringList& arguments);

// A module loaded on the current server until unloaded, at the latest at the end of its scope.
class LoadedModule {
 public:
  explicit LoadedModule(const QStringList& arguments)
      : index_(pactl(QStringList{"load-module"} + arguments)) {}
  ~LoadedModule() { unload(); }
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;
  void unload() {
    if (!index_.isEmpty()) pactl({"unload-module", index_});
    index_.clear();
  }

 private:
  QString index_;
};

}  // namespace pulsetest
