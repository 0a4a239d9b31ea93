#include "ui/UiText.h"

namespace UiText {

namespace {
bool isBlank(QChar c) { return c == u'\t' || c.category() == QChar::Separator_Space; }
}  // namespace

QString trimmedBlanks(const QString& text) {
  qsizetype begin = 0;
  qsizetype end = text.size();
  while (begin < end && isBlank(text.at(begin))) ++begin;
  while (end > begin && isBlank(text.at(end - 1))) --end;
  return text.mid(begin, end - begin);
}

}  // namespace UiText
