// Asks the operator where to save a plain-text file. The windows use the dialog below; tests
// supply their own answers. Main thread.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <optional>

#include "chat/ChatViewModel.h"

class SaveFileChooser {
 public:
  using Done = std::function<void(std::optional<QString> path)>;
  virtual ~SaveFileChooser() = default;
  // Calls done once with the chosen path, or none when the operator cancelled. It may answer
  // later from the event loop; when parent goes away first, it never answers.
  virtual void chooseFile(QWidget* parent, const QString& title, const QString& suggestedName,
                          Done done) = 0;
};

// The one save dialog of the program, for the log's Save and the transcript's Export alike: plain
// text files, starting in ~/Documents when there is one, else in the home folder.
class DialogSaveFileChooser final : public SaveFileChooser, public ExportFileChooser {
 public:
  // exportWindow: the window the export's dialog stands over.
  explicit DialogSaveFileChooser(QWidget* exportWindow = nullptr) : exportWindow_(exportWindow) {}

  // Window-modal, opened without blocking.
  void chooseFile(QWidget* parent, const QString& title, const QString& suggestedName,
                  Done done) override;
  // Modal over the export window; returns once the operator has answered.
  std::optional<QString> chooseFile(const QString& title, const QString& suggestedName) override;

 private:
  QPointer<QWidget> exportWindow_;
};
