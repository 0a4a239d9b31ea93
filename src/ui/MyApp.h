// The program as a whole. It owns the three shared objects of the process (the settings, the
// Hamlib log and the chat controller) for the life of the process, keeps the machine from idle
// sleep, installs the rig library's log sink before anything talks to the rig, and offers the
// main window with its menus and the single Settings and Hamlib Log windows.
//
// Main thread. Make it after QApplication, which sets the process locale that Hamlib's loading
// relies on. Ending the program by any way (Quit, closing the main window, SIGINT or SIGTERM)
// releases push-to-talk first, so the transmitter is never left keyed.
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

  // Leaves the main loop with exitCode; push-to-talk is released on the way out.
  void quit(int exitCode = 0);

 private:
  void releasePushToTalk();

  AppSettings& settings_;
  HamlibLog& hamlibLog_;
  std::unique_ptr<IdleSleepInhibitor> sleepActivity_;
  std::unique_ptr<ExitSignalNotifier> exitSignals_;
  std::unique_ptr<ChatViewModel> viewModel_;
  std::unique_ptr<MainWindow> mainWindow_;
  QPointer<SettingsView> settingsWindow_;
  QPointer<HamlibLogView> hamlibLogWindow_;
};
