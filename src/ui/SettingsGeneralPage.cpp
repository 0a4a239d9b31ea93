#include "ui/SettingsGeneralPage.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "chat/AppSettings.h"
#include "chat/ChatViewModel.h"
#include "ui/UiLook.h"

namespace {

constexpr qreal kCaptionPoints = 10;

const char* const kCallsignLabel = QT_TRANSLATE_NOOP("SettingsGeneralPage", "Callsign:");
const char* const kCallsignPrompt = QT_TRANSLATE_NOOP("SettingsGeneralPage", "e.g. W1AW");
const char* const kCapitalize = QT_TRANSLATE_NOOP("SettingsGeneralPage", "Capitalise messages");
const char* const kAppendCallsign = QT_TRANSLATE_NOOP("SettingsGeneralPage", "Append callsign");
const char* const kPlaySound =
    QT_TRANSLATE_NOOP("SettingsGeneralPage", "Play sound for new messages");
const char* const kTest = QT_TRANSLATE_NOOP("SettingsGeneralPage", "Test");
const char* const kTestHelp =
    QT_TRANSLATE_NOOP("SettingsGeneralPage", "Play the new message sound now");

}  // namespace

SettingsGeneralPage::SettingsGeneralPage(AppSettings& settings, ChatViewModel& model,
                                         QWidget* parent)
    : SettingsPage(settings, parent), model_(model) {
  QFormLayout* form = addForm(Placement::top);

  callsignField_ = new QLineEdit(this);
  callsignField_->setObjectName(QStringLiteral("callsign"));
  callsignField_->setPlaceholderText(tr(kCallsignPrompt));
  form->addRow(tr(kCallsignLabel), callsignField_);

  auto addToggle = [this](const char* label, const char* name) {
    auto* toggle = new QCheckBox(tr(label), this);
    toggle->setObjectName(QLatin1String(name));
    return toggle;
  };
  capitalizeToggle_ = addToggle(kCapitalize, "capitalizeMessages");
  form->addRow(QString(), capitalizeToggle_);
  appendCallsignToggle_ = addToggle(kAppendCallsign, "appendCallsign");
  form->addRow(QString(), appendCallsignToggle_);

  auto* soundRow = new QHBoxLayout();
  newMessageSoundToggle_ = addToggle(kPlaySound, "playNewMessageSound");
  auto* soundTest = new QPushButton(tr(kTest), this);
  soundTest->setObjectName(QStringLiteral("soundTest"));
  soundTest->setToolTip(tr(kTestHelp));
  soundTest->setAutoDefault(false);
  connect(soundTest, &QPushButton::clicked, this,
          [this] { soundTestRequest_ = model_.previewNewMessageSound(); });
  connect(&model_, &ChatViewModel::newMessageSoundPreviewed, this,
          [this](uint64_t request, const QString& status) {
            // A test from before the window was last shown says nothing here any more.
            if (request != soundTestRequest_) return;
            soundTestLabel_->setText(status);
            soundTestLabel_->show();
            emit heightChanged();
          });
  soundRow->addWidget(newMessageSoundToggle_);
  soundRow->addWidget(soundTest);
  soundRow->addStretch();
  form->addRow(QString(), soundRow);

  soundTestLabel_ = new QLabel(this);
  soundTestLabel_->setObjectName(QStringLiteral("soundTestResult"));
  soundTestLabel_->setWordWrap(true);
  soundTestLabel_->setTextFormat(Qt::PlainText);  // it names an audio device
  soundTestLabel_->setForegroundRole(QPalette::PlaceholderText);
  soundTestLabel_->setFont(UiLook::systemFont(kCaptionPoints));
  soundTestLabel_->hide();
  form->addRow(QString(), soundTestLabel_);
}

void SettingsGeneralPage::loadSettings() {
  callsignField_->setText(settings().callsign());
  capitalizeToggle_->setChecked(settings().capitalizeMessages());
  appendCallsignToggle_->setChecked(settings().appendCallsign());
  newMessageSoundToggle_->setChecked(settings().playNewMessageSound());
  soundTestRequest_ = 0;
  soundTestLabel_->hide();
}

void SettingsGeneralPage::apply() {
  settings().setCallsign(callsignField_->text());  // the store trims it
  settings().setCapitalizeMessages(capitalizeToggle_->isChecked());
  settings().setAppendCallsign(appendCallsignToggle_->isChecked());
  settings().setPlayNewMessageSound(newMessageSoundToggle_->isChecked());
}
