// The program as a whole. It owns the three shared objects of the process (the settings, the
// Hamlib log and the chat controller) for the life of the process, keeps the machine from idle
// sleep, installs the rig library's log sink before anything talks to the rig, and offers the
// main window with its menus and the single Settings and Hamlib Log windows.
//
// Main thread. Make it after QApplication, which sets the process locale that Hamlib's loading
// relies on. Every way out (Quit, closing the main window, SIGINT, SIGTERM, SIGHUP, the display
// going away) releases push-to-talk first when it may be on, so the transmitter is never left
// keyed; when the rig does not answer, the program still ends within about five seconds and
// says on stderr and in the Hamlib log that push-to-talk may still be keyed.
#pragma once

#include <QObject>
#include <QPointer>
#include <memory>

class AppSettings;
class ChatViewModel;
class ExitSignalNotifier;
class HamlibLog;
class HamlibLogView;
class IdleSleepInhibitor;
class MainWindow;
class SettingsView;

class MyApp final : public QObject {
  Q_OBJECT

 public:
  explicit MyApp(QObject* parent = nullptr);
  ~MyApp() override;

  AppSettings& settings() const { return settings_; }
  HamlibLog& hamlibLog() const { return hamlibLog_; }
  ChatViewModel& viewModel() const { return *viewModel_; }
  MainWindow& mainWindow() const { return *mainWindow_; }

  // Show the window, making it first when none is open and raising it when one is.
  void openSettings();
  void openHamlibLog();
  // The windows while they are open.
  SettingsView* settingsWindow() const;
  HamlibLogView* hamlibLogWindow() const;

  // Closes the windows and leaves the main loop with exitCode once push-to-talk is released (or
  // the rig failed to answer in time). Asked again meanwhile, it ends at once.
  void quit(int exitCode = 0);

  // For an exit already under way outside the main loop (the display gone): releases
  // push-to-talk, waiting for at most the exit's limit. Main thread.
  void releasePushToTalkNow();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void endMainLoop(bool released);
  void reportPushToTalkMayBeOn();

  AppSettings& settings_;
  HamlibLog& hamlibLog_;
  std::unique_ptr<IdleSleepInhibitor> sleepActivity_;
  std::unique_ptr<ExitSignalNotifier> exitSignals_;
  std::unique_ptr<ChatViewModel> viewModel_;
  std::unique_ptr<MainWindow> mainWindow_;
  QPointer<SettingsView> settingsWindow_;
  QPointer<HamlibLogView> hamlibLogWindow_;
  bool exiting_ = false;
  bool ended_ = false;
  int exitCode_ = 0;
};
