// The "Settings" window: a private copy of the station's settings in three tabs (General, Audio,
// Transceiver), written back to AppSettings only by OK. While it is open, gain and output-device
// changes are previewed live through the controller's LiveGain, playback gain and previewed
// output; every close puts the saved values back. Rig-library and audio-server queries run on
// the thread pool; their answers are dropped once the window has closed or another model is
// chosen. Every showing reloads the saved settings. Being a dialog, Return means OK and Escape
// Cancel from anywhere in it, except while a drop-down holds the keys. Main thread.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <QVector>
#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "audio/AudioDevices.h"
#include "rig/RigTypes.h"

class AppSettings;
class ChatViewModel;
class HoldButton;
class LevelMeter;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QTabWidget;
class QToolButton;

class QFormLayout;

class SettingsView final : public QDialog {
  Q_OBJECT

 public:
  // The local network rig daemon, always the last entry of the port menu.
  static const QString kLocalRigDaemonPort;

  SettingsView(AppSettings& settings, ChatViewModel& model, QWidget* parent = nullptr);
  ~SettingsView() override;

  // The serial adapters in the folder (ttyUSB*, ttyACM*) as paths, sorted by plain string order,
  // then kLocalRigDaemonPort. A folder that cannot be listed gives only that entry.
  static QStringList discoverSerialPorts(const QString& folder = QStringLiteral("/dev"));

  // "OK": writes the state into the settings, saves, restarts audio, asks for the rig mode to be
  // set and the rig status refreshed, and closes. A failed save keeps the window open and shows
  // why.
  void applyAndClose();
  // "Cancel": closes; the close undoes the previews.
  void cancel();

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  struct AudioDeviceLists;
  struct RigLibraryAnswer;

  static constexpr int kFormPadding = 8;

  // The frame and the General tab (SettingsView.cpp).
  // A tab page's padded form, kept at the top of the page.
  static QFormLayout* addForm(QWidget* page);
  QWidget* buildGeneralTab();
  void loadState();
  void showError(const QString& text);
  void fitHeight();

  // The Audio tab (SettingsAudioTab.cpp).
  QWidget* buildAudioTab();
  void loadAudioDevices();
  void setAudioDevices(const AudioDeviceLists& lists);
  void setSelectedInputUID(const std::optional<QString>& uid);
  void setSelectedOutputUID(const std::optional<QString>& uid);
  void setInputGainDb(double gainDb);
  void setOutputGainDb(double gainDb);
  void testTonePressChanged(bool pressed);
  void endAudioPreview();

  // The Transceiver tab (SettingsTransceiverTab.cpp).
  QWidget* buildTransceiverTab();
  void loadRigList();
  void setSelectedRigModel(std::optional<qint64> model);
  void loadRigDetails();
  void setRigMode(const QString& mode);
  void setRigSerialValue(RigSerialSetting setting, const QString& value);
  void connectRig();
  void showRigModels();
  void showRigModes();
  void showRigSerial();
  void showRigStatus();
  // Blanks and tabs trimmed from both ends.
  static QString trimmedPort(const QString& port);

  AppSettings& settings_;
  ChatViewModel& model_;
  // Counts showings and closes: an answer started in an earlier one is dropped.
  quint64 showing_ = 0;

  // The edited copy.
  QString callsign_;
  bool capitalizeMessages_ = false;
  bool appendCallsign_ = false;
  bool playNewMessageSound_ = false;
  std::optional<QString> soundTestResult_;
  QVector<AudioDeviceInfo> inputDevices_;
  QVector<AudioDeviceInfo> outputDevices_;
  std::optional<QString> selectedInputUID_;
  std::optional<QString> selectedOutputUID_;
  double inputGainDb_ = 0;
  double outputGainDb_ = 0;
  std::vector<RigInfo> rigs_;
  bool isLoadingRigs_ = false;
  std::optional<qint64> selectedRigModel_;
  QString rigPort_;
  QStringList discoveredPorts_;
  RigSerialConfig rigSerial_;
  std::map<RigSerialSetting, std::string> rigSerialDefaults_;
  QString rigMode_ = QString::fromUtf8(kRigDefaultValue);
  std::vector<std::string> rigModes_;
  bool isConnecting_ = false;
  QString rigStatusText_;
  bool rigStatusIsError_ = false;

  // General.
  QTabWidget* tabs_ = nullptr;
  QLineEdit* callsignField_ = nullptr;
  QCheckBox* capitalizeToggle_ = nullptr;
  QCheckBox* appendCallsignToggle_ = nullptr;
  QCheckBox* newMessageSoundToggle_ = nullptr;
  QLabel* soundTestLabel_ = nullptr;
  QLabel* errorLabel_ = nullptr;
  QPushButton* okButton_ = nullptr;
  QPushButton* cancelButton_ = nullptr;
  // Audio.
  QComboBox* inputPicker_ = nullptr;
  QComboBox* outputPicker_ = nullptr;
  LevelMeter* inputMeter_ = nullptr;
  LevelMeter* outputMeter_ = nullptr;
  QSlider* inputGainSlider_ = nullptr;
  QSlider* outputGainSlider_ = nullptr;
  QLabel* inputGainReadout_ = nullptr;
  QLabel* outputGainReadout_ = nullptr;
  HoldButton* testToneButton_ = nullptr;
  // Transceiver.
  QComboBox* modelPicker_ = nullptr;
  QComboBox* modePicker_ = nullptr;
  QLineEdit* portField_ = nullptr;
  QToolButton* portMenuButton_ = nullptr;
  std::array<QComboBox*, kAllRigSerialSettings.size()> serialPickers_{};
  QPushButton* connectButton_ = nullptr;
  QLabel* rigStatusLabel_ = nullptr;
  QLabel* hamlibVersionLabel_ = nullptr;
  QLabel* hamlibLibraryLabel_ = nullptr;
};
