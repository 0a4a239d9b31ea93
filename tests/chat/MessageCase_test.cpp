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
      {"HELLO MY2", "Hello my2"},
      {"MY2 OK", "My2 ok"},
      {"QSO WAS FINE", "QSO was fine"},
      {"TNX. WAS FINE", "TNX. Was fine"},
      {"hello de dl1abc", "Hello de dl1abc"},
      {"WHAT? YES! OK", "What? Yes! Ok"},
      {"PSE QRZ? WX HR IS FB", "PSE QRZ? WX HR is FB"},
      {"SOTA AND POTA ON 20M", "SOTA and POTA on 20M"},
      {"CQ CQ DE DL1ABC/P K", "CQ CQ DE DL1ABC/P K"},
      {"OE/DL1ABC HERE", "OE/DL1ABC here"},
      {"HELLO ... WORLD", "Hello ... World"},
      {"QRG 14.070 AT 1200Z", "QRG 14.070 At 1200Z"},
      {"\"HELLO\" SAID HE", "\"Hello\" said he"},
      {"HE#LO # WORLD", "He#lo # world"},
      {"(ABOUT) [NOTHING]", "(About) [nothing]"},
      {"WHY TRY MY RHYTHM HYMNS", "Why try my rhythm HYMNS"},
      {"  HELLO  \tWORLD\n\nAGAIN ", "  Hello  \tworld\n\nagain "},
      {"ÜBER ALLES ßA", "Über alles ßa"},
      {"ÉTÉ 😀 HELLO", "ÉTÉ 😀 hello"},
      {"HOW TE\u0301L 👨‍👩‍👧 ABC", "How TE\u0301L 👨‍👩‍👧 abc"},
  };
  for (const auto& [input, expected] : cases)
    EXPECT_EQ(MessageCase::apply(QString::fromUtf8(input)).toStdString(), expected) << input;
}

// Text as the decoder hands it over: the on-air alphabet in any mix of cases, "#" for what it
// could not place. Capitalisation must only change case, never move a separator, and be stable.
TEST(MessageCaseApply, OnlyChangesCaseOverTheOnAirAlphabet) {
  const QString alphabet =
      "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ +-./?!\"#$%,&*()_'=[]{}<>|:;"
      "abcdefghijklmnopqrstuvwxyz";
  QRandomGenerator random(20261206);
  for (int round = 0; round < 1000; ++round) {
    QString text;
    for (int i = random.bounded(1, 81); i > 0; --i) {
      // Favour letters and blanks so that words and sentences form.
      const int pick = random.bounded(10);
      text += pick < 2 ? QChar(' ') : alphabet.at(random.bounded(pick < 6 ? 36 : 90));
    }
    const QString result = MessageCase::apply(text);
    ASSERT_EQ(result.compare(text, Qt::CaseInsensitive), 0) << text.toStdString();
    for (int i = 0; i < text.size(); ++i)
      ASSERT_TRUE(text.at(i).isLetter() || result.at(i) == text.at(i)) << text.toStdString();
    ASSERT_EQ(MessageCase::apply(result), result) << text.toStdString();
    ASSERT_EQ(MessageCase::apply(text.toLower()), MessageCase::apply(result.toLower()));
  }
  // Broken text: a lone surrogate, a NUL, a combining mark with nothing to combine with.
  const QString broken = QStringLiteral("HELLO ") + QChar(0xD800) + " WORLD" + QChar(0) +
                         QChar(0x0301) + "\n" + QChar(0xDC00) + "X";
  const QString result = MessageCase::apply(broken);
  EXPECT_EQ(result.size(), broken.size());
  EXPECT_TRUE(result.startsWith("Hello "));
}

}  // namespace
