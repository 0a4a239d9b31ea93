#include "ui/MacroEditorView.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTextCursor>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "chat/AppSettings.h"
#include "chat/TextCharacters.h"
#include "ui/LengthWarning.h"
#include "ui/UiLook.h"

namespace {
constexpr int kWidth = 360;
constexpr int kPadding = 20;
constexpr int kSpacing = 16;
constexpr int kMessageMinLines = 3;
constexpr int kMessageMaxLines = 6;

// Takes in no more of a paste or a drop than the field can hold: laying out a long line without
// a space takes time that grows with the square of its length, and the window would freeze.
class MessageEdit final : public QPlainTextEdit {
 public:
  using QPlainTextEdit::QPlainTextEdit;

 protected:
  void insertFromMimeData(const QMimeData* source) override {
    if (!source->hasText()) return;
    insertPlainText(TextCharacters::first(source->text(), AppSettings::kMaxMacroMessageCharacters));
  }
};
}  // namespace

MacroEditorView::MacroEditorView(const QString& title, const QString& message, QWidget* parent)
    : QDialog(parent),
      titleField_(new QLineEdit(title, this)),
      messageField_(new MessageEdit(message, this)),
      saveButton_(new QPushButton(tr("Save"), this)),
      cancelButton_(new QPushButton(tr("Cancel"), this)),
      errorLabel_(UiLook::makeErrorLabel(this)),
      lengthWarning_(new LengthWarning(AppSettings::kMaxMacroMessageCharacters, this)) {
  setWindowModality(Qt::WindowModal);
  setAttribute(Qt::WA_DeleteOnClose);

  auto* form = new QFormLayout;
  form->addRow(tr("Title:"), titleField_);
  form->addRow(tr("Message:"), messageField_);
  messageField_->setTabChangesFocus(true);
  messageField_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  messageField_->installEventFilter(this);
  connect(messageField_, &QPlainTextEdit::textChanged, this, &MacroEditorView::capMessage);
  connect(messageField_, &QPlainTextEdit::textChanged, this, &MacroEditorView::fitMessageHeight);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(cancelButton_);
  buttons->addWidget(saveButton_);
  saveButton_->setDefault(true);
  connect(cancelButton_, &QPushButton::clicked, this, &QDialog::reject);
  connect(saveButton_, &QPushButton::clicked, this, &MacroEditorView::save);
  const auto enableSave = [this] {
    saveButton_->setEnabled(!TextCharacters::trimmedBlanksAndTabs(titleField_->text()).isEmpty());
  };
  connect(titleField_, &QLineEdit::textChanged, this, enableSave);
  enableSave();

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
  layout->setSpacing(kSpacing);
  layout->addLayout(form);
  layout->addWidget(lengthWarning_);
  layout->addWidget(errorLabel_);
  layout->addLayout(buttons);
  lengthWarning_->hide();
  capMessage();
  fitMessageHeight();
}

void MacroEditorView::capMessage() {
  // The field holds what one message carries, as the composer does, and says so when full.
  constexpr int limit = AppSettings::kMaxMacroMessageCharacters;
  const QString text = messageField_->toPlainText();
  const int count = TextCharacters::count(text);
  if (count > limit) {
    // Cut in the document, so that the paste can still be undone.
    QTextCursor excess(messageField_->document());
    excess.setPosition(static_cast<int>(TextCharacters::first(text, limit).size()));
    excess.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    excess.removeSelectedText();
  }
  if (lengthWarning_->isVisibleTo(this) != (count >= limit)) {
    lengthWarning_->setVisible(count >= limit);
    fitSize();
  }
}

void MacroEditorView::fitSize() { UiLook::fitToContent(this, kWidth); }

void MacroEditorView::fitMessageHeight() {
  // Grows with the text from three lines to six, and scrolls beyond.
  int lines = 0;
  for (QTextBlock block = messageField_->document()->begin(); block.isValid();
       block = block.next()) {
    lines += std::max(1, block.layout() ? block.layout()->lineCount() : 1);
  }
  lines = std::clamp(lines, kMessageMinLines, kMessageMaxLines);
  const QMargins margins = messageField_->contentsMargins();
  const int height =
      static_cast<int>(std::ceil(lines * messageField_->fontMetrics().lineSpacing())) +
      2 * static_cast<int>(std::ceil(messageField_->document()->documentMargin())) +
      2 * messageField_->frameWidth() + margins.top() + margins.bottom();
  messageField_->setFixedHeight(height);
  // The sheet follows its content: taller or shorter, at the same width.
  fitSize();
}

void MacroEditorView::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Wrapped lines are known only now, laid out at the width the field has been given.
  fitMessageHeight();
}

void MacroEditorView::save() {
  if (!saveButton_->isEnabled()) return;
  showError(QString());
  emit saved(TextCharacters::trimmedBlanksAndTabs(titleField_->text()),
             messageField_->toPlainText());
  if (errorLabel_->text().isEmpty()) accept();
}

void MacroEditorView::showError(const QString& text) {
  errorLabel_->setText(text);
  errorLabel_->setVisible(!text.isEmpty());
  fitSize();
}

bool MacroEditorView::eventFilter(QObject* watched, QEvent* event) {
  // Return is the sheet's default action in the message field too; Shift+Return breaks the line.
  if (watched == messageField_ && event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
        key->modifiers() == Qt::NoModifier) {
      save();
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}
