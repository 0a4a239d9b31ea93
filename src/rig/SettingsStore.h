// Where the operator's settings live. The chat settings and the Hamlib log's level share one file,
// so both ask here rather than each working the path out (or leaving it to QSettings' defaults,
// which follow the application's names and cache the environment).
#pragma once

#include <QString>

// "$XDG_CONFIG_HOME/Palavrix/Palavrix.conf", or under ~/.config when XDG_CONFIG_HOME is unset or
// relative; read from the environment at the moment of the call. The file is in INI format.
QString settingsStorePath();
