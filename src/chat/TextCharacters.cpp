#include "chat/TextCharacters.h"

#include <QTextBoundaryFinder>

namespace TextCharacters {

int count(const QString& text) {
  QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
  int characters = 0;
  while (finder.toNextBoundary() > 0) ++characters;
  return characters;
}

QString first(const QString& text, int limit) {
  QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
  int characters = 0;
  qsizetype end = 0;
  while (characters < limit) {
    const qsizetype next = finder.toNextBoundary();
    if (next < 0) return text;
    end = next;
    ++characters;
  }
  return text.left(end);
}

QString trimmedBlanksAndTabs(const QString& text) {
  qsizetype start = 0;
  qsizetype end = text.size();
  // The blanks of every script (Unicode space separators) and the tab; never a line break.
  auto blank = [](QChar c) { return c == u'\t' || c.category() == QChar::Separator_Space; };
  while (start < end && blank(text[start])) ++start;
  while (end > start && blank(text[end - 1])) --end;
  return text.mid(start, end - start);
}

}  // namespace TextCharacters
