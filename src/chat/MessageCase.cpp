#include "chat/MessageCase.h"

#include <QSet>
#include <QStringList>
#include <QTextBoundaryFinder>

namespace MessageCase {
namespace {

// The user-perceived characters (extended grapheme clusters) of a text, in order.
QStringList characters(const QString& text) {
  QStringList result;
  QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
  qsizetype start = 0;
  while (start < text.size()) {
    qsizetype end = finder.toNextBoundary();
    if (end <= start) end = text.size();  // never loop on a finder that gives up
    result.append(text.sliced(start, end - start));
    start = end;
  }
  return result;
}

// A character's properties are those of its first code point, as for a grapheme cluster.
char32_t firstCodePoint(const QString& character) {
  const QChar first = character.front();
  if (first.isHighSurrogate() && character.size() > 1 && character.at(1).isLowSurrogate())
    return QChar::surrogateToUcs4(first, character.at(1));
  return first.unicode();
}

bool isWhitespace(const QString& character) { return QChar::isSpace(firstCodePoint(character)); }
bool isLetter(const QString& character) { return QChar::isLetter(firstCodePoint(character)); }
bool isNumber(const QString& character) { return QChar::isNumber(firstCodePoint(character)); }

const QSet<QString>& vowels() {
  static const QSet<QString> set{"A", "E", "I", "O", "U"};
  return set;
}

// Radio shorthand and Q-codes that carry vowels but are never ordinary words.
const QSet<QString>& keptWords() {
  static const QSet<QString> set{
      "DE",  "UR",  "OM",  "TU",   "PSE",  "AGN",  "CUL", "GUD", "MNI", "SRI", "TKS", "ABT", "NIL",
      "UTC", "RPT", "SSB", "SOTA", "POTA", "IOTA", "QRA", "QRG", "QRL", "QRM", "QRN", "QRO", "QRP",
      "QRT", "QRU", "QRV", "QRX",  "QSA",  "QSB",  "QSK", "QSL", "QSO", "QSX", "QSY", "QTC", "QTR"};
  return set;
}

// Words whose only vowel is Y: ordinary words, not vowel-less abbreviations.
const QSet<QString>& yWords() {
  static const QSet<QString> set{"BY",  "MY",  "WHY",  "TRY",  "DRY",  "FLY",   "SKY", "SHY",
                                 "CRY", "SLY", "PLY",  "PRY",  "FRY",  "SPY",   "STY", "THY",
                                 "WRY", "GYM", "MYTH", "HYMN", "LYNX", "RHYTHM"};
  return set;
}

bool endsSentence(const QString& word) {
  for (const QString& character : characters(word)) {
    if (character == u"." || character == u"!" || character == u"?") return true;
  }
  return false;
}

}  // namespace

QList<Token> tokenize(const QString& text) {
  QList<Token> tokens;
  for (const QString& character : characters(text)) {
    const bool separator = isWhitespace(character);
    if (tokens.isEmpty() || tokens.back().isSeparator != separator)
      tokens.append(Token{character, separator});
    else
      tokens.back().text += character;
  }
  return tokens;
}

bool keepsCase(const QString& word) {
  const QString upper = word.toUpper();
  QStringList core;
  for (const QString& character : characters(upper)) {
    if (isLetter(character) || isNumber(character) || character == u"/") core.append(character);
  }
  if (core.isEmpty()) return true;

  QStringList letterList;
  for (const QString& character : core) {
    if (isLetter(character)) letterList.append(character);
  }
  if (letterList.isEmpty()) return true;
  const QString letters = letterList.join(QString());

  if (yWords().contains(letters)) return false;
  for (const QString& character : core) {
    if (isNumber(character)) return true;  // callsigns, reports, times
  }
  if (core.contains(QStringLiteral("/"))) return true;  // portable callsigns
  if (letterList.size() == 1) return true;
  if (keptWords().contains(letters)) return true;
  for (const QString& character : letterList) {
    if (vowels().contains(character)) return false;
  }
  return true;  // vowel-less groups: abbreviations
}

QString capitalizingFirstLetter(const QString& word) {
  QString result;
  bool done = false;
  for (const QString& character : characters(word)) {
    if (!done && isLetter(character)) {
      result += character.toUpper();
      done = true;
    } else {
      result += character;
    }
  }
  return result;
}

QString apply(const QString& text) {
  QString result;
  result.reserve(text.size());
  bool atSentenceStart = true;
  for (const Token& token : tokenize(text)) {
    if (token.isSeparator) {
      result += token.text;
      continue;
    }
    if (keepsCase(token.text)) {
      result += token.text;
    } else {
      const QString lower = token.text.toLower();
      result += atSentenceStart ? capitalizingFirstLetter(lower) : lower;
    }
    atSentenceStart = endsSentence(token.text);
  }
  return result;
}

}  // namespace MessageCase
