#include "app/MyApp.h"

#include <QApplication>
#include <QDateTime>
#include <QEvent>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "app/ExitSignalNotifier.h"
#include "app/IdleSleepInhibitor.h"
#include "chat/AppSettings.h"
#include "chat/ChatViewModel.h"
#include "rig/HamlibLog.h"
#include "ui/HamlibLogView.h"
#include "ui/MainWindow.h"
#include "ui/SaveFileChooser.h"
#include "ui/SettingsView.h"

namespace {

// Shows a single-instance window, or brings the open one forward.
void present(QWidget* window) {
  if (window->isMinimized()) window->showNormal();
  window->show();
  window->raise();
  window->activateWindow();
}

// A secondary window: gone when closed (the next opening starts from the saved state), and
// closing it never ends the program, whose lifetime is the main window's.
void makeSecondary(QWidget* window) {
  window->setAttribute(Qt::WA_DeleteOnClose);
  window->setAttribute(Qt::WA_QuitOnClose, false);
}

// The release may take this long at exit; main() gives the rest of the way out two seconds.
constexpr std::chrono::milliseconds kExitReleaseLimit{3000};

// Qt ends the process with exit() when the X display goes away: the one way out that passes
// no code of ours but the handlers registered with atexit. Set while a MyApp lives.
MyApp* runningApp = nullptr;

void releasePushToTalkAtExit() {
  if (runningApp) runningApp->releasePushToTalkNow();
}

}  // namespace

MyApp::MyApp(QObject* parent)
    : QObject(parent), settings_(AppSettings::shared()), hamlibLog_(HamlibLog::shared()) {
  Q_ASSERT(qobject_cast<QApplication*>(QCoreApplication::instance()));
  sleepActivity_ = std::make_unique<IdleSleepInhibitor>();
  // Before the controller exists, so that its first rig status poll already logs.
  HamlibLog::install();
  exitSignals_ = std::make_unique<ExitSignalNotifier>();
  connect(exitSignals_.get(), &ExitSignalNotifier::exitRequested, this,
          [this](int signalNumber) { quit(128 + signalNumber); });

  viewModel_ = std::make_unique<ChatViewModel>(settings_);
  mainWindow_ = std::make_unique<MainWindow>(*viewModel_, settings_);
  viewModel_->setExportFileChooser(std::make_unique<DialogSaveFileChooser>(mainWindow_.get()));
  connect(mainWindow_.get(), &MainWindow::settingsRequested, this, &MyApp::openSettings);
  connect(mainWindow_.get(), &MainWindow::hamlibLogRequested, this, &MyApp::openHamlibLog);
  connect(mainWindow_.get(), &MainWindow::quitRequested, this, [this] { quit(); });
  // Closing the main window is a way out like Quit: it must wait for the release too.
  QApplication::setQuitOnLastWindowClosed(false);
  mainWindow_->installEventFilter(this);
  // Whoever else ends the main loop (the session, QCoreApplication::quit) gets the same care.
  connect(qApp, &QCoreApplication::aboutToQuit, this, [this] {
    if (!exiting_) releasePushToTalkNow();
  });
  static const bool releaseRegistered = std::atexit(releasePushToTalkAtExit) == 0;
  Q_UNUSED(releaseRegistered);
  runningApp = this;
}

MyApp::~MyApp() {
  runningApp = nullptr;
  delete settingsWindow_.data();
  delete hamlibLogWindow_.data();
  if (!exiting_) releasePushToTalkNow();
}

void MyApp::openSettings() {
  if (!settingsWindow_) {
    settingsWindow_ = new SettingsView(settings_, *viewModel_);
    makeSecondary(settingsWindow_);
  }
  present(settingsWindow_);
}

void MyApp::openHamlibLog() {
  if (!hamlibLogWindow_) {
    hamlibLogWindow_ = new HamlibLogView(hamlibLog_);
    makeSecondary(hamlibLogWindow_);
  }
  present(hamlibLogWindow_);
}

SettingsView* MyApp::settingsWindow() const { return settingsWindow_; }

HamlibLogView* MyApp::hamlibLogWindow() const { return hamlibLogWindow_; }

bool MyApp::eventFilter(QObject* watched, QEvent* event) {
  if (watched == mainWindow_.get() && event->type() == QEvent::Close && !exiting_) quit();
  return QObject::eventFilter(watched, event);
}

void MyApp::quit(int exitCode) {
  if (exiting_) {
    // Asked again while the rig holds the way out up: the operator means it.
    endMainLoop(!viewModel_->pushToTalkMayBeOn());
    return;
  }
  exiting_ = true;
  exitCode_ = exitCode;
  for (QWidget* window : QApplication::topLevelWidgets()) window->hide();
  // The main loop keeps running meanwhile, so that signals and a second Quit are heard.
  viewModel_->releasePushToTalkForExit(kExitReleaseLimit,
                                       [this](bool released) { endMainLoop(released); });
}

void MyApp::endMainLoop(bool released) {
  if (std::exchange(ended_, true)) return;
  if (!released) reportPushToTalkMayBeOn();
  QCoreApplication::exit(exitCode_);
}

void MyApp::releasePushToTalkNow() {
  if (ended_) return;
  ended_ = exiting_ = true;
  if (!viewModel_->releasePushToTalkAndWait(kExitReleaseLimit)) reportPushToTalkMayBeOn();
}

void MyApp::reportPushToTalkMayBeOn() {
  const QString warning = viewModel_->pushToTalkWarning();
  std::fprintf(stderr, "palavrix: %s\n", qPrintable(warning));
  std::fflush(stderr);
  hamlibLog_.append(QDateTime::currentDateTime(), HamlibLogLevel::error, true, warning);
}
