// What the window tests share: GoogleTest with Qt, the rigctld fixture's daemon, and the program.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QScreen>
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

// One of the offscreen screens the window tests run with (tests/ui/screens.json).
inline QScreen* screenNamed(const QString& name) {
  for (QScreen* screen : QGuiApplication::screens()) {
    if (screen->name() == name) return screen;
  }
  return nullptr;
}

// Puts a window not yet shown in the top left corner of a screen, as a window manager would
// place it there.
inline void placeOn(QWidget& window, QScreen* screen) {
  window.setScreen(screen);
  window.move(screen->availableGeometry().topLeft());
}

// Where a widget stands on the screens.
inline QRect onScreens(const QWidget& widget) {
  return QRect(widget.mapToGlobal(QPoint(0, 0)), widget.size());
}

// The desktop's font made larger while it lives, as a desktop set to a larger font has it;
// widgets made meanwhile take it.
struct LargerDesktopFont {
  explicit LargerDesktopFont(qreal points) {
    QFont larger = before;
    larger.setPointSizeF(points);
    QApplication::setFont(larger);
  }
  ~LargerDesktopFont() { QApplication::setFont(before); }
  const QFont before = QApplication::font();
};
