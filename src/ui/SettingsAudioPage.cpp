#include "ui/SettingsAudioPage.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QSlider>
#include <QVector>
#include <cmath>

#include "audio/AudioDevices.h"
#include "audio/AudioLevels.h"
#include "audio/PlaybackEngine.h"
#include "chat/AppSettings.h"
#include "chat/ChatViewModel.h"
#include "ui/HoldButton.h"
#include "ui/LevelMeter.h"

namespace {

constexpr int kGainRowSpacing = 8;
constexpr int kReadoutWidth = 52;
constexpr int kGroupSpacing = 12;

const char* const kInputLabel = QT_TRANSLATE_NOOP("SettingsAudioPage", "Audio Input:");
const char* const kInputLevelLabel = QT_TRANSLATE_NOOP("SettingsAudioPage", "Input Level:");
const char* const kInputGainLabel = QT_TRANSLATE_NOOP("SettingsAudioPage", "Input Gain:");
const char* const kOutputLabel = QT_TRANSLATE_NOOP("SettingsAudioPage", "Audio Output:");
const char* const kOutputLevelLabel = QT_TRANSLATE_NOOP("SettingsAudioPage", "Output Level:");
const char* const kOutputLevelHelp =
    QT_TRANSLATE_NOOP("SettingsAudioPage", "Shows the level while transmitting");
const char* const kOutputGainLabel = QT_TRANSLATE_NOOP("SettingsAudioPage", "Output Gain:");
const char* const kTest = QT_TRANSLATE_NOOP("SettingsAudioPage", "Test");
const char* const kTestHelp =
    QT_TRANSLATE_NOOP("SettingsAudioPage",
                      "Hold to play a 1 kHz tone through the audio output (doesn't key the rig)");
const char* const kTestHint =
    QT_TRANSLATE_NOOP("SettingsAudioPage", "Plays a 1 kilohertz tone while held down");
const char* const kDecibels = QT_TRANSLATE_NOOP("SettingsAudioPage", "%1 decibels");
const char* const kPositiveGain = QT_TRANSLATE_NOOP("SettingsAudioPage", "+%1 dB");
const char* const kGain = QT_TRANSLATE_NOOP("SettingsAudioPage", "%1 dB");

void fillDevicePicker(QComboBox* picker, const QVector<AudioDeviceInfo>& devices) {
  const QSignalBlocker blocker(picker);
  picker->clear();
  for (const AudioDeviceInfo& device : devices) picker->addItem(device.name, device.uid);
}

// No row for no device: a UID no present device has shows no selection and stays chosen.
void selectDevice(QComboBox* picker, const std::optional<QString>& uid) {
  const QSignalBlocker blocker(picker);
  picker->setCurrentIndex(uid ? picker->findData(*uid) : -1);
}

}  // namespace

struct SettingsAudioPage::DeviceLists {
  QVector<AudioDeviceInfo> inputs;
  QVector<AudioDeviceInfo> outputs;
  std::optional<QString> defaultInputUID;
  std::optional<QString> defaultOutputUID;
};

SettingsAudioPage::SettingsAudioPage(AppSettings& settings, ChatViewModel& model, QWidget* parent)
    : SettingsPage(settings, parent), model_(model) {
  QFormLayout* form = addForm(Placement::top);

  inputPicker_ = new QComboBox(this);
  inputPicker_->setObjectName(QStringLiteral("inputPicker"));
  connect(inputPicker_, &QComboBox::activated, this,
          [this](int index) { setSelectedInputUID(inputPicker_->itemData(index).toString()); });
  form->addRow(tr(kInputLabel), inputPicker_);
  inputMeter_ = new LevelMeter(model_.levels(), LevelMeter::Reading::input, this);
  inputMeter_->setObjectName(QStringLiteral("inputMeter"));
  inputMeter_->setAccessibleName(tr(kInputLevelLabel));
  form->addRow(tr(kInputLevelLabel), inputMeter_);
  inputGain_ = addGainRow(form, kInputGainLabel, AppSettings::kInputGainMinDb,
                          AppSettings::kInputGainMaxDb, "inputGain");
  connect(inputGain_.slider, &QSlider::valueChanged, this,
          [this](int gainDb) { setInputGainDb(gainDb); });

  form->addItem(new QSpacerItem(0, kGroupSpacing, QSizePolicy::Minimum, QSizePolicy::Fixed));

  outputPicker_ = new QComboBox(this);
  outputPicker_->setObjectName(QStringLiteral("outputPicker"));
  connect(outputPicker_, &QComboBox::activated, this,
          [this](int index) { setSelectedOutputUID(outputPicker_->itemData(index).toString()); });
  form->addRow(tr(kOutputLabel), outputPicker_);
  outputMeter_ = new LevelMeter(model_.levels(), LevelMeter::Reading::output, this);
  outputMeter_->setObjectName(QStringLiteral("outputMeter"));
  outputMeter_->setAccessibleName(tr(kOutputLevelLabel));
  outputMeter_->setToolTip(tr(kOutputLevelHelp));
  form->addRow(tr(kOutputLevelLabel), outputMeter_);
  outputGain_ = addGainRow(form, kOutputGainLabel, AppSettings::kOutputGainMinDb,
                           AppSettings::kOutputGainMaxDb, "outputGain");
  connect(outputGain_.slider, &QSlider::valueChanged, this,
          [this](int gainDb) { setOutputGainDb(gainDb); });

  testToneButton_ = new HoldButton(tr(kTest), this);
  connect(testToneButton_, &HoldButton::pressed, this, [this] { testTonePressChanged(true); });
  connect(testToneButton_, &HoldButton::released, this, [this] { testTonePressChanged(false); });
  testToneButton_->setObjectName(QStringLiteral("testTone"));
  testToneButton_->setToolTip(tr(kTestHelp));
  testToneButton_->setAccessibleDescription(tr(kTestHint));
  testToneButton_->setEnabled(!model_.isSending());
  connect(&model_, &ChatViewModel::isSendingChanged, testToneButton_,
          [this] { testToneButton_->setEnabled(!model_.isSending()); });
  form->addRow(QString(), testToneButton_);

  showGain(inputGain_, inputGainDb_);
  showGain(outputGain_, outputGainDb_);
}

SettingsAudioPage::GainRow SettingsAudioPage::addGainRow(QFormLayout* form, const char* label,
                                                         int minimum, int maximum,
                                                         const char* name) {
  auto* row = new QHBoxLayout();
  row->setSpacing(kGainRowSpacing);
  auto* slider = new QSlider(Qt::Horizontal, this);
  slider->setObjectName(QLatin1String(name));
  slider->setRange(minimum, maximum);
  slider->setSingleStep(1);
  slider->setPageStep(1);
  slider->setAccessibleName(tr(label));
  auto* readout = new QLabel(this);
  readout->setObjectName(QLatin1String(name) + QLatin1String("Readout"));
  readout->setFixedWidth(kReadoutWidth);
  readout->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  row->addWidget(slider, 1);
  row->addWidget(readout);
  form->addRow(tr(label), row);
  return {slider, readout};
}

void SettingsAudioPage::showGain(const GainRow& row, double gainDb) {
  const long whole = static_cast<long>(std::trunc(gainDb));
  {
    const QSignalBlocker blocker(row.slider);
    row.slider->setValue(static_cast<int>(whole));
  }
  row.slider->setAccessibleDescription(tr(kDecibels).arg(whole));
  row.readout->setText(tr(whole > 0 ? kPositiveGain : kGain).arg(whole));
}

void SettingsAudioPage::loadSettings() {
  setSelectedInputUID(settings().audioInputDeviceUID());
  setSelectedOutputUID(settings().audioOutputDeviceUID());
  setInputGainDb(settings().audioInputGainDb());
  setOutputGainDb(settings().audioOutputGainDb());
  // Both lists and the defaults come from the audio server, which may be slow to answer.
  runWhileShown(
      [] {
        DeviceLists lists;
        lists.inputs = AudioDevices::inputs();
        lists.outputs = AudioDevices::outputs();
        if (auto device = AudioDevices::defaultDevice(AudioDirection::input)) {
          lists.defaultInputUID = device->uid;
        }
        if (auto device = AudioDevices::defaultDevice(AudioDirection::output)) {
          lists.defaultOutputUID = device->uid;
        }
        return lists;
      },
      [this](const DeviceLists& lists) { setDevices(lists); });
}

void SettingsAudioPage::apply() {
  settings().setAudioInputDeviceUID(selectedInputUID_);
  settings().setAudioOutputDeviceUID(selectedOutputUID_);
  settings().setAudioInputGainDb(inputGainDb_);
  settings().setAudioOutputGainDb(outputGainDb_);
}

void SettingsAudioPage::setDevices(const DeviceLists& lists) {
  fillDevicePicker(inputPicker_, lists.inputs);
  fillDevicePicker(outputPicker_, lists.outputs);
  // Nothing saved: the system's defaults.
  if (!settings().audioInputDeviceUID() && !selectedInputUID_) {
    selectedInputUID_ = lists.defaultInputUID;
  }
  if (!settings().audioOutputDeviceUID() && !selectedOutputUID_) {
    setSelectedOutputUID(lists.defaultOutputUID);
  }
  selectDevice(inputPicker_, selectedInputUID_);
  selectDevice(outputPicker_, selectedOutputUID_);
}

void SettingsAudioPage::setSelectedInputUID(const std::optional<QString>& uid) {
  selectedInputUID_ = uid;
  selectDevice(inputPicker_, uid);
}

void SettingsAudioPage::setSelectedOutputUID(const std::optional<QString>& uid) {
  selectDevice(outputPicker_, uid);
  if (uid == selectedOutputUID_) return;
  selectedOutputUID_ = uid;
  model_.setPreviewedOutputDeviceUID(uid);
}

void SettingsAudioPage::setInputGainDb(double gainDb) {
  showGain(inputGain_, gainDb);
  inputMeter_->setGainDb(gainDb);
  if (gainDb == inputGainDb_) return;
  inputGainDb_ = gainDb;
  model_.inputGain().setLinear(linearGain(gainDb));
}

void SettingsAudioPage::setOutputGainDb(double gainDb) {
  showGain(outputGain_, gainDb);
  outputMeter_->setGainDb(gainDb);
  if (gainDb == outputGainDb_) return;
  outputGainDb_ = gainDb;
  model_.playbackEngine().setGain(linearGain(gainDb));
}

void SettingsAudioPage::testTonePressChanged(bool pressed) {
  if (pressed) {
    model_.playTestTone();
  } else if (!model_.isSending()) {
    // A transmission that started meanwhile keeps its audio and meter.
    model_.playbackEngine().stopPlayer();
    model_.stopOutputMeter();
  }
}

void SettingsAudioPage::endPreviews() {
  model_.inputGain().setLinear(linearGain(settings().audioInputGainDb()));
  model_.playbackEngine().setGain(linearGain(settings().audioOutputGainDb()));
  model_.setPreviewedOutputDeviceUID(std::nullopt);
  if (!model_.isSending()) {
    model_.playbackEngine().stopPlayer();
    model_.stopOutputMeter();
  }
}
