// The settings window's Transceiver tab: rig model, mode, port, the seven serial parameters, the
// connection test and the rig library's version and path. Every rig-library call runs on the
// thread pool; answers for a model no longer selected, or from an earlier showing, are dropped.
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

#include "chat/TextCharacters.h"
#include "rig/RigBridge.h"
#include "rig/RigControl.h"
#include "ui/BackgroundTask.h"
#include "ui/SettingsView.h"
#include "ui/SymbolIcon.h"
#include "ui/UiLook.h"

namespace {

const char* const kModelLabel = QT_TRANSLATE_NOOP("SettingsView", "Rig Model:");
const char* const kLoading = QT_TRANSLATE_NOOP("SettingsView", "Loading...");
const char* const kNoModel = QT_TRANSLATE_NOOP("SettingsView", "None");
const char* const kModeLabel = QT_TRANSLATE_NOOP("SettingsView", "Mode:");
const char* const kModeHelp =
    QT_TRANSLATE_NOOP("SettingsView", "Set on the rig when connecting and when changing frequency");
const char* const kDefault = QT_TRANSLATE_NOOP("SettingsView", "Default");
const char* const kDefaultOf = QT_TRANSLATE_NOOP("SettingsView", "Default (%1)");
const char* const kPortLabel = QT_TRANSLATE_NOOP("SettingsView", "Rig Port:");
const char* const kPortPrompt = QT_TRANSLATE_NOOP("SettingsView", "/dev/ttyUSB0");
const char* const kPortMenuHelp = QT_TRANSLATE_NOOP("SettingsView", "Choose a detected port");
const char* const kConnect = QT_TRANSLATE_NOOP("SettingsView", "Connect");
const char* const kConnecting = QT_TRANSLATE_NOOP("SettingsView", "Connecting...");
const char* const kSelectModelFirst =
    QT_TRANSLATE_NOOP("SettingsView", "Select a rig model first.");
const char* const kVersionLabel = QT_TRANSLATE_NOOP("SettingsView", "Hamlib Version:");
const char* const kLibraryLabel = QT_TRANSLATE_NOOP("SettingsView", "Hamlib Library:");
const char* const kNotFound = QT_TRANSLATE_NOOP("SettingsView", "Not found");
// Linux names USB and ACM serial adapters so.
const QStringList kSerialPortPatterns = {QStringLiteral("ttyUSB*"), QStringLiteral("ttyACM*")};

struct SerialOptions {
  RigSerialSetting setting;
  const char* label;
  QStringList values;  // stored and sent as they are
};
const std::array<SerialOptions, kAllRigSerialSettings.size()> kSerialOptions = {{
    {RigSerialSetting::baudRate,
     QT_TRANSLATE_NOOP("SettingsView", "Rig Baud Rate:"),
     {"1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"}},
    {RigSerialSetting::dataBits,
     QT_TRANSLATE_NOOP("SettingsView", "Data Bits:"),
     {"5", "6", "7", "8"}},
    {RigSerialSetting::stopBits, QT_TRANSLATE_NOOP("SettingsView", "Stop Bits:"), {"1", "2"}},
    {RigSerialSetting::parity,
     QT_TRANSLATE_NOOP("SettingsView", "Parity:"),
     {"None", "Odd", "Even", "Mark", "Space"}},
    {RigSerialSetting::handshake,
     QT_TRANSLATE_NOOP("SettingsView", "Handshake:"),
     {"None", "XONXOFF", "Hardware"}},
    {RigSerialSetting::dtrState, QT_TRANSLATE_NOOP("SettingsView", "DTR:"), {"ON", "OFF"}},
    {RigSerialSetting::rtsState, QT_TRANSLATE_NOOP("SettingsView", "RTS:"), {"ON", "OFF"}},
}};

QString tr(const char* text) { return QCoreApplication::translate("SettingsView", text); }

// How a stored serial value reads in a picker.
QString displayedSerialValue(const QString& value) {
  if (value == QLatin1String("XONXOFF")) return QStringLiteral("XON/XOFF");
  if (value == QLatin1String("ON")) return QStringLiteral("On");
  if (value == QLatin1String("OFF")) return QStringLiteral("Off");
  return value;
}

QString textOrNotFound(const char* text) { return text ? QString::fromUtf8(text) : tr(kNotFound); }

}  // namespace

const QString SettingsView::kLocalRigDaemonPort = QStringLiteral("127.0.0.1:4532");

struct SettingsView::RigLibraryAnswer {
  std::vector<RigInfo> rigs;
  QString version;
  QString path;
};

QStringList SettingsView::discoverSerialPorts(const QString& folder) {
  // QDir lists nothing when the folder cannot be read; the daemon entry stays.
  QStringList names =
      QDir(folder).entryList(kSerialPortPatterns, QDir::System | QDir::Files, QDir::NoSort);
  std::sort(names.begin(), names.end());  // plain order, by character code
  QStringList ports;
  for (const QString& name : names) ports.append(QDir(folder).filePath(name));
  ports.append(kLocalRigDaemonPort);
  return ports;
}

QString SettingsView::trimmedPort(const QString& port) {
  return TextCharacters::trimmedBlanksAndTabs(port);
}

QWidget* SettingsView::buildTransceiverTab() {
  auto* page = new QWidget();
  auto* form = new QFormLayout(page);
  form->setContentsMargins(kFormPadding, kFormPadding, kFormPadding, kFormPadding);

  modelPicker_ = new QComboBox(page);
  modelPicker_->setObjectName(QStringLiteral("modelPicker"));
  connect(modelPicker_, &QComboBox::activated, this, [this](int index) {
    const QVariant model = modelPicker_->itemData(index);
    setSelectedRigModel(model.isValid() ? std::optional(model.toLongLong()) : std::nullopt);
  });
  form->addRow(tr(kModelLabel), modelPicker_);

  modePicker_ = new QComboBox(page);
  modePicker_->setObjectName(QStringLiteral("modePicker"));
  modePicker_->setToolTip(tr(kModeHelp));
  connect(modePicker_, &QComboBox::activated, this,
          [this](int index) { setRigMode(modePicker_->itemData(index).toString()); });
  form->addRow(tr(kModeLabel), modePicker_);

  auto* portRow = new QHBoxLayout();
  portField_ = new QLineEdit(page);
  portField_->setObjectName(QStringLiteral("port"));
  portField_->setPlaceholderText(tr(kPortPrompt));
  connect(portField_, &QLineEdit::textEdited, this,
          [this](const QString& text) { rigPort_ = text; });
  portMenuButton_ = new QToolButton(page);
  portMenuButton_->setObjectName(QStringLiteral("portMenu"));
  portMenuButton_->setToolTip(tr(kPortMenuHelp));
  portMenuButton_->setAutoRaise(true);
  portMenuButton_->setIcon(SymbolIcon::icon(SymbolIcon::Symbol::chevronDown,
                                            QStringLiteral("go-down"),
                                            palette().color(QPalette::WindowText)));
  portMenuButton_->setPopupMode(QToolButton::InstantPopup);
  portMenuButton_->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; }"));
  auto* portMenu = new QMenu(portMenuButton_);
  connect(portMenu, &QMenu::aboutToShow, this, [this, portMenu] {
    portMenu->clear();
    for (const QString& port : discoveredPorts_) {
      portMenu->addAction(port, this, [this, port] {
        rigPort_ = port;
        portField_->setText(port);
      });
    }
  });
  portMenuButton_->setMenu(portMenu);
  portRow->addWidget(portField_, 1);
  portRow->addWidget(portMenuButton_, 0, Qt::AlignVCenter);
  form->addRow(tr(kPortLabel), portRow);

  for (std::size_t i = 0; i < kSerialOptions.size(); ++i) {
    const SerialOptions& options = kSerialOptions[i];
    auto* picker = new QComboBox(page);
    picker->setObjectName(QString::fromLatin1(rawValue(options.setting)));
    connect(picker, &QComboBox::activated, this,
            [this, picker, setting = options.setting](int index) {
              setRigSerialValue(setting, picker->itemData(index).toString());
            });
    serialPickers_[i] = picker;
    form->addRow(tr(options.label), picker);
  }

  connectButton_ = new QPushButton(tr(kConnect), page);
  connectButton_->setObjectName(QStringLiteral("connect"));
  connectButton_->setAutoDefault(false);
  connectButton_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  connect(connectButton_, &QPushButton::clicked, this, &SettingsView::connectRig);
  form->addRow(QString(), connectButton_);
  rigStatusLabel_ = new QLabel(page);
  rigStatusLabel_->setObjectName(QStringLiteral("rigStatus"));
  rigStatusLabel_->setWordWrap(true);
  rigStatusLabel_->setTextFormat(Qt::PlainText);  // the rig library's words
  form->addRow(QString(), rigStatusLabel_);

  hamlibVersionLabel_ = new QLabel(page);
  hamlibLibraryLabel_ = new QLabel(page);
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
  return page;
}

void SettingsView::loadRigList() {
  // The list does not depend on the selection, so no model guard; the library's version and
  // path come with it, after the list has loaded the library.
  isLoadingRigs_ = true;
  showRigModels();
  const quint64 showing = showing_;
  runInBackground(
      this,
      [] {
        RigLibraryAnswer answer;
        answer.rigs = RigControl::listRigs();
        answer.version = textOrNotFound(rigbridge_hamlib_version());
        answer.path = textOrNotFound(rigbridge_hamlib_path());
        return answer;
      },
      [this, showing](const RigLibraryAnswer& answer) {
        if (showing != showing_) return;
        rigs_ = answer.rigs;
        isLoadingRigs_ = false;
        showRigModels();
        hamlibVersionLabel_->setText(answer.version);
        hamlibLibraryLabel_->setText(answer.path);
        fitHeight();
      });
}

void SettingsView::setSelectedRigModel(std::optional<qint64> model) {
  if (model == selectedRigModel_) return;
  selectedRigModel_ = model;
  loadRigDetails();
}

void SettingsView::loadRigDetails() {
  rigSerialDefaults_.clear();
  rigModes_.clear();
  showRigModels();
  showRigModes();
  showRigSerial();
  if (!selectedRigModel_) return;
  const qint64 model = *selectedRigModel_;
  const quint64 showing = showing_;
  // Each answer counts only while its model is still the chosen one.
  auto stillChosen = [this, model, showing] {
    return showing == showing_ && selectedRigModel_ == model;
  };
  runInBackground(
      this, [model] { return RigControl::serialDefaults(model); },
      [this, stillChosen](const std::map<RigSerialSetting, std::string>& defaults) {
        if (!stillChosen()) return;
        rigSerialDefaults_ = defaults;
        showRigSerial();
      });
  runInBackground(
      this, [model] { return RigControl::supportedModes(model); },
      [this, stillChosen](const std::vector<std::string>& modes) {
        if (!stillChosen()) return;
        rigModes_ = modes;
        showRigModes();
      });
}

void SettingsView::setRigMode(const QString& mode) {
  rigMode_ = mode;
  showRigModes();
}

void SettingsView::setRigSerialValue(RigSerialSetting setting, const QString& value) {
  rigSerial_.values[setting] = value.toStdString();
}

void SettingsView::connectRig() {
  if (!selectedRigModel_) {
    rigStatusIsError_ = true;
    rigStatusText_ = tr(kSelectModelFirst);
    showRigStatus();
    return;
  }
  const qint64 model = *selectedRigModel_;
  const std::string port = trimmedPort(rigPort_).toStdString();
  const RigSerialConfig serial = rigSerial_;
  const std::string mode = rigMode_.toStdString();
  isConnecting_ = true;
  rigStatusIsError_ = false;
  rigStatusText_ = tr(kConnecting);
  showRigStatus();
  const quint64 showing = showing_;
  runInBackground(
      this,
      [model, port, serial, mode] {
        return RigControl::readStatus(model, port, serial, RigControl::concreteMode(model, mode));
      },
      [this, showing](const RigConnectionResult& result) {
        if (showing != showing_) return;
        rigStatusText_ = QString::fromStdString(result.message);
        rigStatusIsError_ = !result.success;
        isConnecting_ = false;
        showRigStatus();
      });
}

void SettingsView::showRigModels() {
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

void SettingsView::showRigModes() {
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

void SettingsView::showRigSerial() {
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

void SettingsView::showRigStatus() {
  connectButton_->setEnabled(!isConnecting_ && selectedRigModel_.has_value());
  rigStatusLabel_->setText(rigStatusText_);
  rigStatusLabel_->setVisible(!rigStatusText_.isEmpty());
  QPalette palette = rigStatusLabel_->palette();
  palette.setColor(QPalette::WindowText, rigStatusIsError_
                                             ? UiLook::kErrorColour
                                             : this->palette().color(QPalette::WindowText));
  rigStatusLabel_->setPalette(palette);
  fitHeight();
}
