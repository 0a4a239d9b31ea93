#include "chat/AppSettings.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>
#include <QtDebug>
#include <algorithm>
#include <cmath>
#include <utility>

#include "chat/TextCharacters.h"
#include "settings/SettingsStore.h"

namespace {

// Keys of the store; the dots are part of the names, not groups.
constexpr char kCallsignKey[] = "callsign";
constexpr char kAudioInputDeviceKey[] = "Transceiver.audioInputDeviceUID";
constexpr char kAudioOutputDeviceKey[] = "Transceiver.audioOutputDeviceUID";
constexpr char kAudioInputGainKey[] = "Transceiver.audioInputGainDb";
constexpr char kAudioOutputGainKey[] = "Transceiver.audioOutputGainDb";
constexpr char kRigModelKey[] = "Transceiver.rigModel";
constexpr char kRigPortKey[] = "Transceiver.rigPort";
constexpr char kRigModeKey[] = "Transceiver.rigMode";
constexpr char kCapitalizeMessagesKey[] = "capitalizeMessages";
constexpr char kAppendCallsignKey[] = "appendCallsign";
constexpr char kPlayNewMessageSoundKey[] = "playNewMessageSound";
constexpr char kMacrosKey[] = "macros";
constexpr char kUnreadableMacrosKey[] = "macrosUnreadable";

QString serialKey(RigSerialSetting setting) {
  switch (setting) {
    case RigSerialSetting::baudRate:
      return QStringLiteral("Transceiver.rigBaudRate");
    case RigSerialSetting::dataBits:
      return QStringLiteral("Transceiver.rigDataBits");
    case RigSerialSetting::stopBits:
      return QStringLiteral("Transceiver.rigStopBits");
    case RigSerialSetting::parity:
      return QStringLiteral("Transceiver.rigParity");
    case RigSerialSetting::handshake:
      return QStringLiteral("Transceiver.rigHandshake");
    case RigSerialSetting::dtrState:
      return QStringLiteral("Transceiver.rigDTRState");
    case RigSerialSetting::rtsState:
      return QStringLiteral("Transceiver.rigRTSState");
  }
  qFatal("unknown serial setting %d", static_cast<int>(setting));
}

QString defaultText() {
  return QString::fromUtf8(kRigDefaultValue.data(), kRigDefaultValue.size());
}

// Text that can travel anywhere as UTF-8 and through C strings: a lone surrogate (the INI reader
// makes one from an escape such as "\xd800") or a NUL becomes U+FFFD. Invalid UTF-8 bytes in the
// file already arrive as U+FFFD.
QString cleanText(QString text) {
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text.at(i);
    if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
      ++i;
    } else if (c.isSurrogate() || c.isNull()) {
      text[i] = QChar::ReplacementCharacter;
    }
  }
  return text;
}

// A stored value as text, whatever the INI reader made of it; none when the key is missing.
std::optional<QString> readText(const QSettings& store, const QString& key) {
  const QVariant value = store.value(key);
  if (!value.isValid()) return std::nullopt;
  switch (value.typeId()) {
    case QMetaType::QString:
      return cleanText(value.toString());
    // A hand-written value with an unquoted comma comes back as a list: put it together again.
    case QMetaType::QStringList:
      return cleanText(value.toStringList().join(QStringLiteral(", ")));
    case QMetaType::QByteArray:
      return cleanText(QString::fromUtf8(value.toByteArray()));
    default:
      return value.canConvert<QString>() ? cleanText(value.toString()) : QString();
  }
}

QString readText(const QSettings& store, const QString& key, const QString& fallback) {
  return readText(store, key).value_or(fallback);
}

// A gain in dB: a finite number held to the offered range, else 0 dB.
double readGain(const QSettings& store, const QString& key, double minDb, double maxDb) {
  const std::optional<QString> text = readText(store, key);
  if (!text) return 0.0;
  bool ok = false;
  const double gain = text->trimmed().toDouble(&ok);
  if (!ok || !std::isfinite(gain)) {
    qWarning("settings: %s holds \"%s\", not a gain in dB; using 0 dB", qPrintable(key),
             qPrintable(*text));
    return 0.0;
  }
  return std::clamp(gain, minDb, maxDb);
}

std::optional<qint64> readRigModel(const QSettings& store) {
  const std::optional<QString> text = readText(store, kRigModelKey);
  if (!text) return std::nullopt;
  bool ok = false;
  const qint64 model = text->trimmed().toLongLong(&ok);
  if (!ok || !isRigModel(model)) {
    qWarning("settings: %s holds \"%s\", not a rig model number; no rig", kRigModelKey,
             qPrintable(*text));
    return std::nullopt;
  }
  return model;
}

// The mode setting; "Default" when it is missing or empty.
QString readRigMode(const QSettings& store) {
  const QString mode = readText(store, kRigModeKey, QString());
  return mode.isEmpty() ? defaultText() : mode;
}

bool readBool(const QSettings& store, const QString& key) {
  const QVariant value = store.value(key);
  if (value.typeId() == QMetaType::Bool) return value.toBool();
  const QString text = readText(store, key, QString()).trimmed().toLower();
  return text == u"true" || text == u"yes" || text == u"1";
}

// Inserted capped anyway: more would only swell the store.
QString cappedMacroMessage(const QString& message) {
  return TextCharacters::first(message, AppSettings::kMaxMacroMessageCharacters);
}

QString defaultMacroTitle(int slot) { return QStringLiteral("M%1").arg(slot + 1); }

QList<Macro> padMacros(QList<Macro> macros) {
  if (macros.size() > AppSettings::kMacroCount) macros.resize(AppSettings::kMacroCount);
  for (int slot = macros.size(); slot < AppSettings::kMacroCount; ++slot)
    macros.append(Macro{defaultMacroTitle(slot), QString()});
  return macros;
}

// The bytes of a stored "macros" value: the data we write, or JSON typed in as text.
std::optional<QByteArray> macroBytes(const QVariant& value) {
  if (value.typeId() == QMetaType::QByteArray) return value.toByteArray();
  if (value.typeId() == QMetaType::QString) return value.toString().toUtf8();
  return std::nullopt;
}

// A JSON array of objects with the text keys "title" and "message"; anything else fails as a
// whole, like any value that does not decode.
std::optional<QList<Macro>> decodeMacros(const QVariant& value) {
  const std::optional<QByteArray> bytes = macroBytes(value);
  if (!bytes) return std::nullopt;
  QJsonParseError error;
  const QJsonDocument document = QJsonDocument::fromJson(*bytes, &error);
  if (error.error != QJsonParseError::NoError || !document.isArray()) return std::nullopt;
  QList<Macro> macros;
  for (const QJsonValue& entry : document.array()) {
    const QJsonValue title = entry.toObject().value(QStringLiteral("title"));
    const QJsonValue message = entry.toObject().value(QStringLiteral("message"));
    if (!entry.isObject() || !title.isString() || !message.isString()) return std::nullopt;
    macros.append(Macro{cleanText(title.toString()), cleanText(message.toString())});
  }
  return macros;
}

QByteArray encodeMacros(const QList<Macro>& macros) {
  QJsonArray array;
  for (const Macro& macro : macros) {
    array.append(QJsonObject{{QStringLiteral("title"), macro.title},
                             {QStringLiteral("message"), macro.message}});
  }
  return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

// What a write puts into the store: a value per key, or an invalid QVariant to remove the key.
using StoreEntries = QList<std::pair<QString, QVariant>>;

QString saveErrorText(const QString& path) {
  return QStringLiteral("Couldn't save the settings: \"%1\" can't be written.").arg(path);
}

QString tooLargeErrorText(const QString& path) {
  return QStringLiteral(
             "Couldn't save the settings: \"%1\" would be larger than %2 MB, and would not be "
             "read at the next start. The file is left as it was.")
      .arg(path)
      .arg(kMaxSettingsStoreBytes >> 20);
}

QString unreadableText(const QString& path, const QString& reason) {
  return QStringLiteral("Couldn't read the settings: \"%1\" %2.").arg(path, reason);
}

QString unreadableErrorText(const QString& path, const QString& reason) {
  return unreadableText(path, reason) +
         QStringLiteral(
             " The defaults are shown, and saving is off so that they do not replace what the "
             "file holds.");
}

QString unreadableStartText(const QString& path, const QString& reason) {
  return unreadableText(path, reason) +
         QStringLiteral(" Palavrix runs on the default settings and will not save over the file.");
}

QString setAsideText(const SettingsStoreCheck& check) {
  return QStringLiteral(
             "Some settings could not be read safely and were set aside (%1); the file as it "
             "was is kept at \"%2\".")
      .arg(check.setAsideKeys.join(QStringLiteral(", ")), check.setAsidePath);
}

// Whether the store can be read safely; when not, says why.
bool storeReadable(const QString& path, QString* errorText = nullptr) {
  const SettingsStoreCheck check = checkSettingsStore(path);
  if (check.unreadable && errorText) *errorText = unreadableErrorText(path, check.unreadableReason);
  return !check.unreadable;
}

// Whether the file on disk holds the entries, read afresh from a private copy so that no cached
// view of the store answers instead.
bool fileHolds(const QString& path, const StoreEntries& entries) {
  QTemporaryDir folder;
  const QString copyPath = folder.filePath(QStringLiteral("check.conf"));
  if (!folder.isValid() || !QFile::copy(path, copyPath)) return false;
  QSettings copy(copyPath, QSettings::IniFormat);
  for (const auto& [key, value] : entries) {
    const QVariant stored = copy.value(key);
    if (!value.isValid()) {
      if (stored.isValid()) return false;
    } else if (value.typeId() == QMetaType::QByteArray) {
      if (stored.toByteArray() != value.toByteArray()) return false;
    } else if (stored.toString() != value.toString()) {
      return false;
    }
  }
  return true;
}

void applyEntries(QSettings& store, const StoreEntries& entries) {
  for (const auto& [key, value] : entries) {
    if (value.isValid())
      store.setValue(key, value);
    else
      store.remove(key);
  }
}

bool writeStore(const QString& path, const StoreEntries& entries, QString* errorText) {
  if (!storeReadable(path, errorText)) {
    qWarning("settings: not saving over %s, which cannot be read", qPrintable(path));
    return false;
  }
  // The reader refuses a store above the limit: writing one would lose every setting.
  const std::optional<qint64> size =
      settingsStoreSizeAfter(path, [&](QSettings& store) { applyEntries(store, entries); });
  if (!size) {
    qWarning("settings: could not try the write of %s on a copy", qPrintable(path));
    if (errorText) *errorText = saveErrorText(path);
    return false;
  }
  if (*size > kMaxSettingsStoreBytes) {
    qWarning("settings: not saving %s, which would be %lld bytes", qPrintable(path),
             static_cast<long long>(*size));
    if (errorText) *errorText = tooLargeErrorText(path);
    return false;
  }
  bool written = false;
  {
    QSettings store(path, QSettings::IniFormat);
    applyEntries(store, entries);
    store.sync();
    // QSettings keeps the first error it met: a FormatError from reading a damaged file would
    // hide whether the write worked, so look at the file itself then.
    written = store.status() == QSettings::NoError ||
              (store.status() == QSettings::FormatError && fileHolds(path, entries));
  }
  if (!written) {
    qWarning("settings: could not write %s", qPrintable(path));
    if (errorText) *errorText = saveErrorText(path);
  }
  return written;
}

}  // namespace

AppSettings::AppSettings(QObject* parent) : QObject(parent), storePath_(defaultStorePath()) {
  const SettingsStoreCheck check = checkSettingsStore(storePath_);
  storeUnreadable_ = check.unreadable;
  if (check.unreadable) {
    loadError_ = unreadableErrorText(storePath_, check.unreadableReason);
    startAlert_ = unreadableStartText(storePath_, check.unreadableReason);
  } else if (!check.setAsideKeys.isEmpty())
    loadError_ = setAsideText(check);
  // An unreadable store is not parsed at all: an empty one stands in for it.
  const QSettings store(check.unreadable ? QString() : storePath_, QSettings::IniFormat);
  callsign_ = readText(store, kCallsignKey, QString());
  audioInputDeviceUID_ = readText(store, kAudioInputDeviceKey);
  audioOutputDeviceUID_ = readText(store, kAudioOutputDeviceKey);
  audioInputGainDb_ = readGain(store, kAudioInputGainKey, kInputGainMinDb, kInputGainMaxDb);
  audioOutputGainDb_ = readGain(store, kAudioOutputGainKey, kOutputGainMinDb, kOutputGainMaxDb);
  rigModel_ = readRigModel(store);
  rigPort_ = readText(store, kRigPortKey, QString());
  rigSerial_ = loadRigSerialConfig(store);
  rigMode_ = readRigMode(store);
  capitalizeMessages_ = readBool(store, kCapitalizeMessagesKey);
  appendCallsign_ = readBool(store, kAppendCallsignKey);
  playNewMessageSound_ = readBool(store, kPlayNewMessageSoundKey);
  macros_ = loadMacros(store);
}

AppSettings& AppSettings::shared() {
  static AppSettings* const instance = new AppSettings;  // lives as long as the process
  return *instance;
}

QString AppSettings::defaultStorePath() { return settingsStorePath(); }

QList<Macro> AppSettings::loadMacros(const QSettings& store) {
  const QVariant value = store.value(kMacrosKey);
  if (!value.isValid()) return padMacros({});
  const std::optional<QList<Macro>> decoded = decodeMacros(value);
  if (!decoded) qWarning("settings: \"%s\" cannot be read; showing the default macros", kMacrosKey);
  return padMacros(decoded.value_or(QList<Macro>()));
}

RigSerialConfig AppSettings::loadRigSerialConfig(const QSettings& store) {
  RigSerialConfig config;
  for (RigSerialSetting setting : kAllRigSerialSettings) {
    QString text = readText(store, serialKey(setting), QString());
    // Each value becomes one line of Hamlib's configuration text: a line break would smuggle
    // in another setting.
    const bool usable = std::none_of(text.cbegin(), text.cend(),
                                     [](QChar c) { return c.category() == QChar::Other_Control; });
    if (text.isEmpty() || !usable) text = defaultText();
    config.values[setting] = text.toStdString();
  }
  return config;
}

void AppSettings::setCallsign(const QString& callsign) {
  if (callsign_ == callsign) return;
  callsign_ = callsign;
  emit callsignChanged();
}

void AppSettings::setAudioInputDeviceUID(const std::optional<QString>& uid) {
  if (audioInputDeviceUID_ == uid) return;
  audioInputDeviceUID_ = uid;
  emit audioInputDeviceUIDChanged();
}

void AppSettings::setAudioOutputDeviceUID(const std::optional<QString>& uid) {
  if (audioOutputDeviceUID_ == uid) return;
  audioOutputDeviceUID_ = uid;
  emit audioOutputDeviceUIDChanged();
}

void AppSettings::setAudioInputGainDb(double gainDb) {
  if (!std::isfinite(gainDb)) return;
  gainDb = std::clamp(gainDb, kInputGainMinDb, kInputGainMaxDb);
  if (audioInputGainDb_ == gainDb) return;
  audioInputGainDb_ = gainDb;
  emit audioInputGainDbChanged();
}

void AppSettings::setAudioOutputGainDb(double gainDb) {
  if (!std::isfinite(gainDb)) return;
  gainDb = std::clamp(gainDb, kOutputGainMinDb, kOutputGainMaxDb);
  if (audioOutputGainDb_ == gainDb) return;
  audioOutputGainDb_ = gainDb;
  emit audioOutputGainDbChanged();
}

void AppSettings::setRigModel(std::optional<qint64> model) {
  if (model && !isRigModel(*model)) model.reset();
  if (rigModel_ == model) return;
  rigModel_ = model;
  emit rigModelChanged();
}

void AppSettings::setRigPort(const QString& port) {
  if (rigPort_ == port) return;
  rigPort_ = port;
  emit rigPortChanged();
}

void AppSettings::setRigSerial(const RigSerialConfig& serial) {
  if (rigSerial_ == serial) return;
  rigSerial_ = serial;
  emit rigSerialChanged();
}

void AppSettings::setRigMode(const QString& mode) {
  if (rigMode_ == mode) return;
  rigMode_ = mode;
  emit rigModeChanged();
}

void AppSettings::setCapitalizeMessages(bool on) {
  if (capitalizeMessages_ == on) return;
  capitalizeMessages_ = on;
  emit capitalizeMessagesChanged();
}

void AppSettings::setAppendCallsign(bool on) {
  if (appendCallsign_ == on) return;
  appendCallsign_ = on;
  emit appendCallsignChanged();
}

void AppSettings::setPlayNewMessageSound(bool on) {
  if (playNewMessageSound_ == on) return;
  playNewMessageSound_ = on;
  emit playNewMessageSoundChanged();
}

void AppSettings::setMacros(const QList<Macro>& macros) {
  QList<Macro> padded = padMacros(macros);
  for (Macro& macro : padded) macro.message = cappedMacroMessage(macro.message);
  if (macros_ == padded) return;
  macros_ = padded;
  emit macrosChanged();
}

void AppSettings::setMacro(int slot, Macro macro) {
  macro.message = cappedMacroMessage(macro.message);
  if (slot < 0 || slot >= macros_.size() || macros_.at(slot) == macro) return;
  macros_[slot] = macro;
  emit macrosChanged();
}

bool AppSettings::save(QString* errorText) {
  if (storeUnreadable_) {
    if (errorText) *errorText = loadError_;
    return false;
  }
  StoreEntries entries;
  auto optional = [](const auto& value) { return value ? QVariant(*value) : QVariant(); };
  entries.append({kCallsignKey, TextCharacters::trimmedBlanksAndTabs(callsign_)});
  entries.append({kAudioInputDeviceKey, optional(audioInputDeviceUID_)});
  entries.append({kAudioOutputDeviceKey, optional(audioOutputDeviceUID_)});
  entries.append({kAudioInputGainKey, audioInputGainDb_});
  entries.append({kAudioOutputGainKey, audioOutputGainDb_});
  entries.append({kRigModelKey, optional(rigModel_)});
  entries.append({kRigPortKey, TextCharacters::trimmedBlanksAndTabs(rigPort_)});
  for (RigSerialSetting setting : kAllRigSerialSettings)
    entries.append({serialKey(setting), QString::fromStdString(rigSerial_.value(setting))});
  entries.append({kRigModeKey, rigMode_});
  entries.append({kCapitalizeMessagesKey, capitalizeMessages_});
  entries.append({kAppendCallsignKey, appendCallsign_});
  entries.append({kPlayNewMessageSoundKey, playNewMessageSound_});
  if (!writeStore(storePath_, entries, errorText)) return false;
  emit saved();
  return true;
}

bool AppSettings::saveMacros(QString* errorText) {
  if (storeUnreadable_) {
    if (errorText) *errorText = loadError_;
    return false;
  }
  if (!storeReadable(storePath_, errorText)) return false;
  StoreEntries entries;
  {
    const QSettings store(storePath_, QSettings::IniFormat);
    const QVariant stored = store.value(kMacrosKey);
    const bool unreadable = stored.isValid() && !decodeMacros(stored) &&
                            !readText(store, kMacrosKey, QString()).isEmpty();
    if (unreadable) {
      // Keep the operator's old macros: under the first backup key that is free or already
      // holds this very value.
      QString backupKey = kUnreadableMacrosKey;
      for (int n = 2; store.contains(backupKey) && store.value(backupKey) != stored; ++n)
        backupKey = kUnreadableMacrosKey + QString::number(n);
      qWarning("settings: keeping the unreadable \"%s\" under \"%s\"", kMacrosKey,
               qPrintable(backupKey));
      entries.append({backupKey, stored});
    }
  }
  entries.append({kMacrosKey, encodeMacros(macros_)});
  return writeStore(storePath_, entries, errorText);
}

std::optional<RigTxSettings> AppSettings::rigTxSettings() const {
  if (!storeReadable(storePath_)) return std::nullopt;
  const QSettings store(storePath_, QSettings::IniFormat);
  const std::optional<qint64> model = readRigModel(store);
  if (!model) return std::nullopt;
  const QString port =
      TextCharacters::trimmedBlanksAndTabs(readText(store, kRigPortKey, QString()));
  if (port.isEmpty()) return std::nullopt;
  return RigTxSettings{*model, port.toStdString(), loadRigSerialConfig(store),
                       readRigMode(store).toStdString()};
}
