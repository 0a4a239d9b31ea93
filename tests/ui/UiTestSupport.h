// What the window tests share: a QApplication offscreen around GoogleTest, the rigctld fixture's
// daemon, and the program's objects (settings in a fresh settings folder, the real controller,
// the main window's content) made fresh for each test.
#pragma once

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <memory>

#include "QtTestSupport.h"
#include "RigctldServer.h"
#include "chat/AppSettings.h"
#include "chat/ChatViewModel.h"
#include "ui/ContentView.h"

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
