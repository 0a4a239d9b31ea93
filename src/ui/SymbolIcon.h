// The symbol images the settings and log windows show: the desktop's icon theme where it has
// one, else a small line drawing of our own in the given colour. Main thread.
#pragma once

#include <QColor>
#include <QIcon>
#include <QString>

namespace SymbolIcon {

enum class Symbol { person, speaker, antenna, arrowDownToLine, copy, save, trash, chevronDown };

QIcon icon(Symbol symbol, const QString& themeName, const QColor& colour);

}  // namespace SymbolIcon
