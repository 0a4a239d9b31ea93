#include "ui/SettingsTransceiverPage.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QToolButton>
#include <algorithm>

#include "chat/AppSettings.h"
#include "chat/TextCharacters.h"
#include "rig/RigControl.h"
#include "ui/SymbolIcon.h"
#include "ui/UiLook.h"

namespace {

const char* const kModelLabel = QT_TRANSLATE_NOOP("SettingsTransceiverPage", "Rig Model:");
const char* const kLoading = QT_TRANSLATE_NOOP("SettingsTransceiverPage", "Loading...");
const char* const kNoModel = QT_TRANSLATE_NOOP("SettingsTransceiverPage", "None");
const char* const kModeLabel = QT_TRANSLATE_NOOP("SettingsTransceiverPage", "Mode:");
const char* const kModeHelp = QT_TRANSLATE_NOOP(
    "SettingsTransceiverPage", "Set on the rig when connecting and when changing frequency");
const char* const kDefault = QT_TRANSLATE_NOOP("SettingsTransceiverPage", "Default");
const char* const kDefaultOf = QT_TRANSLATE_NOOP("SettingsTransceiverPage", "Default (%1)");
const char* const kPortLabel = QT_TRANSLATE_NOOP("SettingsTransceiverPage", "Rig Port:");
const char* const kPortPrompt = QT_TRANSLATE_NOOP("SettingsTransceiverPage", "/dev/ttyUSB0");
const char* const kPortMenuHelp =
    QT_TRANSLATE_NOOP("SettingsTransceiverPage", "Choose a detected port");
const char* const kConnect = QT_TRANSLATE_NOOP("SettingsTransceiverPage", "Connect");
const char* const kConnecting = QT_TRANSLATE_NOOP("SettingsTransceiverPage", "Connecting...");
const char* const kSelectModelFirst =
    QT_TRANSLATE_NOOP("SettingsTransceiverPage", "Select a rig model first.");
const char* const kVersionLabel = QT_TRANSLATE_NOOP("SettingsTransceiverPage", "Hamlib Version:");
const char* const kLibraryLabel = QT_TRANSLATE_NOOP("SettingsTransceiverPage", "Hamlib Library:");
const char* const kNotFound = QT_TRANSLATE_NOOP("SettingsTransceiverPage", "Not found");
// Linux names USB and ACM serial adapters so.
const QStringList kSerialPortPatterns = {QStringLiteral("ttyUSB*"), QStringLiteral("ttyACM*")};

struct SerialOptions {
  RigSerialSetting setting;
  const char* label;
  QStringList values;  // stored and sent as they are
};
const std::array<SerialOptions, kAllRigSerialSettings.size()> kSerialOptions = {{
    {RigSerialSetting::baudRate,
     QT_TRANSLATE_NOOP("SettingsTransceiverPage", "Rig Baud Rate:"),
     {"1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"}},
    {RigSerialSetting::dataBits,
     QT_TRANSLATE_NOOP("SettingsTransceiverPage", "Data Bits:"),
     {"5", "6", "7", "8"}},
    {RigSerialSetting::stopBits,
     QT_TRANSLATE_NOOP("SettingsTransceiverPage", "Stop Bits:"),
     {"1", "2"}},
    {RigSerialSetting::parity,
     QT_TRANSLATE_NOOP("SettingsTransceiverPage", "Parity:"),
     {"None", "Odd", "Even", "Mark", "Space"}},
    {RigSerialSetting::handshake,
     QT_TRANSLATE_NOOP("SettingsTransceiverPage", "Handshake:"),
     {"None", "XONXOFF", "Hardware"}},
    {RigSerialSetting::dtrState,
     QT_TRANSLATE_NOOP("SettingsTransceiverPage", "DTR:"),
     {"ON", "OFF"}},
    {RigSerialSetting::rtsState,
     QT_TRANSLATE_NOOP("SettingsTransceiverPage", "RTS:"),
     {"ON", "OFF"}},
}};

QString tr(const char* text) {
  return QCoreApplication::translate("SettingsTransceiverPage", text);
}

// How a stored serial value reads in a picker.
QString displayedSerialValue(const QString& value) {
  if (value == QLatin1String("XONXOFF")) return QStringLiteral("XON/XOFF");
  if (value == QLatin1String("ON")) return QStringLiteral("On");
  if (value == QLatin1String("OFF")) return QStringLiteral("Off");
  return value;
}

QString textOrNotFound(const std::optional<std::string>& text) {
  return text ? QString::fromStdString(*text) : tr(kNotFound);
}

// Blanks and tabs trimmed from both ends.
QString trimmedPort(const QString& port) { return TextCharacters::trimmedBlanksAndTabs(port); }

}  // namespace

const QString SettingsTransceiverPage::kLocalRigDaemonPort = QStringLiteral("127.0.0.1:4532");

struct SettingsTransceiverPage::LibraryAnswer {
  std::vector<RigInfo> rigs;
  QString version;
  QString path;
};

QStringList SettingsTransceiverPage::discoverSerialPorts(const QString& folder) {
  // QDir lists nothing when the folder cannot be read; the daemon entry stays.
  QStringList names =
      QDir(folder).entryList(kSerialPortPatterns, QDir::System | QDir::Files, QDir::NoSort);
  std::sort(names.begin(), names.end());  // plain order, by character code
  QStringList ports;
  for (const QString& name : names) ports.append(QDir(folder).filePath(name));
  ports.append(kLocalRigDaemonPort);
  return ports;
}

SettingsTransceiverPage::SettingsTransceiverPage(AppSettings& settings, QWidget* parent)
    : SettingsPage(settings, parent) {
  QFormLayout* form = addForm(Placement::fill);

  modelPicker_ = new QComboBox(this);
  modelPicker_->setObjectName(QStringLiteral("modelPicker"));
  connect(modelPicker_, &QComboBox::activated, this, [this](int index) {
    const QVariant model = modelPicker_->itemData(index);
    setSelectedRigModel(model.isValid() ? std::optional(model.toLongLong()) : std::nullopt);
  });
  form->addRow(tr(kModelLabel), modelPicker_);

  modePicker_ = new QComboBox(this);
  modePicker_->setObjectName(QStringLiteral("modePicker"));
  modePicker_->setToolTip(tr(kModeHelp));
  connect(modePicker_, &QComboBox::activated, this, [this](int index) {
    rigMode_ = modePicker_->itemData(index).toString();
    showRigModes();
  });
  form->addRow(tr(kModeLabel), modePicker_);

  addPortRow(form);

  for (std::size_t i = 0; i < kSerialOptions.size(); ++i) {
    const SerialOptions& options = kSerialOptions[i];
    auto* picker = new QComboBox(this);
    picker->setObjectName(QString::fromLatin1(rawValue(options.setting)));
    connect(picker, &QComboBox::activated, this,
            [this, picker, setting = options.setting](int index) {
              rigSerial_.values[setting] = picker->itemData(index).toString().toStdString();
            });
    serialPickers_[i] = picker;
    form->addRow(tr(options.label), picker);
  }

  connectButton_ = new QPushButton(tr(kConnect), this);
  connectButton_->setObjectName(QStringLiteral("connect"));
  connectButton_->setAutoDefault(false);
  connectButton_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  connect(connectButton_, &QPushButton::clicked, this, &SettingsTransceiverPage::connectRig);
  form->addRow(QString(), connectButton_);
  rigStatusLabel_ = new QLabel(this);
  rigStatusLabel_->setObjectName(QStringLiteral("rigStatus"));
  rigStatusLabel_->setWordWrap(true);
  rigStatusLabel_->setTextFormat(Qt::PlainText);  // the rig library's words
  form->addRow(QString(), rigStatusLabel_);

  hamlibVersionLabel_ = new QLabel(this);
  hamlibLibraryLabel_ = new QLabel(this);
  hamlibVersionLabel_->setObjectName(QStringLiteral("hamlibVersion"));
  hamlibLibraryLabel_->setObjectName(QStringLiteral("hamlibLibrary"));
  for (QLabel* label : {hamlibVersionLabel_, hamlibLibraryLabel_}) {
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    // The two lines a version or a path wraps to, from the start: the window does not grow
    // under the operator's pointer when the library answers.
    label->setFixedHeight(2 * label->fontMetrics().lineSpacing());
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  }
  form->addRow(tr(kVersionLabel), hamlibVersionLabel_);
  form->addRow(tr(kLibraryLabel), hamlibLibraryLabel_);

  showRigModels();
  showRigModes();
  showRigSerial();
  showRigStatus();
}

void SettingsTransceiverPage::addPortRow(QFormLayout* form) {
  auto* row = new QHBoxLayout();
  portField_ = new QLineEdit(this);
  portField_->setObjectName(QStringLiteral("port"));
  portField_->setPlaceholderText(tr(kPortPrompt));
  auto* menuButton = new QToolButton(this);
  menuButton->setObjectName(QStringLiteral("portMenu"));
  menuButton->setToolTip(tr(kPortMenuHelp));
  menuButton->setAutoRaise(true);
  menuButton->setIcon(SymbolIcon::icon(SymbolIcon::Symbol::chevronDown, QStringLiteral("go-down"),
                                       palette().color(QPalette::WindowText)));
  menuButton->setPopupMode(QToolButton::InstantPopup);
  menuButton->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; }"));
  auto* menu = new QMenu(menuButton);
  connect(menu, &QMenu::aboutToShow, this, [this, menu] {
    menu->clear();
    for (const QString& port : discoveredPorts_) {
      menu->addAction(port, this, [this, port] { portField_->setText(port); });
    }
  });
  menuButton->setMenu(menu);
  row->addWidget(portField_, 1);
  row->addWidget(menuButton, 0, Qt::AlignVCenter);
  form->addRow(tr(kPortLabel), row);
}

void SettingsTransceiverPage::loadSettings() {
  portField_->setText(settings().rigPort());
  rigSerial_ = settings().rigSerial();
  rigMode_ = settings().rigMode();
  isConnecting_ = false;
  rigStatusText_.clear();
  rigStatusIsError_ = false;
  showRigStatus();
  selectedRigModel_ = settings().rigModel();
  loadRigDetails();
  discoveredPorts_ = discoverSerialPorts();
  loadRigList();
}

void SettingsTransceiverPage::apply() {
  settings().setRigModel(selectedRigModel_);
  settings().setRigPort(trimmedPort(portField_->text()));
  settings().setRigSerial(rigSerial_);
  settings().setRigMode(rigMode_);
}

void SettingsTransceiverPage::loadRigList() {
  // The list does not depend on the selection, so no model guard; the library's version and
  // path come with it, after the list has loaded the library.
  isLoadingRigs_ = true;
  showRigModels();
  runWhileShown(
      [] {
        LibraryAnswer answer;
        answer.rigs = RigControl::listRigs();
        answer.version = textOrNotFound(RigControl::hamlibVersion());
        answer.path = textOrNotFound(RigControl::hamlibPath());
        return answer;
      },
      [this](const LibraryAnswer& answer) {
        rigs_ = answer.rigs;
        isLoadingRigs_ = false;
        showRigModels();
        hamlibVersionLabel_->setText(answer.version);
        hamlibLibraryLabel_->setText(answer.path);
        emit heightChanged();
      });
}

void SettingsTransceiverPage::setSelectedRigModel(std::optional<qint64> model) {
  if (model == selectedRigModel_) return;
  selectedRigModel_ = model;
  loadRigDetails();
}

void SettingsTransceiverPage::loadRigDetails() {
  rigSerialDefaults_.clear();
  rigModes_.clear();
  showRigModels();
  showRigModes();
  showRigSerial();
  if (!selectedRigModel_) return;
  const qint64 model = *selectedRigModel_;
  // Each answer counts only while its model is still the chosen one.
  runWhileShown([model] { return RigControl::serialDefaults(model); },
                [this, model](const std::map<RigSerialSetting, std::string>& defaults) {
                  if (selectedRigModel_ != model) return;
                  rigSerialDefaults_ = defaults;
                  showRigSerial();
                });
  runWhileShown([model] { return RigControl::supportedModes(model); },
                [this, model](const std::vector<std::string>& modes) {
                  if (selectedRigModel_ != model) return;
                  rigModes_ = modes;
                  showRigModes();
                });
}

void SettingsTransceiverPage::connectRig() {
  if (!selectedRigModel_) {
    rigStatusIsError_ = true;
    rigStatusText_ = tr(kSelectModelFirst);
    showRigStatus();
    return;
  }
  const qint64 model = *selectedRigModel_;
  const std::string port = trimmedPort(portField_->text()).toStdString();
  const RigSerialConfig serial = rigSerial_;
  const std::string mode = rigMode_.toStdString();
  isConnecting_ = true;
  rigStatusIsError_ = false;
  rigStatusText_ = tr(kConnecting);
  showRigStatus();
  runWhileShown(
      [model, port, serial, mode] {
        return RigControl::readStatus(model, port, serial, RigControl::concreteMode(model, mode));
      },
      [this](const RigConnectionResult& result) {
        rigStatusText_ = QString::fromStdString(result.message);
        rigStatusIsError_ = !result.success;
        isConnecting_ = false;
        showRigStatus();
      });
}

void SettingsTransceiverPage::showRigModels() {
  const QSignalBlocker blocker(modelPicker_);
  modelPicker_->clear();
  modelPicker_->addItem(tr(isLoadingRigs_ ? kLoading : kNoModel));
  for (const RigInfo& rig : rigs_) {
    modelPicker_->addItem(QString::fromStdString(rig.label), QVariant::fromValue(rig.model));
  }
  modelPicker_->setCurrentIndex(
      selectedRigModel_ ? modelPicker_->findData(QVariant::fromValue(*selectedRigModel_)) : 0);
  connectButton_->setEnabled(!isConnecting_ && selectedRigModel_.has_value());
}

void SettingsTransceiverPage::showRigModes() {
  const QSignalBlocker blocker(modePicker_);
  modePicker_->clear();
  const QString defaultMode = QString::fromUtf8(kRigDefaultValue);
  QStringList modes;
  for (const std::string& mode : rigModes_) modes.append(QString::fromStdString(mode));
  if (modes.isEmpty()) {
    modePicker_->addItem(tr(kDefault), defaultMode);
  } else {
    const QString concrete = QString::fromStdString(defaultRigMode(rigModes_));
    modePicker_->addItem(tr(kDefaultOf).arg(concrete), defaultMode);
  }
  // A saved mode the model does not report stays selectable, as the last option.
  if (rigMode_ != defaultMode && !modes.contains(rigMode_)) modes.append(rigMode_);
  for (const QString& mode : modes) modePicker_->addItem(mode, mode);
  modePicker_->setCurrentIndex(modePicker_->findData(rigMode_));
}

void SettingsTransceiverPage::showRigSerial() {
  for (std::size_t i = 0; i < kSerialOptions.size(); ++i) {
    const SerialOptions& options = kSerialOptions[i];
    QComboBox* picker = serialPickers_[i];
    const QSignalBlocker blocker(picker);
    picker->clear();
    const auto modelDefault = rigSerialDefaults_.find(options.setting);
    picker->addItem(
        modelDefault == rigSerialDefaults_.end()
            ? tr(kDefault)
            : tr(kDefaultOf)
                  .arg(displayedSerialValue(QString::fromStdString(modelDefault->second))),
        QString::fromUtf8(kRigDefaultValue));
    for (const QString& value : options.values) {
      picker->addItem(displayedSerialValue(value), value);
    }
    picker->setCurrentIndex(
        picker->findData(QString::fromStdString(rigSerial_.value(options.setting))));
  }
}

void SettingsTransceiverPage::showRigStatus() {
  connectButton_->setEnabled(!isConnecting_ && selectedRigModel_.has_value());
  rigStatusLabel_->setText(rigStatusText_);
  rigStatusLabel_->setVisible(!rigStatusText_.isEmpty());
  QPalette palette = rigStatusLabel_->palette();
  palette.setColor(QPalette::WindowText, rigStatusIsError_
                                             ? UiLook::kErrorColour
                                             : this->palette().color(QPalette::WindowText));
  rigStatusLabel_->setPalette(palette);
  emit heightChanged();
}
