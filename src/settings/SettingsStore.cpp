#include "settings/SettingsStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSettings>
#include <QTemporaryDir>
#include <QtDebug>
#include <algorithm>
#include <cerrno>
#include <mutex>
#include <optional>

#include "settings/WholeFile.h"

namespace {

// No value the program writes comes near this; a nested variant needs at least nine bytes a
// level, so this allows no more than a few hundred levels.
constexpr qsizetype kMaxVariantLineBytes = 4096;

constexpr QByteArrayView kVariantMarker = "@Variant(";

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One character of an INI value as Qt's reader unescapes it, starting at value[i]; advances i.
// A continued line gives nothing (-1).
int unescapedChar(QByteArrayView value, qsizetype& i) {
  const char c = value[i++];
  if (c != '\\' || i == value.size()) return static_cast<unsigned char>(c);
  const char escaped = value[i++];
  switch (escaped) {
    case 'a':
      return '\a';
    case 'b':
      return '\b';
    case 'f':
      return '\f';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    case 'v':
      return '\v';
    case '\n':
    case '\r':
      return -1;
    case 'x': {
      int code = 0;
      for (int digits = 0; digits < 4 && i < value.size() && hexValue(value[i]) >= 0; ++digits)
        code = code * 16 + hexValue(value[i++]);
      return code;
    }
    default:
      if (escaped >= '0' && escaped <= '7') {
        int code = escaped - '0';
        for (int digits = 1; digits < 3 && i < value.size() && value[i] >= '0' && value[i] <= '7';
             ++digits)
          code = code * 8 + (value[i++] - '0');
        return code;
      }
      return static_cast<unsigned char>(escaped);
  }
}

// Whether Qt would load any element of the (comma-separated) value as a variant.
bool holdsVariant(QByteArrayView value) {
  QByteArray start;  // the first characters of the current element
  bool inQuotes = false;
  for (qsizetype i = 0; i < value.size();) {
    const char c = value[i];
    if (c == '"') {
      inQuotes = !inQuotes;
      ++i;
    } else if (c == ',' && !inQuotes) {
      start.clear();
      ++i;
    } else if (start.isEmpty() && !inQuotes && (c == ' ' || c == '\t')) {
      ++i;
    } else {
      const int decoded = unescapedChar(value, i);
      if (decoded < 0 || start.size() >= kVariantMarker.size()) continue;
      start += static_cast<char>(decoded);
      if (start == kVariantMarker) return true;
    }
  }
  return false;
}

// One logical line of an INI file, split the way Qt's reader splits them: quotes and escaped
// line breaks continue a line, an unquoted ';' ends it and starts a comment.
struct IniLine {
  qsizetype start = 0;
  qsizetype end = 0;      // exclusive
  qsizetype equals = -1;  // the first '=' outside quotes
};

IniLine nextLine(QByteArrayView data, qsizetype from) {
  IniLine line{from, from, -1};
  if (from < data.size() && data[from] == ';') {  // a comment runs to the end of the line
    qsizetype i = from;
    while (i < data.size() && data[i] != '\n' && data[i] != '\r') ++i;
    line.end = i;
    return line;
  }
  bool inQuotes = false;
  qsizetype i = from;
  while (i < data.size()) {
    const char c = data[i];
    if (c == '\\') {
      i += 2;
      continue;
    }
    if ((c == '\n' || c == '\r' || c == ';') && !inQuotes) break;
    if (c == '"') inQuotes = !inQuotes;
    if (c == '=' && !inQuotes && line.equals < 0) line.equals = i;
    ++i;
  }
  line.end = std::min(i, data.size());
  return line;
}

// What this process has set aside, per store path, so that every reader hears of it.
struct SetAside {
  QStringList keys;
  QString path;
};
std::mutex setAsideMutex;
QHash<QString, SetAside> setAsideByStore;

QString freeBackupPath(const QString& path) {
  QString candidate = path + QStringLiteral(".damaged");
  for (int n = 2; QFileInfo::exists(candidate); ++n)
    candidate = path + QStringLiteral(".damaged") + QString::number(n);
  return candidate;
}

// The whole file, or none with the reason. What is not a regular file is never opened for
// reading, and the open file is looked at again in case it was replaced meanwhile.
std::optional<QByteArray> readRegularFile(const QString& path, QString* reason) {
  const QString tooLarge = QStringLiteral("is larger than %1 MB").arg(kMaxSettingsStoreBytes >> 20);
  struct stat status {};
  const auto usable = [&] {
    if (!S_ISREG(status.st_mode)) *reason = QStringLiteral("is not a regular file");
    if (status.st_size > kMaxSettingsStoreBytes) *reason = tooLarge;
    return S_ISREG(status.st_mode) && status.st_size <= kMaxSettingsStoreBytes;
  };
  *reason = QStringLiteral("can't be read");
  const QByteArray name = QFile::encodeName(path);
  if (::stat(name.constData(), &status) != 0) {
    if (errno == ELOOP) *reason = QStringLiteral("is not a regular file");  // a link to itself
    return std::nullopt;
  }
  if (!usable()) return std::nullopt;
  const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  QFile file;
  if (::fstat(fd, &status) != 0 || !usable() ||
      !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
    ::close(fd);
    return std::nullopt;
  }
  QByteArray content = file.read(kMaxSettingsStoreBytes + 1);
  if (content.size() > kMaxSettingsStoreBytes) {  // it grew after the look
    *reason = tooLarge;
    return std::nullopt;
  }
  return content;
}

// Qt's writer escapes every control character but the line break; a hand-edited file may hold
// tabs and carriage returns. Anything else is not a settings file of ours.
bool isText(QByteArrayView content) {
  return std::none_of(content.begin(), content.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r';
  });
}

// Whether there is a file to read at the path: a link to a missing file is no file, as before
// a first save, but a link that cannot be followed (to itself, say) is one that can't be read.
bool existsAt(const QString& path) {
  const QByteArray name = QFile::encodeName(path);
  struct stat status {};
  if (::lstat(name.constData(), &status) != 0) return false;
  return ::stat(name.constData(), &status) == 0 || errno != ENOENT;
}

}  // namespace

QString settingsStorePath() {
  QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (base.isEmpty() || QDir::isRelativePath(base))
    base = QDir::homePath() + QStringLiteral("/.config");
  return base + QStringLiteral("/Palavrix/Palavrix.conf");
}

std::optional<qint64> settingsStoreSizeAfter(const QString& path,
                                             const std::function<void(QSettings&)>& edit) {
  QTemporaryDir folder;
  const QString trialPath = folder.filePath(QStringLiteral("trial.conf"));
  if (!folder.isValid() || (QFileInfo::exists(path) && !QFile::copy(path, trialPath)))
    return std::nullopt;
  {
    QSettings trial(trialPath, QSettings::IniFormat);
    edit(trial);
    trial.sync();
    if (trial.status() == QSettings::AccessError) return std::nullopt;
  }
  return QFileInfo(trialPath).size();
}

SettingsStoreCheck checkSettingsStore(const QString& path) {
  std::lock_guard lock(setAsideMutex);
  SettingsStoreCheck check;
  const SetAside earlier = setAsideByStore.value(path);
  check.setAsideKeys = earlier.keys;
  check.setAsidePath = earlier.path;
  if (!existsAt(path)) return check;
  QString reason;
  std::optional<QByteArray> read = readRegularFile(path, &reason);
  if (read && !isText(*read)) {
    reason = QStringLiteral("is not a text file");
    read.reset();
  }
  if (!read) {
    qWarning("settings: %s %s", qPrintable(path), qPrintable(reason));
    check.unreadable = true;
    check.unreadableReason = reason;
    return check;
  }
  const QByteArray& content = *read;

  QByteArray kept;
  QStringList keys;
  for (qsizetype from = 0; from < content.size();) {
    const IniLine line = nextLine(content, from);
    // The line break (or the ';' that starts a comment) stays where it is.
    const qsizetype next = line.end < content.size() && content[line.end] == ';'
                               ? line.end
                               : std::min(line.end + 1, content.size());
    const QByteArrayView text = QByteArrayView(content).sliced(line.start, line.end - line.start);
    if (line.equals >= 0 && text.size() > kMaxVariantLineBytes &&
        holdsVariant(text.sliced(line.equals - line.start + 1))) {
      keys << QString::fromUtf8(text.first(line.equals - line.start)).trimmed();
      kept += content.sliced(line.end, next - line.end);
    } else {
      kept += content.sliced(from, next - from);
    }
    from = next;
  }
  if (keys.isEmpty()) return check;

  const QString backup = freeBackupPath(path);
  if (writeWholeFile(backup, content) || writeWholeFile(path, kept)) {
    qWarning("settings: %s holds values that are unsafe to read and could not be set aside",
             qPrintable(path));
    check.unreadable = true;
    check.unreadableReason = QStringLiteral("holds values that are unsafe to read");
    return check;
  }
  qWarning("settings: set aside %s from %s in %s", qPrintable(keys.join(QStringLiteral(", "))),
           qPrintable(path), qPrintable(backup));
  SetAside& record = setAsideByStore[path];
  record.keys += keys;
  if (record.path.isEmpty()) record.path = backup;
  check.setAsideKeys = record.keys;
  check.setAsidePath = record.path;
  return check;
}
