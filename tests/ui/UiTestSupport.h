// What the window tests share: a QApplication offscreen around GoogleTest, and the program's
// objects (settings in a fresh settings folder, the real controller, the main window's content)
// made fresh for each test.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
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
