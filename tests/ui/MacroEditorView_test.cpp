// The macro editor on its own, offscreen: its layout at any length of message, and the cap.
#include "ui/MacroEditorView.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTextDocument>
#include <algorithm>

#include "QtTestSupport.h"
#include "ui/LengthWarning.h"

namespace {

QRect inEditor(const MacroEditorView& editor, const QWidget* widget) {
  return QRect(widget->mapTo(&editor, QPoint(0, 0)), widget->size());
}

// Every line of the message is in view or scrolled to, and the buttons sit below the field,
// inside the sheet.
void expectButtonsBelowTheField(const MacroEditorView& editor) {
  const QRect field = inEditor(editor, editor.messageField());
  for (const QPushButton* button : {editor.saveButton(), editor.cancelButton()}) {
    const QRect place = inEditor(editor, button);
    EXPECT_GT(place.top(), field.bottom()) << button->text().toStdString();
    EXPECT_LE(place.bottom(), editor.height()) << button->text().toStdString();
  }
}

TEST(MacroEditor, TheButtonsKeepTheirRowBelowTheMessageAtAnyLength) {
  MacroEditorView editor("M1", QString());
  editor.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&editor));
  const int emptyHeight = editor.height();
  for (const int lines : {3, 6, 7, 3}) {
    SCOPED_TRACE(lines);
    QStringList text;
    for (int line = 1; line <= lines; ++line) text << QStringLiteral("L%1").arg(line);
    // Pasted whole into the open sheet, and the same text in a sheet opened with it.
    editor.messageField()->setPlainText(text.join('\n'));
    QCoreApplication::processEvents();
    expectButtonsBelowTheField(editor);
    MacroEditorView opened("M1", text.join('\n'));
    opened.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&opened));
    EXPECT_EQ(editor.height(), opened.height());
    EXPECT_EQ(editor.height() > emptyHeight, lines > 3) << "grows from the fourth line on";
    EXPECT_EQ(editor.messageField()->verticalScrollBar()->maximum() > 0, lines > 6)
        << "every line in view up to six";
  }
}

TEST(MacroEditor, OpensAtTheHeightItsWrappedTextNeedsAndGrowsWithItWhileTyping) {
  const auto lines = [](const MacroEditorView& editor) {
    return editor.messageField()->document()->lineCount();
  };
  const auto allInView = [](const MacroEditorView& editor) {
    return editor.messageField()->verticalScrollBar()->maximum() == 0;
  };
  MacroEditorView threeLines("M1", "A\nB\nC");
  threeLines.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&threeLines));

  // A line that wraps once at the sheet's width, then two short ones: four lines on screen.
  const QString wrapping = QStringLiteral("CQ CQ CQ DE G4XYZ G4XYZ G4XYZ PSE K CQ CQ DE G4XYZ K");
  MacroEditorView opened("M1", wrapping + "\nQTH LONDON\nNAME PETE");
  opened.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&opened));
  ASSERT_EQ(lines(opened), 4) << "the first line must wrap once at this width";
  EXPECT_TRUE(allInView(opened)) << "the last line hidden";
  EXPECT_GT(opened.messageField()->height(), threeLines.messageField()->height());
  expectButtonsBelowTheField(opened);

  // Typed into an empty sheet: it grows line by line to six, wrapped lines included, and then
  // scrolls at that height.
  MacroEditorView typed("M1", QString());
  typed.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&typed));
  QTest::keyClicks(typed.messageField(), wrapping);
  int height = typed.messageField()->height();
  for (int line = 3; line <= 7; ++line) {
    QTest::keyClick(typed.messageField(), Qt::Key_Return, Qt::ShiftModifier);
    QTest::keyClicks(typed.messageField(), "A");
    SCOPED_TRACE(lines(typed));
    ASSERT_EQ(lines(typed), line);
    EXPECT_EQ(allInView(typed), line <= 6);
    EXPECT_EQ(typed.messageField()->height() > height, line > 3 && line <= 6);
    expectButtonsBelowTheField(typed);
    height = typed.messageField()->height();
  }
}

TEST(MacroEditor, AMessageKeepsTheEightyCharactersAMessageCarriesAndSaysSo) {
  MacroEditorView editor("M1", QString());
  editor.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&editor));
  auto* warning = editor.findChild<LengthWarning*>();
  ASSERT_TRUE(warning);
  EXPECT_FALSE(warning->isVisible());

  // A paste far beyond the limit, in letters that the store would keep escaped. The field never
  // takes in more than it holds: laid out whole, such a paste without spaces froze the window
  // for a minute and a half.
  const QString cyrillic = QString::fromUtf8("ПРИВЕТ ").repeated(100000);
  QApplication::clipboard()->setText(cyrillic);
  editor.messageField()->setFocus();
  int mostTakenIn = 0;
  QObject::connect(editor.messageField()->document(), &QTextDocument::contentsChange,
                   [&](int, int, int added) { mostTakenIn = std::max(mostTakenIn, added); });
  QTest::keySequence(editor.messageField(), QKeySequence::Paste);
  EXPECT_EQ(editor.messageField()->toPlainText(), cyrillic.first(80));
  EXPECT_LE(mostTakenIn, 80);
  EXPECT_TRUE(warning->isVisible());
  EXPECT_EQ(warning->text(), "Messages are limited to 80 characters");
  expectButtonsBelowTheField(editor);
  QTest::keyClicks(editor.messageField(), "MORE");
  EXPECT_EQ(editor.messageField()->toPlainText(), cyrillic.first(80)) << "full";

  editor.messageField()->setPlainText("CQ");
  EXPECT_FALSE(warning->isVisible()) << "below the limit again";
}

}  // namespace
