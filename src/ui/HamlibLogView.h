// The "Hamlib Log" window: every entry of the shared Hamlib log, one line each, the current entry's
// whole text under them, and a toolbar to choose Hamlib's debug level, follow the newest entry,
// and copy, save or clear the log.
// Reads HamlibLog's entries and level; writes the level, clears the entries. Main thread.
#pragma once

#include <QString>
#include <QWidget>
#include <memory>
#include <optional>

#include "ui/SaveFileChooser.h"

class HamlibLog;
class QAction;
class QComboBox;
class QListView;
class QPlainTextEdit;
class QStackedWidget;

class HamlibLogView final : public QWidget {
  Q_OBJECT

 public:
  explicit HamlibLogView(HamlibLog& log, QWidget* parent = nullptr);
  ~HamlibLogView() override;

  // Replaces the save dialog (tests answer it themselves).
  void setSaveFileChooser(std::unique_ptr<SaveFileChooser> chooser);

  bool followTail() const { return followTail_; }
  void setFollowTail(bool on);

  // The toolbar's actions, by what they do.
  void copyLog();
  void saveLog();
  void clearLog();

 signals:
  // A save finished: the file was written, or errorText says why not. For tests and the status.
  void saveFinished(const std::optional<QString>& errorText);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void buildToolbar(class QVBoxLayout* layout);
  void entriesChanged();
  void entriesInserted();
  void showCurrentEntry();
  void scrollToNewest();
  void writeExport(const QString& path, const QString& text);
  void showSaveError(const QString& errorText);

  HamlibLog& log_;
  bool followTail_ = true;
  // The text of the moment Save was pressed, while the file chooser is open.
  std::optional<QString> exportDocument_;
  bool scrollPending_ = false;
  std::unique_ptr<SaveFileChooser> chooser_;

  QComboBox* levelPicker_ = nullptr;
  QAction* followAction_ = nullptr;
  QAction* copyAction_ = nullptr;
  QAction* saveAction_ = nullptr;
  QAction* clearAction_ = nullptr;
  QStackedWidget* stack_ = nullptr;
  QListView* list_ = nullptr;
  QPlainTextEdit* entryText_ = nullptr;
  QString shownEntryText_;
};
