// The save dialog the controller asks where to export the transcript: a modal QFileDialog for
// plain-text files over the main window. Main thread.
#pragma once

#include <QPointer>
#include <QWidget>

#include "chat/ChatViewModel.h"

class FileDialogExportChooser final : public ExportFileChooser {
 public:
  explicit FileDialogExportChooser(QWidget* window) : window_(window) {}

  std::optional<QString> chooseFile(const QString& title, const QString& suggestedName) override;

 private:
  QPointer<QWidget> window_;
};
