// The transcript's text selection as a Linux desktop has it, under a real X server for its
// primary selection: a drag, a double click for a word, a triple click for the bubble's text,
// and the keyboard from Tab onwards.
#include "ui/TranscriptView.h"

#include <QClipboard>
#include <QLineEdit>
#include <QVBoxLayout>

#include "UiTestSupport.h"
#include "chat/ChatMessageList.h"

namespace {

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

TEST_F(TranscriptViewTest, DragDoubleAndTripleClickSelectForMiddleClick) {
  ASSERT_TRUE(QGuiApplication::clipboard()->supportsSelection());
  QWidget* viewport = transcript_->viewport();
  const QPoint onCallsign = pointOn(2, 10);  // the "L" of DL1ABC
  QTest::mouseDClick(viewport, Qt::LeftButton, {}, onCallsign);
  QTest::mouseClick(viewport, Qt::LeftButton, {}, onCallsign);
  EXPECT_EQ(transcript_->selectedText(), "G4XYZ DE DL1ABC FB");
  EXPECT_EQ(primary(), "G4XYZ DE DL1ABC FB");
  QTest::mouseDClick(viewport, Qt::LeftButton, {}, pointOn(0, 10));
  EXPECT_EQ(transcript_->selectedText(), "DL1ABC");
  EXPECT_EQ(primary(), "DL1ABC");
  QTest::mouseClick(viewport, Qt::LeftButton, {}, pointOn(0, 1));  // a click alone selects nothing
  EXPECT_EQ(transcript_->selectedText(), "");

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
  ASSERT_TRUE(QTest::qWaitFor([] { return QApplication::activePopupWidget(); }));
  QApplication::activePopupWidget()->close();

  QTest::keyClick(transcript_, Qt::Key_Home);
  QTest::keyClick(transcript_, Qt::Key_Right, Qt::ShiftModifier);
  QTest::keyClick(transcript_, Qt::Key_Right, Qt::ShiftModifier);
  EXPECT_EQ(transcript_->selectedText(), "CQ");
  EXPECT_EQ(primary(), "CQ");
}

}  // namespace
