#include "rig/HamlibLog.h"

#include <QCoreApplication>
#include <QLocale>
#include <QSettings>
#include <QThread>
#include <atomic>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "rig/RigBridge.h"
#include "settings/SettingsStore.h"

namespace {

bool isLineBreak(QChar c) {
  return c == u'\n' || c == u'\r' || c == QChar(0x2028) || c == QChar(0x2029);
}

QString trimmedLineBreaks(const QString &text) {
  qsizetype start = 0;
  qsizetype end = text.size();
  while (start < end && isLineBreak(text[start])) ++start;
  while (end > start && isLineBreak(text[end - 1])) --end;
  return text.mid(start, end - start);
}

// The locale's short time format with seconds and milliseconds added.
QString timeFormatWithMilliseconds() {
  QString format = QLocale().timeFormat(QLocale::ShortFormat);
  if (format.contains(u'z')) return format;
  qsizetype seconds = format.indexOf(QLatin1String("ss"));
  if (seconds >= 0) return format.insert(seconds + 2, QLatin1String(".zzz"));
  qsizetype minutes = format.indexOf(QLatin1String("mm"));
  if (minutes >= 0) return format.insert(minutes + 2, QLatin1String(":ss.zzz"));
  return QStringLiteral("HH:mm:ss.zzz");
}

struct PendingEntry {
  QDateTime date;
  HamlibLogLevel level;
  bool fromApp;
  QString text;
};

// Entries on their way from the bridge's threads to the main thread. The lock is held only to
// move entries in or out, so the sink never waits for the main thread.
struct Inbox {
  std::mutex mutex;
  std::vector<PendingEntry> pending;
  std::atomic<HamlibLog *> log{nullptr};
};

Inbox &inbox() {
  static Inbox instance;
  return instance;
}

void applyLevelInBackground(HamlibLogLevel level) {
  // Loading Hamlib and waiting for a running rig operation must not hold up the main thread.
  const int raw = static_cast<int>(level);
  try {
    std::thread([raw] { rigbridge_set_debug_level(raw); }).detach();
  } catch (const std::system_error &) {
    rigbridge_set_debug_level(raw);  // no thread to be had: better late on this one than lost
  }
}

}  // namespace

std::optional<HamlibLogLevel> hamlibLogLevelFromRawValue(int raw) {
  if (raw < 0 || raw > 6) return std::nullopt;
  return static_cast<HamlibLogLevel>(raw);
}

QString displayName(HamlibLogLevel level) {
  switch (level) {
    case HamlibLogLevel::none:
      return QStringLiteral("None");
    case HamlibLogLevel::bug:
      return QStringLiteral("Bug");
    case HamlibLogLevel::error:
      return QStringLiteral("Error");
    case HamlibLogLevel::warning:
      return QStringLiteral("Warning");
    case HamlibLogLevel::verbose:
      return QStringLiteral("Verbose");
    case HamlibLogLevel::trace:
      return QStringLiteral("Trace");
    case HamlibLogLevel::cache:
      return QStringLiteral("Cache");
  }
  return {};
}

QString HamlibLogEntry::timeText() const {
  return QLocale().toString(date.time(), timeFormatWithMilliseconds());
}

QString HamlibLogEntry::exportLine() const {
  return timeText() + QLatin1String(" [") + displayName(level) + QLatin1String("] ") +
         (fromApp ? QLatin1String("Palavrix") : QLatin1String("Hamlib")) + QLatin1String(": ") +
         text;
}

HamlibLog::HamlibLog(QObject *parent) : QAbstractListModel(parent) {
  bool isInteger = false;
  int stored = 0;
  if (const QString path = settingsStorePath(); !checkSettingsStore(path).unreadable)
    stored = QSettings(path, QSettings::IniFormat).value(kLevelKey).toString().toInt(&isInteger);
  std::optional<HamlibLogLevel> level = hamlibLogLevelFromRawValue(stored);
  level_ = isInteger && level ? *level : HamlibLogLevel::trace;
}

HamlibLog &HamlibLog::shared() {
  Q_ASSERT(QCoreApplication::instance() &&
           QThread::currentThread() == QCoreApplication::instance()->thread());
  // Lives as long as the process, like the bridge that feeds it.
  static HamlibLog *const instance = [] {
    auto *log = new HamlibLog();
    inbox().log.store(log);
    return log;
  }();
  return *instance;
}

void HamlibLog::install() {
  HamlibLog &log = shared();  // exists before the first entry can arrive
  rigbridge_set_log_callback(hamlibLogCallback);
  applyLevelInBackground(log.level());
}

void HamlibLog::receive(int level, const char *text, int fromApp) {
  if (!text) return;
  QString trimmed = trimmedLineBreaks(QString::fromUtf8(text, qsizetype(std::strlen(text))));
  if (trimmed.isEmpty()) return;
  HamlibLogLevel entryLevel = hamlibLogLevelFromRawValue(level).value_or(HamlibLogLevel::verbose);
  Inbox &box = inbox();
  HamlibLog *log = box.log.load();
  if (!log) return;
  bool wasEmpty;
  {
    std::lock_guard<std::mutex> lock(box.mutex);
    wasEmpty = box.pending.empty();
    box.pending.push_back({QDateTime::currentDateTime(), entryLevel, fromApp != 0, trimmed});
  }
  // One queued call takes everything that gathers until it runs.
  if (wasEmpty) QMetaObject::invokeMethod(log, "takePendingEntries", Qt::QueuedConnection);
}

void HamlibLog::takePendingEntries() {
  std::vector<PendingEntry> arrived;
  {
    Inbox &box = inbox();
    std::lock_guard<std::mutex> lock(box.mutex);
    arrived.swap(box.pending);
  }
  for (PendingEntry &entry : arrived) append(entry.date, entry.level, entry.fromApp, entry.text);
}

void HamlibLog::setLevel(HamlibLogLevel level) {
  bool changed = level != level_;
  level_ = level;
  // The store is checked first: Qt parses all of it before it writes one key. Nor may the
  // key take it past the size the next start reads.
  const auto write = [level](QSettings &store) {
    store.setValue(kLevelKey, static_cast<int>(level));
  };
  if (const QString path = settingsStorePath(); !checkSettingsStore(path).unreadable) {
    const std::optional<qint64> size = settingsStoreSizeAfter(path, write);
    if (size && *size <= kMaxSettingsStoreBytes) {
      QSettings store(path, QSettings::IniFormat);
      write(store);
    }
  }
  applyLevelInBackground(level);
  if (changed) emit levelChanged(level);
}

void HamlibLog::clear() {
  if (entries_.isEmpty()) return;
  beginResetModel();
  entries_.clear();
  endResetModel();
}

void HamlibLog::append(const QDateTime &date, HamlibLogLevel level, bool fromApp,
                       const QString &text) {
  const int row = static_cast<int>(entries_.size());
  beginInsertRows(QModelIndex(), row, row);
  entries_.append({nextId_++, date, level, fromApp, text});
  endInsertRows();
  if (entries_.size() > kMaximumEntries) {
    const int excess = static_cast<int>(entries_.size() - kMaximumEntries);
    beginRemoveRows(QModelIndex(), 0, excess - 1);
    entries_.remove(0, excess);
    endRemoveRows();
  }
}

QString HamlibLog::exportText() const {
  QStringList lines;
  lines.reserve(entries_.size());
  for (const HamlibLogEntry &entry : entries_) lines.append(entry.exportLine());
  return lines.join(u'\n');
}

int HamlibLog::rowCount(const QModelIndex &parent) const {
  return parent.isValid() ? 0 : static_cast<int>(entries_.size());
}

QVariant HamlibLog::data(const QModelIndex &index, int role) const {
  if (!index.isValid() || index.row() < 0 || index.row() >= entries_.size()) return {};
  const HamlibLogEntry &entry = entries_[index.row()];
  switch (role) {
    case Qt::DisplayRole:
    case TextRole:
      return entry.text;
    case IdRole:
      return entry.id;
    case DateRole:
      return entry.date;
    case LevelRole:
      return static_cast<int>(entry.level);
    case FromAppRole:
      return entry.fromApp;
    default:
      return {};
  }
}

QHash<int, QByteArray> HamlibLog::roleNames() const {
  return {{IdRole, "id"},
          {DateRole, "date"},
          {LevelRole, "level"},
          {FromAppRole, "fromApp"},
          {TextRole, "text"}};
}

void hamlibLogCallback(int level, const char *text, int fromApp) {
  HamlibLog::receive(level, text, fromApp);
}
