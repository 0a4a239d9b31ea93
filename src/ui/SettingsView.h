// The "Settings" window: a frame around three pages (General, Audio, Transceiver), each a private
// copy of its part of the station's settings, written back to AppSettings only by OK. Every
// showing has the pages reload the saved settings, and every close has them undo their live
// previews. Shows the settings store's load and save errors. Calls the controller's
// applyAudioSettings, needsRigModeSet and refreshRigStatusNow after saving. Being a dialog, Return
// means OK and Escape Cancel from anywhere in it, except while a drop-down holds the keys;
// Ctrl+Tab, Ctrl+PgDown, Ctrl+Shift+Tab and Ctrl+PgUp change the tab from anywhere in it. Each
// showing puts the keys in the first field of the tab shown. Main thread.
#pragma once

#include <QDialog>
#include <array>

class AppSettings;
class ChatViewModel;
class QLabel;
class QTabWidget;
class SettingsPage;

class SettingsView final : public QDialog {
  Q_OBJECT

 public:
  SettingsView(AppSettings& settings, ChatViewModel& model, QWidget* parent = nullptr);

  // "OK": writes every page into the settings, saves, has the controller apply the audio settings
  // (restarting capture only for a new input), asks for the rig mode to be set and the rig status
  // refreshed, and closes. A failed save keeps the window open and shows
  // why.
  void applyAndClose();
  // "Cancel": closes; the close undoes the previews.
  void cancel();

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void showError(const QString& text);
  void fitSize();

  AppSettings& settings_;
  ChatViewModel& model_;
  QTabWidget* tabs_ = nullptr;
  std::array<SettingsPage*, 3> pages_{};
  QLabel* errorLabel_ = nullptr;
};
