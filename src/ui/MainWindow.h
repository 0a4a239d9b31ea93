// The program's main window: ContentView as its whole content and the menu bar with the File
// ("Export...", "Settings...", "Quit"), "Frequency" and "Window" ("Hamlib Log") menus. Export and
// the frequencies call the controller directly; opening the other windows and quitting are the
// application's, so they leave here as signals. Main thread.
#pragma once

#include <QMainWindow>
#include <array>

class AppSettings;
class ChatViewModel;
class ContentView;
class QAction;

class MainWindow final : public QMainWindow {
  Q_OBJECT

 public:
  // The Frequency menu's entries, in this order; each tunes to exactly its value.
  static constexpr std::array<double, 13> frequencyMenuMHz = {
      1.838,  3.575,  3.590,  7.090,  7.043,  10.140, 10.143,
      14.080, 14.090, 18.100, 21.090, 24.920, 28.090};

  MainWindow(ChatViewModel& model, AppSettings& settings, QWidget* parent = nullptr);

  ContentView& contentView() const { return *contentView_; }
  QAction& exportAction() const { return *exportAction_; }

 signals:
  void settingsRequested();
  void hamlibLogRequested();
  void quitRequested();

 private:
  void buildMenus(ChatViewModel& model);

  ContentView* contentView_;
  QAction* exportAction_ = nullptr;
};
