// The transcript's bubbles, and its text selection as a Linux desktop has it, under a real X
// server for its primary selection.
#include "ui/TranscriptView.h"

#include <QClipboard>
#include <QLineEdit>
#include <QLocale>
#include <QVBoxLayout>

#include "UiTestSupport.h"
#include "chat/ChatMessageList.h"

namespace {

using State = ChatMessage::DecodeState;

const QDateTime kNow(QDate(2026, 3, 14), QTime(15, 30));

ChatMessage message(State state, std::optional<int> snr, QDateTime date = kNow.addSecs(-60)) {
  return {QUuid::createUuid(), "CQ DE G4XYZ", false, state, date, snr};
}

TEST(ChatBubbleView, FootersSayStateTimeAndSnr) {
  QLocale::setDefault(QLocale::c());
  const std::pair<ChatMessage, QString> cases[] = {
      {message(State::inProgress, 5), "Receiving\u2026"},
      {message(State::complete, std::nullopt), "15:29"},
      {message(State::complete, 0), "15:29 \u00b7 SNR 0 dB"},
      {message(State::incomplete, 12), "15:29 \u00b7 SNR +12 dB \u00b7 incomplete"},
      {message(State::complete, std::nullopt, kNow.addDays(-1)), "13 Mar 2026, 15:30"},
  };
  for (const auto& [message, footer] : cases) {
    EXPECT_EQ(ChatBubbleView::footerText(message, kNow), footer) << footer.toStdString();
  }
}

class TranscriptViewTest : public testing::Test {
 protected:
  TranscriptViewTest() {
    for (const char* text : {"CQ CQ DE DL1ABC", "DL1ABC DE G4XYZ GM", "G4XYZ DE DL1ABC FB"}) {
      messages_.append({QUuid::createUuid(), text, messages_.size() == 1,
                        ChatMessage::DecodeState::complete, QDateTime::currentDateTime(), -5});
    }
    auto* layout = new QVBoxLayout(&window_);
    layout->addWidget(field_);
    layout->addWidget(transcript_);
    window_.resize(420, 400);
    window_.show();
    window_.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&window_));
  }
  // Where the given character of a row's text stands in the viewport.
  QPoint pointOn(int row, int character) {
    const QRect rowRect = transcript_->rowRect(row);
    const auto bubble = transcript_->bubbleAt(row);
    const QRectF text = bubble->textRect(rowRect.width());
    for (qreal x = text.left(); x < text.right(); x += 1) {
      const QPointF point(x, text.top() + 4);
      if (bubble->textPositionAt(point, rowRect.width(), true) == character) {
        return (rowRect.topLeft() + point + QPointF(1, 0)).toPoint();
      }
    }
    ADD_FAILURE() << "no character " << character << " in row " << row;
    return {};
  }
  QString primary() { return QGuiApplication::clipboard()->text(QClipboard::Selection); }

  ChatMessageList messages_;
  QWidget window_;
  QLineEdit* field_ = new QLineEdit(&window_);
  TranscriptView* transcript_ = new TranscriptView(messages_, &window_);
};

TEST_F(TranscriptViewTest, SentBubblesSitRightAndReceivedLeftOverTheirFooters) {
  const qreal width = transcript_->rowRect(0).width();
  const auto sent = transcript_->bubbleAt(1), received = transcript_->bubbleAt(0);
  EXPECT_GT(sent->bubbleRect(width).left(), width / 2);
  EXPECT_EQ(sent->bubbleRect(width).right(), sent->footerRect(width).right());
  EXPECT_LT(received->bubbleRect(width).right(), width / 2);
  EXPECT_EQ(received->bubbleRect(width).left(), received->footerRect(width).left());
  EXPECT_GE(received->footerRect(width).top(), received->bubbleRect(width).bottom());
}

TEST_F(TranscriptViewTest, DragDoubleAndTripleClickSelectForMiddleClick) {
  ASSERT_TRUE(QGuiApplication::clipboard()->supportsSelection());
  QWidget* viewport = transcript_->viewport();
  QTest::mouseDClick(viewport, Qt::LeftButton, {}, pointOn(2, 10));  // the "L" of DL1ABC
  QTest::mouseClick(viewport, Qt::LeftButton, {}, pointOn(2, 10));
  EXPECT_EQ(transcript_->selectedText(), "G4XYZ DE DL1ABC FB");
  EXPECT_EQ(primary(), "G4XYZ DE DL1ABC FB");
  QTest::mouseDClick(viewport, Qt::LeftButton, {}, pointOn(0, 10));
  EXPECT_EQ(transcript_->selectedText(), "DL1ABC");
  EXPECT_EQ(primary(), "DL1ABC");

  // A drag from the first character to past the last.
  const QPoint end = pointOn(1, 17) + QPoint(20, 0);
  QTest::mousePress(viewport, Qt::LeftButton, {}, pointOn(1, 0) - QPoint(2, 0));
  QMouseEvent move(QEvent::MouseMove, end, viewport->mapToGlobal(end), Qt::NoButton, Qt::LeftButton,
                   Qt::NoModifier);
  QApplication::sendEvent(viewport, &move);
  QTest::mouseRelease(viewport, Qt::LeftButton, {}, end);
  EXPECT_EQ(transcript_->selectedText(), "DL1ABC DE G4XYZ GM");
  EXPECT_EQ(primary(), "DL1ABC DE G4XYZ GM");
}

TEST_F(TranscriptViewTest, TabReachesTheBubblesWhoseTextTheKeyboardSelectsAndCopies) {
  field_->setFocus();
  const QImage unfocused = transcript_->viewport()->grab().toImage();
  QTest::keyClick(field_, Qt::Key_Tab);
  ASSERT_TRUE(transcript_->hasFocus());
  EXPECT_NE(transcript_->viewport()->grab().toImage(), unfocused) << "the focus shows";

  QTest::keyClick(transcript_, Qt::Key_Up);
  QTest::keyClick(transcript_, Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(transcript_->selectedText(), "DL1ABC DE G4XYZ GM");
  QTest::keyClick(transcript_, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QGuiApplication::clipboard()->text(), "DL1ABC DE G4XYZ GM");
  QTest::keyClick(transcript_, Qt::Key_F10, Qt::ShiftModifier);
  ASSERT_TRUE(waitFor([] { return QApplication::activePopupWidget(); }));
  QApplication::activePopupWidget()->close();

  QTest::keyClick(transcript_, Qt::Key_Home);
  for (int i = 0; i < 2; ++i) QTest::keyClick(transcript_, Qt::Key_Right, Qt::ShiftModifier);
  EXPECT_EQ(transcript_->selectedText(), "CQ");
  EXPECT_EQ(primary(), "CQ");
}

}  // namespace
