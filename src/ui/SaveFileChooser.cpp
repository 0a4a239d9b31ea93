#include "ui/SaveFileChooser.h"

#include <QFileDialog>
#include <QStandardPaths>

void DialogSaveFileChooser::chooseFile(QWidget* parent, const QString& title,
                                       const QString& suggestedName, Done done) {
  auto* dialog = new QFileDialog(parent, title);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  dialog->setFileMode(QFileDialog::AnyFile);
  dialog->setNameFilter(QFileDialog::tr("Plain text (*.txt)"));
  dialog->setDefaultSuffix(QStringLiteral("txt"));
  dialog->setDirectory(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation));
  dialog->selectFile(suggestedName);
  // The dialog is the context: when it goes with its parent, nobody is answered.
  QObject::connect(dialog, &QFileDialog::fileSelected, dialog,
                   [done](const QString& path) { done(path); });
  QObject::connect(dialog, &QFileDialog::rejected, dialog, [done] { done(std::nullopt); });
  dialog->open();
}
