// What the window tests share: GoogleTest with Qt, the rigctld fixture's daemon, and the program.
#pragma once

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "QtTestSupport.h"
#include "RigctldServer.h"
#include "chat/AppSettings.h"
#include "chat/ChatViewModel.h"
#include "ui/ContentView.h"

// The settings in a fresh folder, the real controller, and the main window's content shown.
struct UiProgram {
  UiProgram() {
    settings.setCapitalizeMessages(false);
    view.resize(view.sizeHint());
    view.show();
  }
  QTemporaryDir home;
  const bool homeSet = qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
  AppSettings settings;
  ChatViewModel model{settings, ChatViewModel::Timing{}};
  ContentView view{model, settings};
};
