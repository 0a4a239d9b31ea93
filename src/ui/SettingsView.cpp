#include "ui/SettingsView.h"

#include <QApplication>
#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QStyle>
#include <QTabWidget>
#include <QVBoxLayout>

#include "chat/AppSettings.h"
#include "chat/ChatViewModel.h"
#include "ui/SymbolIcon.h"
#include "ui/UiLook.h"

namespace {

const char* const kWindowTitle = QT_TRANSLATE_NOOP("SettingsView", "Settings");
constexpr int kWindowWidth = 460;
constexpr int kWindowPadding = 20;
constexpr int kWindowSpacing = 16;
constexpr qreal kCaptionPoints = 10;

struct TabItem {
  const char* title;
  const char* themeIcon;
  SymbolIcon::Symbol symbol;
};
const TabItem kGeneralTab = {QT_TRANSLATE_NOOP("SettingsView", "General"), "avatar-default",
                             SymbolIcon::Symbol::person};
const TabItem kAudioTab = {QT_TRANSLATE_NOOP("SettingsView", "Audio"), "audio-volume-high",
                           SymbolIcon::Symbol::speaker};
const TabItem kTransceiverTab = {QT_TRANSLATE_NOOP("SettingsView", "Transceiver"),
                                 "network-wireless", SymbolIcon::Symbol::antenna};

const char* const kCancel = QT_TRANSLATE_NOOP("SettingsView", "Cancel");
const char* const kOK = QT_TRANSLATE_NOOP("SettingsView", "OK");
const char* const kCallsignLabel = QT_TRANSLATE_NOOP("SettingsView", "Callsign:");
const char* const kCallsignPrompt = QT_TRANSLATE_NOOP("SettingsView", "e.g. W1AW");
const char* const kCapitalize = QT_TRANSLATE_NOOP("SettingsView", "Capitalise messages");
const char* const kAppendCallsign = QT_TRANSLATE_NOOP("SettingsView", "Append callsign");
const char* const kPlaySound = QT_TRANSLATE_NOOP("SettingsView", "Play sound for new messages");
const char* const kTest = QT_TRANSLATE_NOOP("SettingsView", "Test");
const char* const kTestHelp = QT_TRANSLATE_NOOP("SettingsView", "Play the new message sound now");

}  // namespace

SettingsView::SettingsView(AppSettings& settings, ChatViewModel& model, QWidget* parent)
    : QDialog(parent), settings_(settings), model_(model) {
  setWindowTitle(tr(kWindowTitle));
  setFixedWidth(kWindowWidth);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(kWindowPadding, kWindowPadding, kWindowPadding, kWindowPadding);
  layout->setSpacing(kWindowSpacing);

  tabs_ = new QTabWidget(this);
  for (const auto& [tab, page] :
       {std::pair{kGeneralTab, buildGeneralTab()}, std::pair{kAudioTab, buildAudioTab()},
        std::pair{kTransceiverTab, buildTransceiverTab()}}) {
    tabs_->addTab(page,
                  SymbolIcon::icon(tab.symbol, QLatin1String(tab.themeIcon),
                                   palette().color(QPalette::WindowText)),
                  tr(tab.title));
  }
  layout->addWidget(tabs_);

  // The settings store's trouble, across the window above the buttons.
  errorLabel_ = new QLabel(this);
  errorLabel_->setObjectName(QStringLiteral("error"));
  errorLabel_->setWordWrap(true);
  errorLabel_->setTextFormat(Qt::PlainText);  // it names the settings file
  QPalette errorPalette = errorLabel_->palette();
  errorPalette.setColor(QPalette::WindowText, UiLook::kErrorColour);
  errorLabel_->setPalette(errorPalette);
  errorLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  errorLabel_->hide();
  layout->addWidget(errorLabel_);
  auto* buttons = new QHBoxLayout();
  buttons->addStretch();
  cancelButton_ = new QPushButton(tr(kCancel), this);
  cancelButton_->setAutoDefault(false);
  okButton_ = new QPushButton(tr(kOK), this);
  okButton_->setDefault(true);
  buttons->addWidget(cancelButton_);
  buttons->addWidget(okButton_);
  layout->addLayout(buttons);

  connect(cancelButton_, &QPushButton::clicked, this, &SettingsView::cancel);
  connect(okButton_, &QPushButton::clicked, this, &SettingsView::applyAndClose);
  fitHeight();
}

SettingsView::~SettingsView() = default;

void SettingsView::fitHeight() {
  // As tall as the content at the fixed width, so that wrapped texts are shown whole.
  QLayout* content = layout();
  content->activate();
  setFixedHeight(content->hasHeightForWidth() ? content->totalHeightForWidth(kWindowWidth)
                                              : content->totalSizeHint().height());
}

QFormLayout* SettingsView::addForm(QWidget* page) {
  auto* outer = new QVBoxLayout(page);
  outer->setContentsMargins(kFormPadding, kFormPadding, kFormPadding, kFormPadding);
  auto* form = new QFormLayout();
  outer->addLayout(form);
  outer->addStretch();
  return form;
}

QWidget* SettingsView::buildGeneralTab() {
  auto* page = new QWidget();
  QFormLayout* form = addForm(page);

  callsignField_ = new QLineEdit(page);
  callsignField_->setObjectName(QStringLiteral("callsign"));
  callsignField_->setPlaceholderText(tr(kCallsignPrompt));
  connect(callsignField_, &QLineEdit::textEdited, this,
          [this](const QString& text) { callsign_ = text; });
  form->addRow(tr(kCallsignLabel), callsignField_);

  auto addToggle = [&](const char* label, const char* name, bool& state) {
    auto* toggle = new QCheckBox(tr(label), page);
    toggle->setObjectName(QLatin1String(name));
    connect(toggle, &QCheckBox::toggled, this, [&state](bool on) { state = on; });
    return toggle;
  };
  capitalizeToggle_ = addToggle(kCapitalize, "capitalizeMessages", capitalizeMessages_);
  form->addRow(QString(), capitalizeToggle_);
  appendCallsignToggle_ = addToggle(kAppendCallsign, "appendCallsign", appendCallsign_);
  form->addRow(QString(), appendCallsignToggle_);

  auto* soundRow = new QHBoxLayout();
  newMessageSoundToggle_ = addToggle(kPlaySound, "playNewMessageSound", playNewMessageSound_);
  auto* soundTest = new QPushButton(tr(kTest), page);
  soundTest->setObjectName(QStringLiteral("soundTest"));
  soundTest->setToolTip(tr(kTestHelp));
  soundTest->setAutoDefault(false);
  connect(soundTest, &QPushButton::clicked, this, [this] {
    soundTestResult_ = model_.previewNewMessageSound();
    soundTestLabel_->setText(*soundTestResult_);
    soundTestLabel_->show();
    fitHeight();
  });
  soundRow->addWidget(newMessageSoundToggle_);
  soundRow->addWidget(soundTest);
  soundRow->addStretch();
  form->addRow(QString(), soundRow);

  soundTestLabel_ = new QLabel(page);
  soundTestLabel_->setObjectName(QStringLiteral("soundTestResult"));
  soundTestLabel_->setWordWrap(true);
  soundTestLabel_->setTextFormat(Qt::PlainText);  // it names an audio device
  soundTestLabel_->setForegroundRole(QPalette::PlaceholderText);
  soundTestLabel_->setFont(UiLook::systemFont(kCaptionPoints));
  soundTestLabel_->hide();
  form->addRow(QString(), soundTestLabel_);
  return page;
}

void SettingsView::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous()) loadState();
}

void SettingsView::hideEvent(QHideEvent* event) {
  QDialog::hideEvent(event);
  if (event->spontaneous()) return;  // minimised, not closed
  ++showing_;
  endAudioPreview();
}

void SettingsView::loadState() {
  ++showing_;
  // A store that was not read whole is said at once, before the operator edits anything.
  showError(settings_.loadError());

  callsign_ = settings_.callsign();
  callsignField_->setText(callsign_);
  capitalizeToggle_->setChecked(settings_.capitalizeMessages());
  appendCallsignToggle_->setChecked(settings_.appendCallsign());
  newMessageSoundToggle_->setChecked(settings_.playNewMessageSound());
  soundTestResult_.reset();
  soundTestLabel_->hide();

  setSelectedInputUID(settings_.audioInputDeviceUID());
  setSelectedOutputUID(settings_.audioOutputDeviceUID());
  setInputGainDb(settings_.audioInputGainDb());
  setOutputGainDb(settings_.audioOutputGainDb());
  loadAudioDevices();

  rigPort_ = settings_.rigPort();
  portField_->setText(rigPort_);
  rigSerial_ = settings_.rigSerial();
  rigMode_ = settings_.rigMode();
  isConnecting_ = false;
  rigStatusText_.clear();
  rigStatusIsError_ = false;
  showRigStatus();
  selectedRigModel_ = settings_.rigModel();
  loadRigDetails();
  discoveredPorts_ = discoverSerialPorts();
  loadRigList();
}

void SettingsView::applyAndClose() {
  settings_.setCallsign(callsign_);  // the store trims it
  settings_.setCapitalizeMessages(capitalizeMessages_);
  settings_.setAppendCallsign(appendCallsign_);
  settings_.setPlayNewMessageSound(playNewMessageSound_);
  settings_.setAudioInputDeviceUID(selectedInputUID_);
  settings_.setAudioOutputDeviceUID(selectedOutputUID_);
  settings_.setAudioInputGainDb(inputGainDb_);
  settings_.setAudioOutputGainDb(outputGainDb_);
  settings_.setRigModel(selectedRigModel_);
  settings_.setRigPort(trimmedPort(rigPort_));
  settings_.setRigSerial(rigSerial_);
  settings_.setRigMode(rigMode_);
  QString saveError;
  const bool saved = settings_.save(&saveError);

  model_.restartAudio();
  model_.setNeedsRigModeSet(true);
  // The refresh answers later, on its own; the window does not wait for it.
  QMetaObject::invokeMethod(
      &model_, [model = &model_] { model->refreshRigStatusNow(); }, Qt::QueuedConnection);

  // The edits are in effect but not on disk: keep the window, and say so.
  if (!saved) {
    showError(saveError);
    return;
  }
  accept();
}

void SettingsView::cancel() { reject(); }

void SettingsView::showError(const QString& text) {
  errorLabel_->setText(text);
  errorLabel_->setVisible(!text.isEmpty());
  fitHeight();
}
