// Text rules the windows apply to what the operator types (characters are counted by the
// controller's own TextCharacters). Pure functions; any thread.
#pragma once

#include <QString>

namespace UiText {

// The text without leading and trailing blanks: Unicode space separators and the tab. Line
// breaks are kept.
QString trimmedBlanks(const QString& text);

}  // namespace UiText
