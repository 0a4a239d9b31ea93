// Export of the transcript as tab-separated UTF-8 text.
#include <QLocale>
#include <QThread>

#include "chat/ChatViewModel.h"
#include "settings/WholeFile.h"

namespace {

const QString kExportDateFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");

}  // namespace

QString ChatViewModel::exportLine(const ChatMessage& message) {
  QStringList fields{message.isSent ? QStringLiteral("TX") : QStringLiteral("RX"), message.text,
                     QLocale::c().toString(message.date.toLocalTime(), kExportDateFormat)};
  if (message.bestSnrDb) {
    const int snr = *message.bestSnrDb;
    fields.append((snr >= 1 ? QStringLiteral("+") : QString()) + QString::number(snr) +
                  QStringLiteral(" dB"));
  }
  return fields.join(u'\t');
}

QString ChatViewModel::exportText() const {
  QString text;
  for (const ChatMessage& message : messages_.all()) text += exportLine(message) + u'\n';
  return messages_.isEmpty() ? QStringLiteral("\n") : text;
}

QString ChatViewModel::suggestedExportFileName(const QDateTime& nowUtc) {
  return QStringLiteral("Palavrix ") + nowUtc.toUTC().date().toString(Qt::ISODate) +
         QStringLiteral(".txt");
}

void ChatViewModel::setExportFileChooser(std::unique_ptr<ExportFileChooser> chooser) {
  exportFileChooser_ = std::move(chooser);
}

void ChatViewModel::exportMessages() {
  Q_ASSERT(QThread::currentThread() == thread());
  if (!exportFileChooser_) {
    qWarning("Export asked for without a file chooser");
    return;
  }
  const std::optional<QString> path = exportFileChooser_->chooseFile(
      QStringLiteral("Export Messages"), suggestedExportFileName(QDateTime::currentDateTimeUtc()));
  if (!path || path->isEmpty()) return;
  if (const std::optional<QString> error = writeWholeFile(*path, exportText().toUtf8())) {
    setAlertMessage(QStringLiteral("Couldn't export the messages: ") + *error);
  }
}
