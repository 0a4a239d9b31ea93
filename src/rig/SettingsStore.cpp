#include "rig/SettingsStore.h"

#include <QDir>

QString settingsStorePath() {
  QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (base.isEmpty() || QDir::isRelativePath(base))
    base = QDir::homePath() + QStringLiteral("/.config");
  return base + QStringLiteral("/Palavrix/Palavrix.conf");
}
