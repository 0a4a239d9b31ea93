#include "settings/WholeFile.h"

#include <QSaveFile>

std::optional<QString> writeWholeFile(const QString& path, const QByteArray& bytes) {
  QSaveFile file(path);
  // Unbuffered, because QSaveFile commits even when flushing its buffer failed; and in a loop,
  // so that a short write on a full disk comes back with the reason.
  bool written = file.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
  for (qint64 done = 0; written && done < bytes.size();) {
    const qint64 step = file.write(bytes.constData() + done, bytes.size() - done);
    written = step > 0;
    done += step;
  }
  if (written && file.commit()) return std::nullopt;
  return file.errorString();
}
