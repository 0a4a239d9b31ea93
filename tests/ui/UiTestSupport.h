// What the window tests share: a QApplication offscreen around GoogleTest, the rigctld fixture's
// daemon, and the program's objects (settings in a fresh settings folder, the real controller,
// the main window's content) made fresh for each test.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <memory>
#include <ostream>

#include "chat/AppSettings.h"
#include "chat/ChatViewModel.h"
#include "ui/ContentView.h"

// Readable texts in GoogleTest's failure messages.
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}

inline int runUiTests(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

// Waits, with the event loop running, until the condition holds or the time is up.
inline bool waitFor(const std::function<bool()>& condition, int timeoutMs = 5000) {
  return QTest::qWaitFor(condition, timeoutMs);
}

// "127.0.0.1:PORT" of the rigctld fixture's daemon, whose state file holds "PORT PID"; "" without
// one.
inline QString rigDaemonAddress() {
  QFile state(qEnvironmentVariable("RIGCTLD_STATE_FILE"));
  if (!state.open(QIODevice::ReadOnly)) return {};
  return QStringLiteral("127.0.0.1:") + QString::fromUtf8(state.readAll()).split(u' ').first();
}

// What the daemon answers to a rigctl command, asked from outside the program.
inline QString askRigDaemon(const QString& command) {
  QProcess rigctl;
  rigctl.start("rigctl", {"-m", "2", "-r", rigDaemonAddress(), command});
  rigctl.waitForFinished(10000);
  return QString::fromUtf8(rigctl.readAllStandardOutput()).trimmed();
}

// The settings, the controller and the main window's content, shown at its first size.
class UiProgram {
 public:
  UiProgram() {
    qputenv("XDG_CONFIG_HOME", home_.path().toUtf8());
    settings_ = std::make_unique<AppSettings>();
    settings_->setCapitalizeMessages(false);
    model_ = std::make_unique<ChatViewModel>(*settings_, ChatViewModel::Timing{});
    view_ = std::make_unique<ContentView>(*model_, *settings_);
    view_->resize(view_->sizeHint());
    view_->show();
  }

  QString storePath() const { return home_.filePath("Palavrix/Palavrix.conf"); }
  AppSettings& settings() { return *settings_; }
  ChatViewModel& model() { return *model_; }
  ContentView& view() { return *view_; }

 private:
  QTemporaryDir home_;
  std::unique_ptr<AppSettings> settings_;
  std::unique_ptr<ChatViewModel> model_;
  std::unique_ptr<ContentView> view_;
};
