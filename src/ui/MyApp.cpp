#include "ui/MyApp.h"

#include <QApplication>

#include "chat/AppSettings.h"
#include "chat/ChatViewModel.h"
#include "rig/HamlibLog.h"
#include "ui/ExitSignalNotifier.h"
#include "ui/HamlibLogView.h"
#include "ui/IdleSleepInhibitor.h"
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
  // Every way out of the main loop passes here, closing the last window included.
  connect(qApp, &QCoreApplication::aboutToQuit, this, &MyApp::releasePushToTalk);
}

MyApp::~MyApp() {
  delete settingsWindow_.data();
  delete hamlibLogWindow_.data();
  releasePushToTalk();
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

void MyApp::quit(int exitCode) {
  releasePushToTalk();
  QCoreApplication::exit(exitCode);
}

void MyApp::releasePushToTalk() { viewModel_->releasePushToTalkBeforeExit(); }
