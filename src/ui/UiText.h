// Text rules the windows apply to what the operator types. Pure functions; any thread.
#pragma once

#include <QString>

namespace UiText {

// The text without leading and trailing blanks: Unicode space separators and the tab. Line
// breaks are kept.
QString trimmedBlanks(const QString& text);

// The number of user-perceived characters (grapheme clusters).
int characterCount(const QString& text);

}  // namespace UiText
