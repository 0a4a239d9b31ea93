// The settings window's Audio tab: device pickers, level meters, gain sliders and the hold-to-play
// test tone. Reads the audio server's device lists (on the thread pool), AppSettings' audio devices
// and gains, and the controller's levels and isSending. Gain and output-device changes are
// previewed at once through the controller's LiveGain, playback gain and previewed output, and the
// window's close puts the saved values back; the tone is the controller's playTestTone, stopped on
// release unless a transmission has started. Main thread.
#pragma once

#include <QString>
#include <optional>

#include "ui/SettingsPage.h"

class ChatViewModel;
class HoldButton;
class LevelMeter;
class QComboBox;
class QLabel;
class QSlider;

class SettingsAudioPage final : public SettingsPage {
  Q_OBJECT

 public:
  SettingsAudioPage(AppSettings& settings, ChatViewModel& model, QWidget* parent = nullptr);

  void apply() override;

 protected:
  void loadSettings() override;
  void endPreviews() override;

 private:
  struct DeviceLists;
  struct GainRow {
    QSlider* slider;
    QLabel* readout;
  };

  GainRow addGainRow(QFormLayout* form, const char* label, int minimum, int maximum,
                     const char* name);
  static void showGain(const GainRow& row, double gainDb);
  void setDevices(const DeviceLists& lists);
  void setSelectedInputUID(const std::optional<QString>& uid);
  void setSelectedOutputUID(const std::optional<QString>& uid);
  void setInputGainDb(double gainDb);
  void setOutputGainDb(double gainDb);
  void testTonePressChanged(bool pressed);

  ChatViewModel& model_;
  // The edited copy. A saved device that is not present stays chosen though no picker row has it.
  std::optional<QString> selectedInputUID_;
  std::optional<QString> selectedOutputUID_;
  double inputGainDb_ = 0;
  double outputGainDb_ = 0;

  QComboBox* inputPicker_ = nullptr;
  QComboBox* outputPicker_ = nullptr;
  LevelMeter* inputMeter_ = nullptr;
  LevelMeter* outputMeter_ = nullptr;
  GainRow inputGain_{};
  GainRow outputGain_{};
  HoldButton* testToneButton_ = nullptr;
};
