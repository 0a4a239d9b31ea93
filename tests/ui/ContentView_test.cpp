#include "ui/ContentView.h"

#include <QFileInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>

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

struct ContentViewTest : testing::Test, UiProgram {
  void SetUp() override {
    ASSERT_TRUE(waitFor([&] { return view.isVisible(); }));
  }
  MessageField& field() { return *view.messageField(); }
  ChatMessageList& messages() { return *model.messages(); }
  MacroBar& bar = *view.macroBar();
};
using MacroBarTest = ContentViewTest;

TEST_F(ContentViewTest, OpensWithTheWaterfallOnTopTakesEightyCharactersButNoBlanksAndAlerts) {
  EXPECT_EQ(view.spectrumView()->geometry(), QRect(0, 0, 420, 90));
  EXPECT_EQ(field().placeholderText(), "Text Message");
  EXPECT_EQ(view.sendButton()->text(), "Send");
  EXPECT_EQ(view.statusLine()->texts(), QStringList{"No signal decoded"});

  field().setFocus();
  QTest::keyClicks(&field(), QString(79, u'a'));
  EXPECT_FALSE(view.lengthWarning()->isVisible());
  QTest::keyClicks(&field(), "bcde");
  EXPECT_TRUE(view.lengthWarning()->isVisible());
  EXPECT_EQ(view.lengthWarning()->text(), "Messages are limited to 80 characters");
  EXPECT_EQ(model.inputText(), QString(79, u'a') + "b");
  EXPECT_EQ(field().text(), model.inputText());

  model.setInputText(" \t  ");  // blanks are not sent
  EXPECT_FALSE(view.sendButton()->isEnabled());
  model.setInputText(" x ");
  EXPECT_TRUE(view.sendButton()->isEnabled());

  model.setAlertMessage("Couldn't start listening on the audio input: gone");
  ASSERT_TRUE(waitFor([&] { return view.alert() && view.alert()->isVisible(); }));
  EXPECT_EQ(view.alert()->windowTitle(), "KVOL");
  EXPECT_EQ(view.alert()->text(), "Couldn't start listening on the audio input: gone");
  ASSERT_EQ(view.alert()->buttons().size(), 1);
  EXPECT_EQ(view.alert()->buttons().at(0)->text(), "OK");
  QTest::mouseClick(view.alert()->buttons().at(0), Qt::LeftButton);
  EXPECT_EQ(model.alertMessage(), std::nullopt);
  EXPECT_FALSE(view.alert());
}

TEST_F(ContentViewTest, MacrosGoInPlaceOfTheSelectionWithinTheLimit) {
  const QString long78(78, u'a');
  // Text, selection start and length, macro -> text and caret.
  const std::tuple<QString, int, int, QString, QString, int> cases[] = {
      {"", 0, 0, "CQ DE G4XYZ", "CQ DE G4XYZ", 11},
      {"ONE TWO THREE", 4, 3, "FOUR", "ONE FOUR THREE", 8},
      {long78, 0, 0, "CQ CQ", ("CQ CQ" + long78).left(80), 5},
      {long78, 78, 0, "0123456789", long78 + "01", 80},
  };
  for (const auto& [text, start, length, macro, result, caret] : cases) {
    model.setInputText(text);
    field().setSelection(start, length);
    settings.setMacro(0, Macro{"M", macro});
    QTest::mouseClick(bar.button(0), Qt::LeftButton);
    EXPECT_EQ(model.inputText(), result);
    EXPECT_EQ(field().cursorPosition(), caret) << result.toStdString();
    EXPECT_FALSE(field().hasSelectedText());
  }
}

TEST_F(ContentViewTest, AGrowingBubbleBlinksScrollsIntoViewAndTurnsSolid) {
  for (int i = 0; i < 30; ++i) {
    messages().append({QUuid::createUuid(), i == 0 ? QString("MSG ").repeated(40) : "MSG",
                       i % 2 == 0, ChatMessage::DecodeState::complete, QDateTime::currentDateTime(),
                       std::nullopt});
  }
  model.handleDecoderUpdate({7, "CQ", 1500, false, -12, 3, 59});
  EXPECT_EQ(view.statusLine()->texts(), (QStringList{"SNR -12 dB", "Errors 3/59 symbols"}));
  TranscriptView& transcript = *view.transcript();
  QScrollBar& scroll = *transcript.verticalScrollBar();
  ASSERT_TRUE(waitFor([&] { return scroll.value() == scroll.maximum() && scroll.maximum() > 0; }));
  const qreal longest = transcript.bubbleAt(0)->textRect(transcript.rowRect(0).width()).width();
  EXPECT_LE(longest, 0.7 * transcript.width()) << "a long message wraps within 70 %";
  EXPECT_GT(longest, 0.6 * transcript.width());

  // Half transparent, with a caret that blinks.
  const int row = static_cast<int>(messages().size()) - 1;
  const auto bubbleFill = [&] {
    const QRect rowRect = transcript.rowRect(row);
    const QRectF bubble = transcript.bubbleAt(row)->bubbleRect(rowRect.width());
    const QPointF leftOfTheText(bubble.left() + 6, bubble.center().y());
    return transcript.viewport()->grab().toImage().pixelColor(
        (rowRect.topLeft() + leftOfTheText).toPoint());
  };
  EXPECT_NEAR(bubbleFill().red(), 242, 1) << "half of the received colour over white";
  ASSERT_TRUE(waitFor([&] { return !transcript.caretVisible(); }));
  ASSERT_TRUE(waitFor([&] { return transcript.caretVisible(); }));

  // Scrolled up, each change brings the end back into view.
  scroll.setValue(0);
  model.handleDecoderUpdate({7, "CQ CQ DE DL1ABC", 1500, true, -12, 3, 59});
  ASSERT_TRUE(waitFor([&] { return scroll.value() == scroll.maximum(); }));
  EXPECT_NEAR(bubbleFill().red(), ChatBubbleView::receivedBubbleColor.red(), 1);
}

TEST_F(ContentViewTest, WindowPutsItsMenuBarAboveTheContentsSizesAndKeepsTheComposerWhole) {
  MainWindow window(model, settings);
  window.show();
  ContentView& content = window.contentView();
  ASSERT_TRUE(waitFor([&] { return content.isVisible(); }));
  EXPECT_EQ(content.size(), QSize(420, 640));
  EXPECT_TRUE(waitFor([&] { return content.messageField()->hasFocus(); }));
  model.setInputText(QString(80, u'x'));  // the length warning takes its room too
  window.resize(1, 1);
  ASSERT_TRUE(waitFor([&] { return content.size() == QSize(380, 480); }));
  for (QWidget* part : {static_cast<QWidget*>(content.messageField()),
                        static_cast<QWidget*>(content.sendButton())}) {
    const QRect shown(part->mapTo(&content, QPoint(0, 0)), part->size());
    EXPECT_TRUE(content.rect().contains(shown)) << part->metaObject()->className();
    EXPECT_GE(part->height(), part->sizeHint().height()) << part->metaObject()->className();
  }
}

TEST_F(ContentViewTest, WindowOpensWithinASmallOrScaledScreenWithTheComposerInReach) {
  // The design's size where it fits; shorter where the screen is, never below the minimum.
  struct Case {
    const char* screen;
    bool designHeightFits;
  };
  for (const Case& each :
       {Case{"netbook", false}, Case{"scaled-1.5", true}, Case{"scaled-2", false}}) {
    SCOPED_TRACE(each.screen);
    QScreen* screen = screenNamed(each.screen);
    ASSERT_TRUE(screen);
    MainWindow window(model, settings);
    placeOn(window, screen);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const QRect area = screen->availableGeometry();
    EXPECT_TRUE(area.contains(window.frameGeometry())) << window.frameGeometry().height();
    const ContentView& content = window.contentView();
    EXPECT_EQ(content.width(), ContentView::kIdealWidth);
    EXPECT_GE(content.height(), ContentView::kMinimumHeight);
    EXPECT_EQ(content.height() == ContentView::kIdealHeight, each.designHeightFits);
    for (const QWidget* part : {static_cast<QWidget*>(content.messageField()),
                                static_cast<QWidget*>(content.sendButton())}) {
      EXPECT_TRUE(area.contains(onScreens(*part))) << part->metaObject()->className();
    }
  }
}

TEST_F(ContentViewTest, AtALargerFontTheWindowGrowsToItsTextsAndTheRigsTextEndsInAnEllipsis) {
  constexpr qint64 kDummyRig = 1;  // Hamlib's own, which answers without hardware
  settings.setRigModel(kDummyRig);
  settings.setRigPort("/dev/null");  // the dummy opens no port, but a rig needs one named
  ASSERT_TRUE(settings.save());
  model.refreshRigStatusNow();
  ASSERT_TRUE(waitFor([&] { return model.rigStatus().has_value(); }));
  // A long message's counts.
  model.handleDecoderUpdate({7, "CQ", 1500, true, -12, 120, 944});

  LargerDesktopFont font(18);  // where the counts alone take more than the design's least width
  MainWindow window(model, settings);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  const StatusLine& line = *window.contentView().statusLine();
  // What the line shows, and the rig's text of the moment: the dummy rig's may change.
  const auto shown = [&] {
    QCoreApplication::processEvents();
    return line.texts();
  };
  const auto rigText = [&] { return model.rigStatus().value_or(QString()); };
  // Every text of the line whole in its place, but the rig's, which may end in "…".
  const auto expectNothingCut = [&] {
    for (const QLabel* label : line.findChildren<QLabel*>()) {
      if (label->isHidden()) continue;
      EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()),
                label->contentsRect().width())
          << label->text().toStdString();
    }
  };
  const QStringList quality = {"SNR -12 dB", "Errors 120/944 symbols"};
  window.resize(900, window.height());
  EXPECT_TRUE(waitFor([&] { return shown().last() == rigText(); })) << "whole where there is room";
  EXPECT_EQ(shown().mid(0, 2), quality);
  expectNothingCut();

  window.resize(1, 1);  // as narrow as it goes
  ASSERT_TRUE(waitFor([&] { return shown().last() != rigText(); }))
      << "the rig's text must shorten on the narrowest line at this font";
  const QString rig = shown().last();
  EXPECT_TRUE(rig.endsWith(QChar(0x2026))) << rig.toStdString();
  EXPECT_TRUE(rigText().startsWith(rig.chopped(1))) << rig.toStdString();
  EXPECT_EQ(shown().mid(0, 2), quality);
  expectNothingCut();
}

TEST_F(ContentViewTest, TypedMessageGoesOutWithTheControlsDisabledAndComesBackOnTheUpArrow) {
  field().setFocus();
  ASSERT_TRUE(waitFor([&] { return field().hasFocus(); }));
  QTest::keyClicks(&field(), "CQ CQ DE G4XYZ");
  QTest::keyClick(&field(), Qt::Key_Return);
  ASSERT_TRUE(model.isSending());
  EXPECT_FALSE(field().isEnabled());
  EXPECT_FALSE(view.sendButton()->isEnabled());
  EXPECT_FALSE(bar.button(0)->isEnabled());
  EXPECT_FALSE(view.transcript()->hasFocus()) << "the disabled field hands no keys on";

  ASSERT_TRUE(waitFor([&] { return !model.isSending(); }, 30000));
  EXPECT_TRUE(field().isEnabled());
  EXPECT_TRUE(bar.button(0)->isEnabled());
  EXPECT_EQ(field().text(), "");
  EXPECT_TRUE(field().hasFocus());
  QTest::keyClick(&field(), Qt::Key_Up);
  EXPECT_EQ(field().text(), "CQ CQ DE G4XYZ");
}

TEST_F(MacroBarTest, ButtonsShowTheSlotsAndStayReadableButIgnoreClicksWhileDisabled) {
  settings.setMacro(2, Macro{"Greeting", "  GM OM\n"});
  EXPECT_EQ(bar.button(2)->toolTip(), "  GM OM\n");
  settings.setMacro(3, Macro{QString(60, u'W'), "x"});
  EXPECT_TRUE(bar.button(3)->text().endsWith(QChar(0x2026))) << "too long for its button";

  // Disabled while sending: light and readable, clicks do nothing, a right click still opens
  // the editor.
  bar.setButtonsDisabled(true);
  const QImage face = bar.button(2)->grab().toImage();
  const int middle = face.height() / 2;
  const int fill = face.pixelColor(4, middle).lightness();
  EXPECT_GT(fill, 200);
  int darkest = 255;
  for (int x = 6; x < face.width() - 6; ++x) {  // inside the border
    darkest = std::min(darkest, face.pixelColor(x, middle).lightness());
  }
  EXPECT_LT(darkest, fill - 60) << "the label stands out from the button";
  QTest::mouseClick(bar.button(2), Qt::LeftButton);
  EXPECT_EQ(model.inputText(), "");
  QTest::mouseClick(bar.button(5), Qt::RightButton);
  ASSERT_TRUE(bar.editor());
  EXPECT_EQ(bar.editingSlot(), 5);
}

TEST_F(MacroBarTest, CancelAndEscapeStoreNothingAndSaveStoresTheTrimmedTitleAndTheMessage) {
  const QList<Macro> before = settings.macros();
  for (const bool escape : {false, true}) {
    // The keyboard's context-menu gestures open the editor too.
    QTest::keyClick(bar.button(4), escape ? Qt::Key_Menu : Qt::Key_F10,
                    escape ? Qt::NoModifier : Qt::ShiftModifier);
    ASSERT_TRUE(bar.editor());
    bar.editor()->titleField()->setText("Changed");
    escape ? QTest::keyClick(bar.editor()->titleField(), Qt::Key_Escape)
           : QTest::mouseClick(bar.editor()->cancelButton(), Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return !bar.editor(); }));
  }
  EXPECT_EQ(settings.macros(), before);
  EXPECT_FALSE(QFileInfo::exists(settings.storePath()));

  QTest::mouseClick(bar.button(1), Qt::RightButton);
  MacroEditorView* editor = bar.editor();
  ASSERT_TRUE(editor);
  EXPECT_EQ(editor->titleField()->text(), before[1].title);
  editor->titleField()->setText(" \t ");
  EXPECT_FALSE(editor->saveButton()->isEnabled());
  editor->titleField()->setText("  Rig\t");
  editor->messageField()->setPlainText("  50W DIPOLE\n");
  // A store that cannot be written (a file where its folder should be): the slot is in use, and
  // the sheet stays open with the store's sentence.
  QFile blocker(QFileInfo(settings.storePath()).path());
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  QTest::keyClick(editor->titleField(), Qt::Key_Return);
  EXPECT_EQ(bar.button(1)->accessibleName(), "Rig");
  ASSERT_EQ(bar.editor(), editor);
  EXPECT_TRUE(editor->errorLabel()->text().contains(settings.storePath()));
  ASSERT_TRUE(blocker.remove());
  QTest::keyClick(editor->titleField(), Qt::Key_Return);
  ASSERT_TRUE(waitFor([&] { return !bar.editor(); }));
  QList<Macro> expected = before;
  expected[1] = Macro{"Rig", "  50W DIPOLE\n"};
  EXPECT_EQ(settings.macros(), expected);
  EXPECT_EQ(AppSettings::loadMacros(QSettings(settings.storePath(), QSettings::IniFormat)),
            expected);
}

}  // namespace
