// Writes a file whole or not at all: the settings store's backups, the transcript export and the
// Hamlib log export. Any thread.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// Writes beside the path and renames over it, so that a failed write leaves any old file as it
// was and no new one. Returns the reason on failure (a full disk says so), else none.
std::optional<QString> writeWholeFile(const QString& path, const QByteArray& bytes);
