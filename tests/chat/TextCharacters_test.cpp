#include "chat/TextCharacters.h"

#include <gtest/gtest.h>

TEST(TextCharacters, CountsAndCutsWhatAReaderSeesAsOneCharacter) {
  // "e" with a combining acute, a flag of two regional indicators, a family joined by ZWJs.
  const QString text =
      QStringLiteral("e\u0301\U0001F1E9\U0001F1EA\U0001F468\u200D\U0001F469\u200D\U0001F467x");
  EXPECT_EQ(TextCharacters::count(text), 4);
  EXPECT_EQ(TextCharacters::first(text, 2), QStringLiteral("e\u0301\U0001F1E9\U0001F1EA"));
  EXPECT_EQ(TextCharacters::first(text, 80), text);
  EXPECT_EQ(TextCharacters::first(QString(), 3), QString());
}

TEST(TextCharacters, TrimsBlanksOfEveryScriptAndTabsButKeepsLineBreaks) {
  const struct {
    QString in;
    QString out;
  } cases[] = {
      {QStringLiteral(" \tCQ DE X \t"), QStringLiteral("CQ DE X")},
      {QStringLiteral("\u00A0\u3000CQ\u2003"), QStringLiteral("CQ")},
      {QStringLiteral("\u00A0 \t\u3000"), QString()},
      {QStringLiteral("\nCQ\n "), QStringLiteral("\nCQ\n")},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TextCharacters::trimmedBlanksAndTabs(c.in), c.out) << c.in.toStdString();
}
