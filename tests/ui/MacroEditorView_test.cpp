// The macro editor on its own, offscreen: its layout at any length of message, and the cap.
#include "ui/MacroEditorView.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>

#include "QtTestSupport.h"
#include "chat/TextCharacters.h"
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
  for (const int lines : {1, 3, 5, 6, 7, 20}) {
    SCOPED_TRACE(lines);
    QStringList text;
    for (int line = 1; line <= lines; ++line) text << QStringLiteral("L%1").arg(line);
    MacroEditorView opened("Long", text.join('\n'));
    opened.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&opened));
    expectButtonsBelowTheField(opened);

    // Pasted whole into an open sheet.
    MacroEditorView pasted("Pasted", QString());
    pasted.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&pasted));
    pasted.messageField()->setPlainText(text.join('\n'));
    QCoreApplication::processEvents();
    expectButtonsBelowTheField(pasted);
    EXPECT_EQ(pasted.height(), opened.height());

    // Typed line by line into an open sheet, which grows as the text does.
    MacroEditorView typed("Typed", QString());
    typed.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&typed));
    const int emptyHeight = typed.height();
    typed.messageField()->setFocus();
    for (int line = 0; line < lines; ++line) {
      if (line > 0) QTest::keyClick(typed.messageField(), Qt::Key_Return, Qt::ShiftModifier);
      QTest::keyClicks(typed.messageField(), QStringLiteral("L%1").arg(line + 1));
      QCoreApplication::processEvents();
      expectButtonsBelowTheField(typed);
    }
    EXPECT_EQ(typed.height() > emptyHeight, lines > 3) << "grows from the fourth line on";
    EXPECT_EQ(typed.height(), opened.height());
    EXPECT_EQ(typed.messageField()->verticalScrollBar()->maximum() > 0, lines > 6)
        << "scrolls beyond six lines";
  }
}

TEST(MacroEditor, AMessageKeepsTheEightyCharactersAMessageCarriesAndSaysSo) {
  MacroEditorView editor("M1", QString());
  editor.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&editor));
  auto* warning = editor.findChild<LengthWarning*>();
  ASSERT_TRUE(warning);
  EXPECT_FALSE(warning->isVisible());

  // A paste far beyond the limit, in letters that the store would keep escaped.
  const QString cyrillic = QString::fromUtf8("ПРИВЕТ ").repeated(100000);
  QApplication::clipboard()->setText(cyrillic);
  editor.messageField()->setFocus();
  QTest::keySequence(editor.messageField(), QKeySequence::Paste);
  EXPECT_EQ(editor.messageField()->toPlainText(), cyrillic.first(80));
  EXPECT_TRUE(warning->isVisible());
  EXPECT_EQ(warning->text(), "Messages are limited to 80 characters");
  expectButtonsBelowTheField(editor);
  QTest::keyClicks(editor.messageField(), "MORE");
  EXPECT_EQ(editor.messageField()->toPlainText(), cyrillic.first(80)) << "full";

  // Characters as a reader counts them: an accented letter of two code points is one.
  const QString accented = QString::fromUtf8("e\u0301").repeated(80);
  editor.messageField()->setPlainText(accented + "X");
  EXPECT_EQ(editor.messageField()->toPlainText(), accented);
  editor.messageField()->setPlainText(accented.chopped(2));
  EXPECT_FALSE(warning->isVisible()) << "below the limit again";

  QString savedMessage;
  QObject::connect(&editor, &MacroEditorView::saved,
                   [&](const QString&, const QString& message) { savedMessage = message; });
  editor.messageField()->setPlainText(cyrillic);
  editor.save();
  EXPECT_EQ(savedMessage, cyrillic.first(80));
}

}  // namespace
