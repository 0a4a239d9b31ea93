// Helpers for the controller's tests: a settings store of each test's own, a controller made
// with shortened intervals and a clock the test moves, and decoder updates to inject.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest/QTest>
#include <memory>
#include <string>

#include "RigctldServer.h"
#include "chat/AppSettings.h"
#include "chat/ChatViewModel.h"

namespace chattest {

// A fresh XDG_CONFIG_HOME, so that the settings store is empty until the test writes it.
class ConfigHome {
 public:
  ConfigHome() { qputenv("XDG_CONFIG_HOME", dir_.path().toUtf8()); }
  QString path() const { return dir_.path(); }

 private:
  QTemporaryDir dir_;
};

inline ChatViewModel::Timing quickTiming() {
  ChatViewModel::Timing timing;
  timing.captureRetryInterval = std::chrono::milliseconds(20);
  timing.rigPollInterval = std::chrono::milliseconds(200);
  return timing;
}

inline KvolDecoder::Update update(int64_t id, const char* text, bool complete, int snrDb = -10) {
  return {id, text, 1500.0f, complete, snrDb, 3, 46};
}

// Waits, running the event loop, until done() holds or the deadline passes.
template <typename Done>
bool waitFor(Done done, int timeoutMs = 10000) {
  return QTest::qWaitFor(done, timeoutMs);
}

// One line of rigctld's answer to a command (its own protocol), or "" when it does not answer.
inline std::string askRigctld(int port, const std::string& command) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(uint16_t(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string line = command + "\n";
    if (write(fd, line.data(), line.size()) == ssize_t(line.size())) {
      pollfd waiting{fd, POLLIN, 0};
      char c = 0;
      while (poll(&waiting, 1, 2000) == 1 && read(fd, &c, 1) == 1 && c != '\n') answer += c;
    }
  }
  close(fd);
  return answer;
}

// The port of the rigctld the CTest fixture started, or 0 when there is none.
inline int fixtureRigctldPort() {
  QFile state(qEnvironmentVariable("RIGCTLD_STATE_FILE"));
  if (!state.open(QIODevice::ReadOnly)) return 0;
  return state.readAll().split(' ').value(0).trimmed().toInt();
}

// A rigctld of the test's own serving the dummy rig on a given loopback port, a direct child
// stopped by its process id, so that a test may kill it and start it again on the same port.
class OwnRigctld {
 public:
  explicit OwnRigctld(int port) : port_(port) { start(); }
  ~OwnRigctld() { stop(); }
  int port() const { return port_; }
  QString address() const { return QStringLiteral("127.0.0.1:%1").arg(port_); }

  bool start() {
    process_.start(QStringLiteral("rigctld"),
                   {"-m", "1", "-P", "RIG", "-T", "127.0.0.1", "-t", QString::number(port_)});
    if (!process_.waitForStarted(5000)) return false;
    return QTest::qWaitFor([&] { return !askRigctld(port_, "f").empty(); }, 5000);
  }
  void stop() {
    if (process_.state() == QProcess::NotRunning) return;
    ::kill(pid_t(process_.processId()), SIGINT);
    if (!process_.waitForFinished(5000)) process_.kill();
    process_.waitForFinished(5000);
  }

 private:
  int port_;
  QProcess process_;
};

// The settings of a rig reached through rigctld (Hamlib's network model 2), saved to the store.
inline void saveNetworkRig(AppSettings& settings, int port, const QString& mode) {
  settings.setRigModel(2);
  settings.setRigPort(QStringLiteral("127.0.0.1:%1").arg(port));
  settings.setRigMode(mode);
  ASSERT_TRUE(settings.save());
}

// The test program's entry: a Qt application for timers and queued calls.
inline int runTests(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

}  // namespace chattest
