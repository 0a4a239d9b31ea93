// The settings window's General tab: the callsign, the three message options and the sound test.
// Reads and writes AppSettings' callsign, capitalizeMessages, appendCallsign and
// playNewMessageSound; the test calls ChatViewModel::previewNewMessageSound and shows the answer
// to its latest request a moment later as it is, unless the window was shown again since.
// Main thread.
#pragma once

#include <cstdint>

#include "ui/SettingsPage.h"

class ChatViewModel;
class QCheckBox;
class QLabel;
class QLineEdit;

class SettingsGeneralPage final : public SettingsPage {
  Q_OBJECT

 public:
  SettingsGeneralPage(AppSettings& settings, ChatViewModel& model, QWidget* parent = nullptr);

  void apply() override;

 protected:
  void loadSettings() override;

 private:
  ChatViewModel& model_;
  QLineEdit* callsignField_ = nullptr;
  QCheckBox* capitalizeToggle_ = nullptr;
  QCheckBox* appendCallsignToggle_ = nullptr;
  QCheckBox* newMessageSoundToggle_ = nullptr;
  QLabel* soundTestLabel_ = nullptr;
  // The sound test whose status the label is for; 0 for none.
  uint64_t soundTestRequest_ = 0;
};
