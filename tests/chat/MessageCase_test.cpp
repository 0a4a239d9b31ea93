#include "chat/MessageCase.h"

#include <gtest/gtest.h>

#include <QRandomGenerator>

namespace {

struct Case {
  const char* input;
  const char* expected;
};

void PrintTo(const Case& c, std::ostream* os) { *os << '"' << c.input << '"'; }

class Capitalisation : public testing::TestWithParam<Case> {};

TEST_P(Capitalisation, GivesSentenceCase) {
  const QString input = QString::fromUtf8(GetParam().input);
  EXPECT_EQ(MessageCase::apply(input).toStdString(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    OperatorExamples, Capitalisation,
    testing::Values(
        Case{"GM OM. HOW ARE YOU?", "GM OM. How are you?"},
        Case{"MY RIG IS A 100W RIG", "My rig is A 100W rig"}, Case{"TNX FER QSO", "TNX fer QSO"},
        Case{"RST 599 IN QTH", "RST 599 in QTH"},
        // The Y-word test comes before the digit test.
        Case{"HELLO MY2", "Hello my2"}, Case{"HELLO MX2", "Hello MX2"}, Case{"MY2 OK", "My2 ok"},
        // A kept word at a sentence start passes the capital on only when it ends a sentence.
        Case{"QSO WAS FINE", "QSO was fine"}, Case{"TNX. WAS FINE", "TNX. Was fine"},
        Case{"hello de dl1abc", "Hello de dl1abc"}, Case{"hello", "Hello"},
        Case{"5NN 73", "5NN 73"}, Case{"? HELLO", "? Hello"},
        Case{"WHAT? YES! OK", "What? Yes! Ok"}, Case{"", ""}));

INSTANTIATE_TEST_SUITE_P(
    TrickyWords, Capitalisation,
    testing::Values(
        // Vowel-less abbreviations and Q-codes, and the sentence end that "?" makes.
        Case{"PSE QRZ? WX HR IS FB", "PSE QRZ? WX HR is FB"},
        Case{"SOTA AND POTA ON 20M", "SOTA and POTA on 20M"}, Case{"QRO NOW", "QRO now"},
        Case{"NAME DR. SMITH", "Name DR. Smith"},
        // Callsigns, portable and prefixed, at any place.
        Case{"CQ CQ DE DL1ABC/P K", "CQ CQ DE DL1ABC/P K"},
        Case{"OE/DL1ABC HERE", "OE/DL1ABC here"}, Case{"W1AW QRV", "W1AW QRV"},
        // The gap marker for missing frames is punctuation only: kept, and it ends a sentence.
        Case{"HELLO ... WORLD", "Hello ... World"},
        Case{"MY NAME IS ... JOHN", "My name is ... John"},
        // Digits: reports, frequencies, times, ordinals.
        // A decimal point counts as a full stop, like any ".".
        Case{"QRG 14.070 AT 1200Z", "QRG 14.070 At 1200Z"}, Case{"2ND TRY", "2ND try"},
        Case{"UR 5NN IN 599 TU", "UR 5NN in 599 TU"}, Case{"73! BYE", "73! Bye"},
        Case{"1234", "1234"},
        // Punctuation around words and characters the decoder could not place.
        Case{"\"HELLO\" SAID HE", "\"Hello\" said he"}, Case{"I'M FINE", "I'm fine"},
        Case{"HE#LO # WORLD", "He#lo # world"}, Case{"(ABOUT) [NOTHING]", "(About) [nothing]"},
        // Y-words are ordinary words.
        Case{"WHY TRY MY RHYTHM", "Why try my rhythm"}, Case{"GYM", "Gym"},
        // Separators come out exactly as they went in.
        Case{"  HELLO  \tWORLD\n\nAGAIN ", "  Hello  \tworld\n\nagain "},
        Case{"HELLO\r\nTHERE", "Hello\r\nthere"},
        // Beyond the on-air alphabet.
        Case{"ÜBER ALLES", "Über alles"}, Case{"ÉTÉ 😀 HELLO", "ÉTÉ 😀 hello"}));

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
  EXPECT_EQ(MessageCase::capitalizingFirstLetter("hello"), "Hello");
  EXPECT_EQ(MessageCase::capitalizingFirstLetter("'hello'"), "'Hello'");
  EXPECT_EQ(MessageCase::capitalizingFirstLetter("123abc"), "123Abc");
  EXPECT_EQ(MessageCase::capitalizingFirstLetter("hELLO"), "HELLO");
  EXPECT_EQ(MessageCase::capitalizingFirstLetter("..."), "...");
  EXPECT_EQ(MessageCase::capitalizingFirstLetter(""), "");
  EXPECT_EQ(MessageCase::capitalizingFirstLetter(QString::fromUtf8("ßa")), "SSa");
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
