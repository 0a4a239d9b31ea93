#include "ui/SaveFileChooser.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QStandardPaths>
#include <memory>

namespace {

const char* const kFilter = QT_TRANSLATE_NOOP("SaveFileChooser", "Plain Text (*.txt)");

QFileDialog* newSaveDialog(QWidget* parent, const QString& title, const QString& suggestedName) {
  QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  // Never the process's current folder, which is wherever the program happened to be started.
  if (folder.isEmpty() || !QDir(folder).exists()) folder = QDir::homePath();
  auto* dialog = new QFileDialog(parent, title, QDir(folder).filePath(suggestedName),
                                 QCoreApplication::translate("SaveFileChooser", kFilter));
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  dialog->setFileMode(QFileDialog::AnyFile);
  dialog->setDefaultSuffix(QStringLiteral("txt"));
  return dialog;
}

}  // namespace

void DialogSaveFileChooser::chooseFile(QWidget* parent, const QString& title,
                                       const QString& suggestedName, Done done) {
  QFileDialog* dialog = newSaveDialog(parent, title, suggestedName);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  // The dialog is the context: when it goes with its parent, nobody is answered.
  QObject::connect(dialog, &QFileDialog::fileSelected, dialog,
                   [done](const QString& path) { done(path); });
  QObject::connect(dialog, &QFileDialog::rejected, dialog, [done] { done(std::nullopt); });
  dialog->open();
}

std::optional<QString> DialogSaveFileChooser::chooseFile(const QString& title,
                                                         const QString& suggestedName) {
  const std::unique_ptr<QFileDialog> dialog(newSaveDialog(exportWindow_, title, suggestedName));
  if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) return std::nullopt;
  return dialog->selectedFiles().first();
}
