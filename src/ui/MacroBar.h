// The row of eight macro buttons between the transcript and the composer, one per slot of
// AppSettings::macros, labelled with the slot's title and showing its message as tooltip. A
// click hands the slot's message to insertRequested; a right click, or the context-menu key or
// Shift+F10 on a focused button, opens the slot's editor, the click even while the buttons are
// disabled. Saving the editor writes the slot and stores all eight macros
// (AppSettings::setMacro, AppSettings::saveMacros); when they cannot be stored, the editor stays
// open with the store's sentence, as the settings window does. Main thread.
#pragma once

#include <QList>
#include <QPointer>
#include <QWidget>
#include <optional>

#include "ui/MacroEditorView.h"

class AppSettings;
class QPushButton;

class MacroBar final : public QWidget {
  Q_OBJECT

 public:
  explicit MacroBar(AppSettings& settings, QWidget* parent = nullptr);

  // Clicks do nothing while disabled; right clicks still open the editor.
  void setButtonsDisabled(bool disabled);
  QPushButton* button(int slot) const { return buttons_.value(slot); }
  // The slot whose editor is open, if any.
  std::optional<int> editingSlot() const { return editingSlot_; }
  MacroEditorView* editor() const { return editor_; }
  void openEditor(int slot);
  // The store's sentence when the macros could not be stored, else empty.
  QString saveSlot(int slot, const QString& title, const QString& message);

 signals:
  void insertRequested(const QString& message);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void showMacros();

  AppSettings& settings_;
  QList<QPushButton*> buttons_;
  std::optional<int> editingSlot_;
  QPointer<MacroEditorView> editor_;
};
