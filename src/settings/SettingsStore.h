// Where the operator's settings live. The chat settings and the Hamlib log's level share one file,
// so both ask here rather than each working the path out (or leaving it to QSettings' defaults,
// which follow the application's names and cache the environment).
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

class QSettings;

// "$XDG_CONFIG_HOME/Palavrix/Palavrix.conf", or under ~/.config when XDG_CONFIG_HOME is unset or
// relative; read from the environment at the moment of the call. The file is in INI format.
QString settingsStorePath();

// What checkSettingsStore found.
struct SettingsStoreCheck {
  // The file exists but cannot be read (or could not be made safe to read): nothing may parse
  // it, and nothing may be saved over it.
  bool unreadable = false;
  // Why, in words that follow the file's name: "is not a regular file".
  QString unreadableReason;
  // Keys whose values were taken out of the store in this process, and the copy of the file
  // as it was before, where they still are.
  QStringList setAsideKeys;
  QString setAsidePath;
};

// Every reader and writer of the store calls this before QSettings parses the file. Qt's reader
// loads a "@Variant(" value recursively and a deeply nested one overflows the stack, whatever its
// key: such values (any beyond a size no value of ours reaches) are set aside. The file as it
// was is kept beside the store ("<store>.damaged", or "<store>.damaged<n>" for the next free n)
// and the store keeps every other line. Only a regular file (a link to one will do) of at most
// kMaxSettingsStoreBytes is read: a FIFO would block for ever and a device may never end. A file
// holding control characters that no text has (binary data) is not parsed either.
SettingsStoreCheck checkSettingsStore(const QString& path);

// Far above any settings file of ours, which holds a few kB. Nothing may write a larger store:
// it would not be read back.
inline constexpr qint64 kMaxSettingsStoreBytes = 4 * 1024 * 1024;

// The size the store would have once `edit` is written to it, found by making the edit on a
// private copy (QSettings writes the whole file anew, escaping as it goes); none when the copy
// cannot be made. Writers compare it with kMaxSettingsStoreBytes before they write.
std::optional<qint64> settingsStoreSizeAfter(const QString& path,
                                             const std::function<void(QSettings&)>& edit);
