// The settings window's Audio tab: device pickers, level meters, gain sliders with their live
// previews, and the hold-to-play test tone.
#include <QComboBox>
#include <QCoreApplication>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QSlider>
#include <cmath>

#include "audio/AudioLevels.h"
#include "audio/PlaybackEngine.h"
#include "chat/AppSettings.h"
#include "chat/ChatViewModel.h"
#include "ui/BackgroundTask.h"
#include "ui/HoldButton.h"
#include "ui/LevelMeter.h"
#include "ui/SettingsView.h"

namespace {

constexpr int kGainRowSpacing = 8;
constexpr int kReadoutWidth = 52;
constexpr int kGroupSpacing = 12;

const char* const kInputLabel = QT_TRANSLATE_NOOP("SettingsView", "Audio Input:");
const char* const kInputLevelLabel = QT_TRANSLATE_NOOP("SettingsView", "Input Level:");
const char* const kInputGainLabel = QT_TRANSLATE_NOOP("SettingsView", "Input Gain:");
const char* const kOutputLabel = QT_TRANSLATE_NOOP("SettingsView", "Audio Output:");
const char* const kOutputLevelLabel = QT_TRANSLATE_NOOP("SettingsView", "Output Level:");
const char* const kOutputLevelHelp =
    QT_TRANSLATE_NOOP("SettingsView", "Shows the level while transmitting");
const char* const kOutputGainLabel = QT_TRANSLATE_NOOP("SettingsView", "Output Gain:");
const char* const kTest = QT_TRANSLATE_NOOP("SettingsView", "Test");
const char* const kTestHelp = QT_TRANSLATE_NOOP(
    "SettingsView", "Hold to play a 1 kHz tone through the audio output (doesn't key the rig)");
const char* const kTestHint =
    QT_TRANSLATE_NOOP("SettingsView", "Plays a 1 kilohertz tone while held down");
const char* const kDecibels = QT_TRANSLATE_NOOP("SettingsView", "%1 decibels");
const char* const kPositiveGain = QT_TRANSLATE_NOOP("SettingsView", "+%1 dB");
const char* const kGain = QT_TRANSLATE_NOOP("SettingsView", "%1 dB");

QString tr(const char* text) { return QCoreApplication::translate("SettingsView", text); }

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

struct GainRow {
  QSlider* slider;
  QLabel* readout;
};

GainRow makeGainRow(QFormLayout* form, const char* label, int minimum, int maximum,
                    const char* name) {
  auto* row = new QHBoxLayout();
  row->setSpacing(kGainRowSpacing);
  auto* slider = new QSlider(Qt::Horizontal);
  slider->setObjectName(QLatin1String(name));
  slider->setRange(minimum, maximum);
  slider->setSingleStep(1);
  slider->setPageStep(1);
  slider->setAccessibleName(tr(label));
  auto* readout = new QLabel();
  readout->setObjectName(QLatin1String(name) + QLatin1String("Readout"));
  readout->setFixedWidth(kReadoutWidth);
  readout->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  row->addWidget(slider, 1);
  row->addWidget(readout);
  form->addRow(tr(label), row);
  return {slider, readout};
}

void showGain(const GainRow& row, double gainDb) {
  const long whole = static_cast<long>(std::trunc(gainDb));
  {
    const QSignalBlocker blocker(row.slider);
    row.slider->setValue(static_cast<int>(whole));
  }
  row.slider->setAccessibleDescription(tr(kDecibels).arg(whole));
  row.readout->setText(tr(whole > 0 ? kPositiveGain : kGain).arg(whole));
}

}  // namespace

struct SettingsView::AudioDeviceLists {
  QVector<AudioDeviceInfo> inputs;
  QVector<AudioDeviceInfo> outputs;
  std::optional<QString> defaultInputUID;
  std::optional<QString> defaultOutputUID;
};

QWidget* SettingsView::buildAudioTab() {
  auto* page = new QWidget();
  QFormLayout* form = addForm(page);

  inputPicker_ = new QComboBox(page);
  inputPicker_->setObjectName(QStringLiteral("inputPicker"));
  connect(inputPicker_, &QComboBox::activated, this,
          [this](int index) { setSelectedInputUID(inputPicker_->itemData(index).toString()); });
  form->addRow(tr(kInputLabel), inputPicker_);
  inputMeter_ = new LevelMeter(model_.levels(), LevelMeter::Reading::input, page);
  inputMeter_->setObjectName(QStringLiteral("inputMeter"));
  inputMeter_->setAccessibleName(tr(kInputLevelLabel));
  form->addRow(tr(kInputLevelLabel), inputMeter_);
  const GainRow inputGain = makeGainRow(form, kInputGainLabel, AppSettings::kInputGainMinDb,
                                        AppSettings::kInputGainMaxDb, "inputGain");
  inputGainSlider_ = inputGain.slider;
  inputGainReadout_ = inputGain.readout;
  connect(inputGainSlider_, &QSlider::valueChanged, this,
          [this](int gainDb) { setInputGainDb(gainDb); });

  form->addItem(new QSpacerItem(0, kGroupSpacing, QSizePolicy::Minimum, QSizePolicy::Fixed));

  outputPicker_ = new QComboBox(page);
  outputPicker_->setObjectName(QStringLiteral("outputPicker"));
  connect(outputPicker_, &QComboBox::activated, this,
          [this](int index) { setSelectedOutputUID(outputPicker_->itemData(index).toString()); });
  form->addRow(tr(kOutputLabel), outputPicker_);
  outputMeter_ = new LevelMeter(model_.levels(), LevelMeter::Reading::output, page);
  outputMeter_->setObjectName(QStringLiteral("outputMeter"));
  outputMeter_->setAccessibleName(tr(kOutputLevelLabel));
  outputMeter_->setToolTip(tr(kOutputLevelHelp));
  form->addRow(tr(kOutputLevelLabel), outputMeter_);
  const GainRow outputGain = makeGainRow(form, kOutputGainLabel, AppSettings::kOutputGainMinDb,
                                         AppSettings::kOutputGainMaxDb, "outputGain");
  outputGainSlider_ = outputGain.slider;
  outputGainReadout_ = outputGain.readout;
  connect(outputGainSlider_, &QSlider::valueChanged, this,
          [this](int gainDb) { setOutputGainDb(gainDb); });

  testToneButton_ = new HoldButton(tr(kTest), page);
  connect(testToneButton_, &HoldButton::pressed, this, [this] { testTonePressChanged(true); });
  connect(testToneButton_, &HoldButton::released, this, [this] { testTonePressChanged(false); });
  testToneButton_->setObjectName(QStringLiteral("testTone"));
  testToneButton_->setToolTip(tr(kTestHelp));
  testToneButton_->setAccessibleDescription(tr(kTestHint));
  testToneButton_->setEnabled(!model_.isSending());
  connect(&model_, &ChatViewModel::isSendingChanged, testToneButton_,
          [this] { testToneButton_->setEnabled(!model_.isSending()); });
  form->addRow(QString(), testToneButton_);

  showGain(inputGain, inputGainDb_);
  showGain(outputGain, outputGainDb_);
  return page;
}

void SettingsView::loadAudioDevices() {
  // Both lists and the defaults come from the audio server, which may be slow to answer.
  const quint64 showing = showing_;
  runInBackground(
      this,
      [] {
        AudioDeviceLists lists;
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
      [this, showing](const AudioDeviceLists& lists) {
        if (showing == showing_) setAudioDevices(lists);
      });
}

void SettingsView::setAudioDevices(const AudioDeviceLists& lists) {
  inputDevices_ = lists.inputs;
  outputDevices_ = lists.outputs;
  fillDevicePicker(inputPicker_, inputDevices_);
  fillDevicePicker(outputPicker_, outputDevices_);
  // Nothing saved: the system's defaults.
  if (!settings_.audioInputDeviceUID() && !selectedInputUID_) {
    selectedInputUID_ = lists.defaultInputUID;
  }
  if (!settings_.audioOutputDeviceUID() && !selectedOutputUID_) {
    setSelectedOutputUID(lists.defaultOutputUID);
  }
  selectDevice(inputPicker_, selectedInputUID_);
  selectDevice(outputPicker_, selectedOutputUID_);
}

void SettingsView::setSelectedInputUID(const std::optional<QString>& uid) {
  selectedInputUID_ = uid;
  selectDevice(inputPicker_, uid);
}

void SettingsView::setSelectedOutputUID(const std::optional<QString>& uid) {
  selectDevice(outputPicker_, uid);
  if (uid == selectedOutputUID_) return;
  selectedOutputUID_ = uid;
  model_.setPreviewedOutputDeviceUID(uid);
}

void SettingsView::setInputGainDb(double gainDb) {
  showGain({inputGainSlider_, inputGainReadout_}, gainDb);
  inputMeter_->setGainDb(gainDb);
  if (gainDb == inputGainDb_) return;
  inputGainDb_ = gainDb;
  model_.inputGain().setLinear(linearGain(gainDb));
}

void SettingsView::setOutputGainDb(double gainDb) {
  showGain({outputGainSlider_, outputGainReadout_}, gainDb);
  outputMeter_->setGainDb(gainDb);
  if (gainDb == outputGainDb_) return;
  outputGainDb_ = gainDb;
  model_.playbackEngine().setGain(linearGain(gainDb));
}

void SettingsView::testTonePressChanged(bool pressed) {
  if (pressed) {
    model_.playTestTone();
  } else if (!model_.isSending()) {
    // A transmission that started meanwhile keeps its audio and meter.
    model_.playbackEngine().stopPlayer();
    model_.stopOutputMeter();
  }
}

void SettingsView::endAudioPreview() {
  model_.inputGain().setLinear(linearGain(settings_.audioInputGainDb()));
  model_.playbackEngine().setGain(linearGain(settings_.audioOutputGainDb()));
  model_.setPreviewedOutputDeviceUID(std::nullopt);
  if (!model_.isSending()) {
    model_.playbackEngine().stopPlayer();
    model_.stopOutputMeter();
  }
}
