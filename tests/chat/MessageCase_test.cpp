#include "chat/MessageCase.h"

#include <gtest/gtest.h>

#include <QRandomGenerator>

namespace {

TEST(MessageCaseApply, GivesSentenceCase) {
  // Operators' examples; Q-codes, callsigns and vowel-less abbreviations kept; the Y-word test
  // before the digit test; a kept word at a sentence start passes the capital on only when it
  // ends a sentence; "...", "?" and a decimal point end one; separators kept exactly.
  const std::pair<const char*, const char*> cases[] = {
      {"GM OM. HOW ARE YOU?", "GM OM. How are you?"},
      {"MY RIG IS A 100W RIG", "My rig is A 100W rig"},
      {"TNX FER QSO", "TNX fer QSO"},
      {"RST 599 IN QTH", "RST 599 in QTH"},
      {"HELLO MY2", "Hello my2"},
      {"MY2 OK", "My2 ok"},
      {"QSO WAS FINE", "QSO was fine"},
      {"TNX. WAS FINE", "TNX. Was fine"},
      {"hello de dl1abc", "Hello de dl1abc"},
      {"? HELLO", "? Hello"},
      {"WHAT? YES! OK", "What? Yes! Ok"},
      {"PSE QRZ? WX HR IS FB", "PSE QRZ? WX HR is FB"},
      {"SOTA AND POTA ON 20M", "SOTA and POTA on 20M"},
      {"NAME DR. SMITH", "Name DR. Smith"},
      {"CQ CQ DE DL1ABC/P K", "CQ CQ DE DL1ABC/P K"},
      {"OE/DL1ABC HERE", "OE/DL1ABC here"},
      {"HELLO ... WORLD", "Hello ... World"},
      {"MY NAME IS ... JOHN", "My name is ... John"},
      {"QRG 14.070 AT 1200Z", "QRG 14.070 At 1200Z"},
      {"2ND TRY", "2ND try"},
      {"UR 5NN IN 599 TU", "UR 5NN in 599 TU"},
      {"73! BYE", "73! Bye"},
      {"\"HELLO\" SAID HE", "\"Hello\" said he"},
      {"I'M FINE", "I'm fine"},
      {"HE#LO # WORLD", "He#lo # world"},
      {"(ABOUT) [NOTHING]", "(About) [nothing]"},
      {"WHY TRY MY RHYTHM", "Why try my rhythm"},
      {"  HELLO  \tWORLD\n\nAGAIN ", "  Hello  \tworld\n\nagain "},
      {"HELLO\r\nTHERE", "Hello\r\nthere"},
      {"ÜBER ALLES", "Über alles"},
      {"ÉTÉ 😀 HELLO", "ÉTÉ 😀 hello"},
  };
  for (const auto& [input, expected] : cases)
    EXPECT_EQ(MessageCase::apply(QString::fromUtf8(input)).toStdString(), expected) << input;
}

TEST(MessageCaseKeepsCase, FollowsTheRulesInOrder) {
  const std::pair<const char*, bool> cases[] = {
      {"", true},        {"...", true},   {"?", true},    {"73", true},  {"14.070", true},
      {"MY", false},     {"my", false},   {"MY2", false}, {"MX2", true}, {"DL1ABC/P", true},
      {"A/B", true},     {"A", true},     {"a", true},    {"QSO", true}, {"qso", true},
      {"QSO.", true},    {"HOW", false},  {"GM", true},   {"TNX", true}, {"WHY?", false},
      {"RHYTHM", false}, {"HYMNS", true}, {"IS", false},  {"#", true},   {"HE#LO", false},
  };
  for (const auto& [word, keeps] : cases)
    EXPECT_EQ(MessageCase::keepsCase(QString::fromUtf8(word)), keeps) << '"' << word << '"';
}

TEST(MessageCaseCapitalizingFirstLetter, ChangesOnlyTheFirstLetter) {
  const std::pair<const char*, const char*> cases[] = {{"hello", "Hello"},   {"'hello'", "'Hello'"},
                                                       {"123abc", "123Abc"}, {"hELLO", "HELLO"},
                                                       {"...", "..."},       {"", ""},
                                                       {"ßa", "SSa"}};
  for (const auto& [word, expected] : cases)
    EXPECT_EQ(MessageCase::capitalizingFirstLetter(QString::fromUtf8(word)), expected) << word;
}

TEST(MessageCaseTokenize, SplitsRunsOfWhitespaceAndJoinsBack) {
  using MessageCase::Token;
  EXPECT_TRUE(MessageCase::tokenize("").isEmpty());
  const QList<Token> expected{{"  ", true},  {"CQ", false},  {" \t", true},
                              {"DE", false}, {"\r\n", true}, {"K", false}};
  EXPECT_EQ(MessageCase::tokenize("  CQ \tDE\r\nK"), expected);

  // A user-perceived character is never split, even one made of several code points.
  const QString family = QString::fromUtf8("👨‍👩‍👧 A");
  const QList<Token> tokens = MessageCase::tokenize(family);
  ASSERT_EQ(tokens.size(), 3);
  EXPECT_EQ(tokens[0].text, QString::fromUtf8("👨‍👩‍👧"));
}

// Text as the decoder hands it over: the on-air alphabet in any mix of cases, "#" for what it
// could not place. Capitalisation must only change case, never move a separator, and be stable.
TEST(MessageCaseApply, OnlyChangesCaseOverTheOnAirAlphabet) {
  const QString alphabet =
      "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ +-./?!\"#$%,&*()_'=[]{}<>|:;"
      "abcdefghijklmnopqrstuvwxyz";
  ASSERT_EQ(alphabet.size(), 90);
  QRandomGenerator random(20261206);
  for (int round = 0; round < 1000; ++round) {
    QString text;
    const int length = random.bounded(1, 81);
    for (int i = 0; i < length; ++i) {
      // Favour letters and blanks so that words and sentences form.
      const int pick = random.bounded(10);
      text += pick < 2 ? QChar(' ') : alphabet.at(random.bounded(pick < 6 ? 36 : 90));
    }
    const QString result = MessageCase::apply(text);
    ASSERT_EQ(result.size(), text.size()) << text.toStdString();
    ASSERT_EQ(result.compare(text, Qt::CaseInsensitive), 0) << text.toStdString();
    for (int i = 0; i < text.size(); ++i) {
      if (!text.at(i).isLetter()) {
        ASSERT_EQ(result.at(i), text.at(i));
      }
    }
    ASSERT_EQ(MessageCase::apply(result), result) << text.toStdString();
    ASSERT_EQ(MessageCase::apply(text.toLower()), MessageCase::apply(result.toLower()));
  }
}

TEST(MessageCaseApply, SurvivesBrokenText) {
  // A lone surrogate, a NUL, a combining mark with nothing to combine with, a lone line feed.
  QString text = "HELLO ";
  text += QChar(0xD800);
  text += " WORLD";
  text += QChar(0);
  text += QChar(0x0301);
  text += "\n";
  text += QChar(0xDC00);
  text += "X";
  const QString result = MessageCase::apply(text);
  QString joined;
  for (const MessageCase::Token& token : MessageCase::tokenize(result)) joined += token.text;
  EXPECT_EQ(joined, result);
  EXPECT_EQ(result.size(), text.size());
  EXPECT_TRUE(result.startsWith("Hello "));
}

}  // namespace
