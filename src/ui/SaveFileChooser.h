// Asks the operator where to save a file. The windows use the dialog below; tests supply their
// own answers. Main thread.
#pragma once

#include <QString>
#include <functional>
#include <optional>

class QWidget;

class SaveFileChooser {
 public:
  using Done = std::function<void(std::optional<QString> path)>;
  virtual ~SaveFileChooser() = default;
  // Calls done once with the chosen path, or none when the operator cancelled. It may answer
  // later from the event loop; when parent goes away first, it never answers.
  virtual void chooseFile(QWidget* parent, const QString& title, const QString& suggestedName,
                          Done done) = 0;
};

// A window-modal save dialog opened without blocking, starting in the Documents folder.
class DialogSaveFileChooser final : public SaveFileChooser {
 public:
  void chooseFile(QWidget* parent, const QString& title, const QString& suggestedName,
                  Done done) override;
};
