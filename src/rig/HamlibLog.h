// The Hamlib log: Hamlib's debug output and the rig bridge's own messages as an observable list
// for the log window, with the debug level the operator chose (persisted) and the plain-text
// export. Lives on the main thread; receive() is the one entry that any thread may call.
#pragma once

#include <QAbstractListModel>
#include <QDateTime>
#include <QList>
#include <QString>
#include <array>
#include <optional>

// Hamlib's debug levels.
enum class HamlibLogLevel {
  none = 0,
  bug = 1,
  error = 2,
  warning = 3,
  verbose = 4,
  trace = 5,
  cache = 6
};

inline constexpr std::array<HamlibLogLevel, 7> kAllHamlibLogLevels = {
    HamlibLogLevel::none,    HamlibLogLevel::bug,   HamlibLogLevel::error, HamlibLogLevel::warning,
    HamlibLogLevel::verbose, HamlibLogLevel::trace, HamlibLogLevel::cache};

// Accepts 0 to 6; anything else gives none.
std::optional<HamlibLogLevel> hamlibLogLevelFromRawValue(int raw);
// "None", "Bug", "Error", "Warning", "Verbose", "Trace", "Cache".
QString displayName(HamlibLogLevel level);

struct HamlibLogEntry {
  qint64 id = 0;
  QDateTime date;
  HamlibLogLevel level = HamlibLogLevel::verbose;
  bool fromApp = false;
  QString text;  // no line breaks at either end; never empty

  // The time of day in the current locale with milliseconds, as the export and the window show it.
  QString timeText() const;
  // "time [Level] Palavrix|Hamlib: text".
  QString exportLine() const;
};

class HamlibLog final : public QAbstractListModel {
  Q_OBJECT
  Q_PROPERTY(HamlibLogLevel level READ level WRITE setLevel NOTIFY levelChanged)

 public:
  enum Role { IdRole = Qt::UserRole + 1, DateRole, LevelRole, FromAppRole, TextRole };

  static constexpr qsizetype kMaximumEntries = 5000;
  static constexpr const char *kLevelKey = "hamlibLogLevel";

  // Reads the level from the settings store (settingsStorePath(), shared with AppSettings);
  // neither writes it nor touches the bridge.
  explicit HamlibLog(QObject *parent = nullptr);

  // The process-wide log, created on first use. Main thread only.
  static HamlibLog &shared();
  // Makes the shared log the bridge's sink and applies its level from a worker thread.
  static void install();
  // The bridge's sink: any thread. Hands the entry to the shared log on the main thread.
  static void receive(int level, const char *text, int fromApp);

  HamlibLogLevel level() const { return level_; }
  // Persists the level and applies it to the bridge from a worker thread.
  void setLevel(HamlibLogLevel level);

  const QList<HamlibLogEntry> &entries() const { return entries_; }
  void clear();
  void append(const QDateTime &date, HamlibLogLevel level, bool fromApp, const QString &text);

  // One export line per entry, oldest first, joined by '\n' with none after the last.
  QString exportText() const;

  int rowCount(const QModelIndex &parent = QModelIndex()) const override;
  QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
  QHash<int, QByteArray> roleNames() const override;

 signals:
  void levelChanged(HamlibLogLevel level);

 private slots:
  // Appends what receive() collected from other threads since the last call.
  void takePendingEntries();

 private:
  QList<HamlibLogEntry> entries_;
  HamlibLogLevel level_ = HamlibLogLevel::trace;
  qint64 nextId_ = 0;
};

// The plain function handed to rigbridge_set_log_callback.
void hamlibLogCallback(int level, const char *text, int fromApp);
