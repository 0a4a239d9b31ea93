#include "ui/ContentView.h"

#include <QHBoxLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "audio/WaterfallBitmap.h"
#include "chat/AppSettings.h"
#include "chat/ChatViewModel.h"
#include "chat/TextCharacters.h"
#include "ui/LengthWarning.h"
#include "ui/MacroBar.h"
#include "ui/MessageField.h"
#include "ui/SendButton.h"
#include "ui/SpectrumView.h"
#include "ui/StatusLine.h"
#include "ui/TranscriptView.h"
#include "ui/UiLook.h"

namespace {
constexpr int kComposerSpacing = 8;
constexpr int kComposerPadding = 8;
constexpr qreal kComposerBackgroundWhite = 0.95;
const QString kAlertTitle = QStringLiteral("KVOL");
}  // namespace

ContentView::ContentView(ChatViewModel& model, AppSettings& settings, QWidget* parent)
    : QWidget(parent),
      model_(model),
      spectrum_(new SpectrumView(model.waterfall(), ChatViewModel::kWaterfallLowHz,
                                 ChatViewModel::kWaterfallHighHz, ChatViewModel::kTransmitToneHz,
                                 this)),
      statusLine_(new StatusLine(model, this)),
      transcript_(new TranscriptView(*model.messages(), this)),
      lengthWarning_(new LengthWarning(ChatViewModel::kMaxMessageCharacters, this)),
      macroBar_(new MacroBar(settings, this)),
      field_(new MessageField(this)),
      sendButton_(new SendButton(this)) {
  auto* composer = new QWidget(this);
  QPalette composerPalette = UiLook::lightPalette();
  composerPalette.setColor(QPalette::Window, UiLook::whiteLevel(kComposerBackgroundWhite));
  composer->setPalette(composerPalette);
  composer->setAutoFillBackground(true);
  auto* composerLayout = new QHBoxLayout(composer);
  composerLayout->setSpacing(kComposerSpacing);
  composerLayout->setContentsMargins(kComposerPadding, kComposerPadding, kComposerPadding,
                                     kComposerPadding);
  composerLayout->addWidget(field_, 1, Qt::AlignVCenter);
  composerLayout->addWidget(sendButton_, 0, Qt::AlignVCenter);

  auto* layout = new QVBoxLayout(this);
  layout->setSpacing(0);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(spectrum_);
  layout->addWidget(statusLine_);
  layout->addWidget(transcript_, 1);
  layout->addWidget(lengthWarning_);
  layout->addWidget(macroBar_);
  layout->addWidget(composer);

  connect(field_, &QLineEdit::textEdited, this, [this](const QString& text) {
    model_.setInputText(text);
    // The controller may have kept less than was typed.
    showInputText();
  });
  connect(field_, &QLineEdit::returnPressed, &model_, &ChatViewModel::send);
  connect(sendButton_, &QPushButton::clicked, &model_, &ChatViewModel::send);
  field_->setUpArrowHandler([this] { return recallLastSent(); });
  connect(macroBar_, &MacroBar::insertRequested, this, &ContentView::insertMacroText);

  connect(&model_, &ChatViewModel::inputTextChanged, this, &ContentView::showInputText);
  connect(&model_, &ChatViewModel::isSendingChanged, this, &ContentView::showSending);
  connect(&model_, &ChatViewModel::alertMessageChanged, this, [this] {
    if (isVisible()) showAlert();
  });
  showInputText();
  showSending();
}

// The design's sizes, or more where the texts need it at the desktop's font: no text is cut.
QSize ContentView::sizeHint() const {
  return QSize(kIdealWidth, kIdealHeight).expandedTo(minimumSizeHint());
}

QSize ContentView::minimumSizeHint() const {
  return QWidget::minimumSizeHint().expandedTo({kMinimumWidth, kMinimumHeight});
}

void ContentView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  showAlert();
}

void ContentView::showInputText() {
  const QString text = model_.inputText();
  if (field_->text() != text) {
    // Keep the caret and selection where they were, as far as the new text reaches.
    const int size = static_cast<int>(text.size());
    const int cursor = std::min(field_->cursorPosition(), size);
    const int anchor = field_->hasSelectedText()
                           ? std::min(field_->selectionStart() == field_->cursorPosition()
                                          ? field_->selectionEnd()
                                          : field_->selectionStart(),
                                      size)
                           : cursor;
    field_->setText(text);
    field_->setSelection(anchor, cursor - anchor);
  }
  lengthWarning_->setVisible(TextCharacters::count(text) >= ChatViewModel::kMaxMessageCharacters);
  sendButton_->setEnabled(!model_.isSending() &&
                          !TextCharacters::trimmedBlanksAndTabs(text).isEmpty());
}

void ContentView::showSending() {
  const bool sending = model_.isSending();
  if (sending) fieldHadFocusBeforeSending_ = field_->hasFocus();
  // Disabling the focused field would hand the keys to the transcript, whose focus ring would
  // then jump about for the length of every transmission.
  if (sending && fieldHadFocusBeforeSending_) field_->clearFocus();
  field_->setEnabled(!sending);
  macroBar_->setButtonsDisabled(sending);
  sendButton_->setEnabled(!sending &&
                          !TextCharacters::trimmedBlanksAndTabs(model_.inputText()).isEmpty());
  // A disabled field loses the keyboard focus; the operator goes on typing where he was.
  if (!sending && fieldHadFocusBeforeSending_) field_->setFocus(Qt::OtherFocusReason);
}

void ContentView::showAlert() {
  const auto message = model_.alertMessage();
  if (!message) {
    if (alert_) {
      QMessageBox* box = alert_;
      alert_ = nullptr;
      box->disconnect(this);
      box->close();
    }
    return;
  }
  if (!alert_) {
    alert_ =
        new QMessageBox(QMessageBox::NoIcon, kAlertTitle, QString(), QMessageBox::NoButton, this);
    alert_->setAttribute(Qt::WA_DeleteOnClose);
    alert_->setTextFormat(Qt::PlainText);
    alert_->addButton(tr("OK"), QMessageBox::AcceptRole);
    // However it is dismissed, the alert is done with.
    connect(alert_, &QDialog::finished, this, [this] {
      alert_ = nullptr;
      model_.setAlertMessage(std::nullopt);
    });
    alert_->setText(*message);
    // Not modal: while it stands, the menus, Quit and closing the window still work, and the
    // operator may type on in the window.
    alert_->setWindowModality(Qt::NonModal);
    alert_->show();
    return;
  }
  alert_->setText(*message);
}

bool ContentView::recallLastSent() {
  const auto last = model_.lastSentText();
  if (!last) return false;
  model_.setInputText(*last);
  showInputText();
  return true;
}

void ContentView::insertMacroText(const QString& text) {
  if (text.isEmpty()) return;
  const QString current = model_.inputText();
  const int size = static_cast<int>(current.size());
  int start = field_->hasSelectedText() ? field_->selectionStart() : field_->cursorPosition();
  int end = field_->hasSelectedText() ? field_->selectionEnd() : start;
  // A selection left from a longer text inserts at the end.
  if (end > size) start = end = size;
  const int caretTarget = start + static_cast<int>(text.size());
  model_.setInputText(current.left(start) + text + current.mid(end));
  showInputText();
  const int caret = std::min(static_cast<int>(model_.inputText().size()), caretTarget);
  field_->setFocus(Qt::OtherFocusReason);
  field_->setCursorPosition(caret);
}
