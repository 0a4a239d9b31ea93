#include "ui/SettingsView.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QTabWidget>
#include <QVBoxLayout>

#include "chat/AppSettings.h"
#include "chat/ChatViewModel.h"
#include "ui/SettingsAudioPage.h"
#include "ui/SettingsGeneralPage.h"
#include "ui/SettingsTransceiverPage.h"
#include "ui/SymbolIcon.h"
#include "ui/UiLook.h"

namespace {

const char* const kWindowTitle = QT_TRANSLATE_NOOP("SettingsView", "Settings");
constexpr int kWindowWidth = 460;
constexpr int kWindowPadding = 20;
constexpr int kWindowSpacing = 16;

struct TabItem {
  const char* title;
  const char* themeIcon;
  SymbolIcon::Symbol symbol;
};
const std::array<TabItem, 3> kTabs = {{
    {QT_TRANSLATE_NOOP("SettingsView", "General"), "avatar-default", SymbolIcon::Symbol::person},
    {QT_TRANSLATE_NOOP("SettingsView", "Audio"), "audio-volume-high", SymbolIcon::Symbol::speaker},
    {QT_TRANSLATE_NOOP("SettingsView", "Transceiver"), "network-wireless",
     SymbolIcon::Symbol::antenna},
}};

const char* const kCancel = QT_TRANSLATE_NOOP("SettingsView", "Cancel");
const char* const kOK = QT_TRANSLATE_NOOP("SettingsView", "OK");

}  // namespace

SettingsView::SettingsView(AppSettings& settings, ChatViewModel& model, QWidget* parent)
    : QDialog(parent), settings_(settings), model_(model) {
  setWindowTitle(tr(kWindowTitle));
  setFixedWidth(kWindowWidth);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(kWindowPadding, kWindowPadding, kWindowPadding, kWindowPadding);
  layout->setSpacing(kWindowSpacing);

  auto* tabs = new QTabWidget(this);
  pages_ = {new SettingsGeneralPage(settings_, model_), new SettingsAudioPage(settings_, model_),
            new SettingsTransceiverPage(settings_)};
  for (std::size_t i = 0; i < pages_.size(); ++i) {
    tabs->addTab(pages_[i],
                 SymbolIcon::icon(kTabs[i].symbol, QLatin1String(kTabs[i].themeIcon),
                                  palette().color(QPalette::WindowText)),
                 tr(kTabs[i].title));
    connect(pages_[i], &SettingsPage::heightChanged, this, &SettingsView::fitHeight);
  }
  layout->addWidget(tabs);

  // The settings store's trouble, across the window above the buttons.
  errorLabel_ = UiLook::makeErrorLabel(this);
  errorLabel_->setObjectName(QStringLiteral("error"));
  layout->addWidget(errorLabel_);
  auto* buttons = new QHBoxLayout();
  buttons->addStretch();
  auto* cancelButton = new QPushButton(tr(kCancel), this);
  cancelButton->setAutoDefault(false);
  auto* okButton = new QPushButton(tr(kOK), this);
  okButton->setDefault(true);
  buttons->addWidget(cancelButton);
  buttons->addWidget(okButton);
  layout->addLayout(buttons);

  connect(cancelButton, &QPushButton::clicked, this, &SettingsView::cancel);
  connect(okButton, &QPushButton::clicked, this, &SettingsView::applyAndClose);
  fitHeight();
}

void SettingsView::fitHeight() { UiLook::fitHeightToContent(this, kWindowWidth); }

void SettingsView::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (event->spontaneous()) return;
  // A store that was not read whole is said at once, before the operator edits anything.
  showError(settings_.loadError());
  for (SettingsPage* page : pages_) page->load();
}

void SettingsView::hideEvent(QHideEvent* event) {
  QDialog::hideEvent(event);
  if (event->spontaneous()) return;  // minimised, not closed
  for (SettingsPage* page : pages_) page->end();
}

void SettingsView::applyAndClose() {
  for (SettingsPage* page : pages_) page->apply();
  QString saveError;
  const bool saved = settings_.save(&saveError);

  model_.applyAudioSettings();
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
