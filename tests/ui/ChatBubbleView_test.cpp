#include "ui/ChatBubbleView.h"

#include <QLocale>

#include "UiTestSupport.h"

namespace {

using State = ChatMessage::DecodeState;

const QDateTime kNow(QDate(2026, 3, 14), QTime(15, 30));

ChatMessage message(State state, std::optional<int> snr, QDateTime date = kNow.addSecs(-60),
                    const QString& text = QStringLiteral("CQ DE G4XYZ"), bool isSent = false) {
  return {QUuid::createUuid(), text, isSent, state, date, snr};
}

TEST(ChatBubbleView, FootersSayStateTimeAndSnr) {
  QLocale::setDefault(QLocale::c());
  const struct {
    ChatMessage message;
    QString footer;
  } cases[] = {
      {message(State::inProgress, 5), QStringLiteral("Receiving\u2026")},
      {message(State::complete, std::nullopt), "15:29"},
      {message(State::complete, 0), QStringLiteral("15:29 \u00b7 SNR 0 dB")},
      {message(State::complete, 1), QStringLiteral("15:29 \u00b7 SNR +1 dB")},
      {message(State::complete, -7), QStringLiteral("15:29 \u00b7 SNR -7 dB")},
      {message(State::incomplete, std::nullopt), QStringLiteral("15:29 \u00b7 incomplete")},
      {message(State::incomplete, 12), QStringLiteral("15:29 \u00b7 SNR +12 dB \u00b7 incomplete")},
      {message(State::complete, std::nullopt, kNow.addDays(-1)), "13 Mar 2026, 15:30"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ChatBubbleView::footerText(c.message, kNow), c.footer) << c.footer.toStdString();
  }
}

TEST(ChatBubbleView, SentSitsRightReceivedLeftAndLongTextWrapsWithinTheWidth) {
  constexpr qreal kRowWidth = 400;
  const auto fonts = ChatBubbleView::defaultFonts();
  const ChatBubbleView sent(message(State::complete, std::nullopt, kNow, "Hi", true), 280, fonts,
                            kNow);
  EXPECT_GT(sent.bubbleRect(kRowWidth).left(), kRowWidth / 2);
  EXPECT_EQ(sent.bubbleRect(kRowWidth).right(), sent.footerRect(kRowWidth).right());
  const ChatBubbleView received(message(State::complete, 3), 280, fonts, kNow);
  EXPECT_LT(received.bubbleRect(kRowWidth).right(), kRowWidth / 2);
  EXPECT_EQ(received.bubbleRect(kRowWidth).left(), received.footerRect(kRowWidth).left());
  EXPECT_GE(received.footerRect(kRowWidth).top(), received.bubbleRect(kRowWidth).bottom());

  const QString longText =
      QStringLiteral("THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG ").repeated(2);
  const ChatBubbleView oneLine(message(State::complete, 1, kNow, "Hi"), 100, fonts, kNow);
  const ChatBubbleView wrapped(message(State::complete, 1, kNow, longText), 100, fonts, kNow);
  EXPECT_LE(wrapped.textRect(kRowWidth).width(), 100);
  EXPECT_GT(wrapped.textRect(kRowWidth).height(), 3 * oneLine.textRect(kRowWidth).height());
  EXPECT_TRUE(wrapped.bubbleRect(kRowWidth).contains(wrapped.textRect(kRowWidth)));
}

}  // namespace
