// The sheet that edits one macro slot: a title and a message, Cancel (Escape) and Save (Return).
// Save, possible once the title holds more than blanks, hands on the title without its leading
// and trailing blanks and the message exactly as typed. Window-modal over the main window,
// opened without blocking. Main thread.
#pragma once

#include <QDialog>

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

  void save();

 signals:
  void saved(const QString& title, const QString& message);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void fitMessageHeight();

  QLineEdit* titleField_;
  QPlainTextEdit* messageField_;
  QPushButton* saveButton_;
  QPushButton* cancelButton_;
};
