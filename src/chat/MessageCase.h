// Sentence case for text off the air, which is mostly upper case: ordinary words are lowered and
// capitalised at the start of a sentence, while callsigns, numbers, abbreviations and Q-codes stay
// as they came. Pure functions over user-perceived characters; safe on any thread.
#pragma once

#include <QList>
#include <QString>

namespace MessageCase {

// A run of whitespace (a separator) or a run of anything else (a word).
struct Token {
  QString text;
  bool isSeparator = false;

  bool operator==(const Token&) const = default;
};

// The capitalised text; separators come out exactly as they went in.
QString apply(const QString& text);

// Consecutive characters with the same whitespace property form one token; joining the tokens
// gives the text back. Empty text gives no tokens.
QList<Token> tokenize(const QString& text);

// True when a word stays exactly as received.
bool keepsCase(const QString& word);

// The first letter in upper case, the rest unchanged; a word without letters is unchanged.
QString capitalizingFirstLetter(const QString& word);

}  // namespace MessageCase
