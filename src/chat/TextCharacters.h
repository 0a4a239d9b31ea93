// Counting text the way a reader does: in user-perceived characters (grapheme clusters), not
// UTF-16 units, so that an accented letter or an emoji counts as one. Any thread.
#pragma once

#include <QString>

namespace TextCharacters {

int count(const QString& text);
// The first `limit` characters of the text (all of it when it is not longer).
QString first(const QString& text, int limit);
// Without blanks (Unicode space separators) and tabs at either end; line breaks stay.
QString trimmedBlanksAndTabs(const QString& text);

}  // namespace TextCharacters
