#include "ui/ContentView.h"

#include <QPushButton>
#include <QScrollBar>

#include "UiTestSupport.h"
#include "chat/ChatMessageList.h"
#include "ui/LengthWarning.h"
#include "ui/MacroBar.h"
#include "ui/MainWindow.h"
#include "ui/MessageField.h"
#include "ui/SendButton.h"
#include "ui/SpectrumView.h"
#include "ui/StatusLine.h"
#include "ui/TranscriptView.h"

namespace {

class ContentViewTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(waitFor([&] { return view().isVisible(); }));
  }
  ContentView& view() { return program_.view(); }
  ChatViewModel& model() { return program_.model(); }
  MessageField& field() { return *view().messageField(); }
  ChatMessageList& messages() { return *model().messages(); }
  KvolDecoder::Update update(int64_t id, const char* text, bool complete) {
    return {id, text, 1500, complete, -12, 3, 59};
  }

  UiProgram program_;
};

bool near(const QColor& a, const QColor& b) {
  return std::abs(a.red() - b.red()) <= 1 && std::abs(a.green() - b.green()) <= 1 &&
         std::abs(a.blue() - b.blue()) <= 1;
}

TEST_F(ContentViewTest, OpensWithTheWaterfallOnTopAndTakesEightyCharactersButNoBlanks) {
  EXPECT_EQ(view().spectrumView()->geometry(), QRect(0, 0, 420, 90));
  EXPECT_EQ(field().placeholderText(), "Text Message");
  EXPECT_EQ(view().sendButton()->text(), "Send");
  EXPECT_EQ(view().statusLine()->texts(), QStringList{"No signal decoded"});

  field().setFocus();
  QTest::keyClicks(&field(), QString(79, u'a'));
  EXPECT_FALSE(view().lengthWarning()->isVisible());
  QTest::keyClicks(&field(), "bcde");
  EXPECT_TRUE(view().lengthWarning()->isVisible());
  EXPECT_EQ(view().lengthWarning()->text(), "Messages are limited to 80 characters");
  EXPECT_EQ(model().inputText(), QString(79, u'a') + "b");
  EXPECT_EQ(field().text(), model().inputText());

  // Blanks are not sent, and the up arrow recalls nothing before the first sent message.
  model().setInputText(" \t  ");
  EXPECT_FALSE(view().sendButton()->isEnabled());
  QTest::keyClick(&field(), Qt::Key_Return);
  QTest::keyClick(&field(), Qt::Key_Up);
  EXPECT_EQ(model().inputText(), " \t  ");
  EXPECT_TRUE(messages().isEmpty());
  model().setInputText(" x ");
  EXPECT_TRUE(view().sendButton()->isEnabled());
}

TEST_F(ContentViewTest, MacrosGoInPlaceOfTheSelectionWithinTheLimit) {
  const QString long78(78, u'a');
  const struct {
    QString text;
    int selectionStart, selectionLength;
    QString macro;
    QString result;
    int caret;
  } cases[] = {
      {"", 0, 0, "CQ DE G4XYZ", "CQ DE G4XYZ", 11},
      {"ONE TWO THREE", 4, 3, "FOUR", "ONE FOUR THREE", 8},
      {"ONE TWO", 7, 0, "", "ONE TWO", 7},
      {long78, 0, 0, "CQ CQ", ("CQ CQ" + long78).left(80), 5},
      {long78, 78, 0, "0123456789", long78 + "01", 80},
  };
  for (const auto& c : cases) {
    model().setInputText(c.text);
    field().setSelection(c.selectionStart, c.selectionLength);
    program_.settings().setMacro(0, Macro{"M", c.macro});
    QTest::mouseClick(view().macroBar()->button(0), Qt::LeftButton);
    EXPECT_EQ(model().inputText(), c.result) << c.result.toStdString();
    EXPECT_EQ(field().text(), c.result);
    EXPECT_EQ(field().cursorPosition(), c.caret) << c.result.toStdString();
    EXPECT_FALSE(field().hasSelectedText());
  }
}

TEST_F(ContentViewTest, AGrowingBubbleBlinksScrollsIntoViewAndTurnsSolid) {
  for (int i = 0; i < 30; ++i) {
    messages().append({QUuid::createUuid(), i == 0 ? QString("MSG ").repeated(40) : "MSG",
                       i % 2 == 0, ChatMessage::DecodeState::complete, QDateTime::currentDateTime(),
                       std::nullopt});
  }
  model().handleDecoderUpdate(update(7, "CQ", false));
  EXPECT_EQ(view().statusLine()->texts(), (QStringList{"SNR -12 dB", "Errors 3/59 symbols"}));
  TranscriptView& transcript = *view().transcript();
  QScrollBar& scroll = *transcript.verticalScrollBar();
  ASSERT_TRUE(waitFor([&] { return scroll.value() == scroll.maximum() && scroll.maximum() > 0; }));
  // A long message wraps within 70 % of the transcript's width.
  const qreal longest = transcript.bubbleAt(0)->textRect(transcript.rowRect(0).width()).width();
  EXPECT_LE(longest, 0.7 * transcript.width());
  EXPECT_GT(longest, 0.6 * transcript.width());

  // Half transparent, with a caret that blinks.
  const int row = static_cast<int>(messages().size()) - 1;
  const auto bubbleFill = [&] {
    const QRect rowRect = transcript.rowRect(row);
    // Inside the fill, left of the text.
    const QRectF bubble = transcript.bubbleAt(row)->bubbleRect(rowRect.width());
    const QPointF point(bubble.left() + 6, bubble.center().y());
    return transcript.viewport()->grab().toImage().pixelColor(
        (rowRect.topLeft() + point).toPoint());
  };
  EXPECT_TRUE(near(bubbleFill(), QColor(242, 242, 244))) << bubbleFill().name().toStdString();
  ASSERT_TRUE(waitFor([&] { return !transcript.caretVisible(); }));
  ASSERT_TRUE(waitFor([&] { return transcript.caretVisible(); }));

  // Scrolled up, each change brings the end back into view.
  scroll.setValue(0);
  model().handleDecoderUpdate(update(7, "CQ CQ DE DL1ABC", true));
  ASSERT_TRUE(waitFor([&] { return scroll.value() == scroll.maximum(); }));
  EXPECT_EQ(messages().at(row).decodeState, ChatMessage::DecodeState::complete);
  EXPECT_TRUE(near(bubbleFill(), ChatBubbleView::receivedBubbleColor));
}

TEST_F(ContentViewTest, WindowPutsItsMenuBarAboveTheContentsSizesAndKeepsTheComposerWhole) {
  MainWindow window(model(), program_.settings());
  window.show();
  ContentView& content = window.contentView();
  ASSERT_TRUE(waitFor([&] { return content.isVisible(); }));
  EXPECT_EQ(content.size(), QSize(420, 640));
  EXPECT_TRUE(waitFor([&] { return content.messageField()->hasFocus(); }));
  model().setInputText(QString(80, u'x'));  // the length warning takes its room too
  window.resize(1, 1);
  ASSERT_TRUE(waitFor([&] { return content.size() == QSize(380, 480); }));
  for (QWidget* part : {static_cast<QWidget*>(content.messageField()),
                        static_cast<QWidget*>(content.sendButton())}) {
    const QRect shown(part->mapTo(&content, QPoint(0, 0)), part->size());
    EXPECT_TRUE(content.rect().contains(shown)) << part->metaObject()->className();
    EXPECT_GE(part->height(), part->sizeHint().height()) << part->metaObject()->className();
  }
}

TEST_F(ContentViewTest, AlertShowsTheMessageUntilOk) {
  model().setAlertMessage("Couldn't start listening on the audio input: gone");
  ASSERT_TRUE(waitFor([&] { return view().alert() && view().alert()->isVisible(); }));
  QMessageBox& alert = *view().alert();
  EXPECT_EQ(alert.windowTitle(), "KVOL");
  EXPECT_EQ(alert.text(), "Couldn't start listening on the audio input: gone");
  ASSERT_EQ(alert.buttons().size(), 1);
  EXPECT_EQ(alert.buttons().at(0)->text(), "OK");
  QTest::mouseClick(alert.buttons().at(0), Qt::LeftButton);
  EXPECT_EQ(model().alertMessage(), std::nullopt);
  EXPECT_FALSE(view().alert());
}

TEST_F(ContentViewTest, TypedMessageGoesOutWithTheControlsDisabledAndComesBackOnTheUpArrow) {
  const QString text = "CQ CQ DE G4XYZ";
  field().setFocus();
  ASSERT_TRUE(waitFor([&] { return field().hasFocus(); }));
  QTest::keyClicks(&field(), text);
  QTest::keyClick(&field(), Qt::Key_Return);
  ASSERT_FALSE(messages().isEmpty());
  EXPECT_TRUE(messages().at(0).isSent);
  EXPECT_EQ(messages().at(0).text, text);
  ASSERT_TRUE(model().isSending());
  EXPECT_FALSE(field().isEnabled());
  EXPECT_FALSE(view().sendButton()->isEnabled());
  EXPECT_FALSE(view().macroBar()->button(0)->isEnabled());
  EXPECT_FALSE(view().transcript()->hasFocus()) << "the disabled field hands no keys on";

  ASSERT_TRUE(waitFor([&] { return !model().isSending(); }, 30000));
  EXPECT_TRUE(field().isEnabled());
  EXPECT_TRUE(view().macroBar()->button(0)->isEnabled());
  EXPECT_EQ(field().text(), "");
  EXPECT_TRUE(field().hasFocus());
  QTest::keyClick(&field(), Qt::Key_Up);
  EXPECT_EQ(field().text(), text);
}

}  // namespace
