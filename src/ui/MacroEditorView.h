// The sheet that edits one macro slot: a title and a message, Cancel (Escape) and Save (Return).
// Save, possible once the title holds more than blanks, hands on the title without its leading
// and trailing blanks and the message exactly as typed, and closes the sheet unless the receiver
// of saved() answered with showError. The message holds at most what one message carries
// (AppSettings::kMaxMacroMessageCharacters): text beyond is cut off as it is typed or pasted, and
// the composer's length warning shows while the field is full. Window-modal over the main window,
// opened without blocking. Main thread.
#pragma once

#include <QDialog>

class LengthWarning;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

class MacroEditorView final : public QDialog {
  Q_OBJECT

 public:
  MacroEditorView(const QString& title, const QString& message, QWidget* parent = nullptr);

  QLineEdit* titleField() const { return titleField_; }
  QPlainTextEdit* messageField() const { return messageField_; }
  QPushButton* saveButton() const { return saveButton_; }
  QPushButton* cancelButton() const { return cancelButton_; }
  QLabel* errorLabel() const { return errorLabel_; }

  void save();
  // Shown in red above the buttons; empty text hides it.
  void showError(const QString& text);

 signals:
  void saved(const QString& title, const QString& message);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void capMessage();
  void fitMessageHeight();
  void fitSize();

  QLineEdit* titleField_;
  QPlainTextEdit* messageField_;
  QPushButton* saveButton_;
  QPushButton* cancelButton_;
  QLabel* errorLabel_;
  LengthWarning* lengthWarning_;
};
