// The settings window's Transceiver tab: rig model, mode, port, the seven serial parameters, the
// connection test and the rig library's version and path. Reads and writes AppSettings' rig
// model, port, serial parameters and mode; asks RigControl for the model list, a model's modes and
// serial defaults and the connection test, and the rig library for its version and path, each on
// the thread pool. Answers for a model no longer chosen, or from an earlier showing, are dropped.
// Main thread.
#pragma once

#include <QString>
#include <QStringList>
#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "rig/RigTypes.h"
#include "ui/SettingsPage.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

class SettingsTransceiverPage final : public SettingsPage {
  Q_OBJECT

 public:
  // The local network rig daemon, always the last entry of the port menu.
  static const QString kLocalRigDaemonPort;

  explicit SettingsTransceiverPage(AppSettings& settings, QWidget* parent = nullptr);

  // The serial adapters in the folder (ttyUSB*, ttyACM*) as paths, sorted by plain string order,
  // then kLocalRigDaemonPort. A folder that cannot be listed gives only that entry.
  static QStringList discoverSerialPorts(const QString& folder = QStringLiteral("/dev"));

  void apply() override;

 protected:
  void loadSettings() override;

 private:
  struct LibraryAnswer;

  void addPortRow(QFormLayout* form);
  void loadRigList();
  void setSelectedRigModel(std::optional<qint64> model);
  void loadRigDetails();
  void connectRig();
  void showRigModels();
  void showRigModes();
  void showRigSerial();
  void showRigStatus();

  // The edited copy and what the rig library said of the chosen model.
  std::vector<RigInfo> rigs_;
  bool isLoadingRigs_ = false;
  std::optional<qint64> selectedRigModel_;
  QStringList discoveredPorts_;
  RigSerialConfig rigSerial_;
  std::map<RigSerialSetting, std::string> rigSerialDefaults_;
  QString rigMode_ = QString::fromUtf8(kRigDefaultValue);
  std::vector<std::string> rigModes_;
  bool isConnecting_ = false;
  QString rigStatusText_;
  bool rigStatusIsError_ = false;

  QComboBox* modelPicker_ = nullptr;
  QComboBox* modePicker_ = nullptr;
  QLineEdit* portField_ = nullptr;
  std::array<QComboBox*, kAllRigSerialSettings.size()> serialPickers_{};
  QPushButton* connectButton_ = nullptr;
  QLabel* rigStatusLabel_ = nullptr;
  QLabel* hamlibVersionLabel_ = nullptr;
  QLabel* hamlibLibraryLabel_ = nullptr;
};
