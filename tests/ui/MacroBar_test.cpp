#include "ui/MacroBar.h"

#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>

#include "UiTestSupport.h"

namespace {

class MacroBarTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(waitFor([&] { return bar().isVisible(); }));
  }
  MacroBar& bar() { return *program_.view().macroBar(); }
  QSettings store() { return QSettings(program_.storePath(), QSettings::IniFormat); }

  UiProgram program_;
};

TEST_F(MacroBarTest, ButtonsShowTheSlotsAndHandOnTheirMessages) {
  program_.settings().setMacro(2, Macro{"Greeting", "  GM OM\n"});
  ASSERT_EQ(bar().button(2)->toolTip(), "  GM OM\n");
  QSignalSpy inserted(&bar(), &MacroBar::insertRequested);
  QTest::mouseClick(bar().button(2), Qt::LeftButton);
  ASSERT_EQ(inserted.count(), 1);
  EXPECT_EQ(inserted.at(0).at(0).toString(), "  GM OM\n");

  // A title too long for its button ends in an ellipsis.
  program_.settings().setMacro(3, Macro{QString(60, u'W'), "x"});
  EXPECT_TRUE(bar().button(3)->text().endsWith(QChar(0x2026)));

  // Disabled while sending: light and readable, clicks do nothing, a right click still opens
  // the editor.
  bar().setButtonsDisabled(true);
  const QImage face = bar().button(2)->grab().toImage();
  const int middle = face.height() / 2;
  const int fill = face.pixelColor(4, middle).lightness();
  EXPECT_GT(fill, 200);
  int darkest = 255;
  for (int x = 6; x < face.width() - 6; ++x) {  // inside the border
    darkest = std::min(darkest, face.pixelColor(x, middle).lightness());
  }
  EXPECT_LT(darkest, fill - 60) << "the label stands out from the button";
  QTest::mouseClick(bar().button(2), Qt::LeftButton);
  EXPECT_EQ(inserted.count(), 1);
  QTest::mouseClick(bar().button(5), Qt::RightButton);
  ASSERT_TRUE(bar().editor());
  EXPECT_EQ(bar().editingSlot(), 5);
  EXPECT_TRUE(bar().editor()->isModal());
}

TEST_F(MacroBarTest, CancelAndEscapeStoreNothingAndSaveStoresTheTrimmedTitleAndTheMessage) {
  const QList<Macro> before = program_.settings().macros();
  const QVariant stored = store().value("macros");
  for (const bool escape : {false, true}) {
    // The keyboard's context-menu gestures open the editor too.
    QTest::keyClick(bar().button(4), escape ? Qt::Key_Menu : Qt::Key_F10,
                    escape ? Qt::NoModifier : Qt::ShiftModifier);
    MacroEditorView* editor = bar().editor();
    ASSERT_TRUE(editor);
    editor->titleField()->setText("Changed");
    if (escape) {
      QTest::keyClick(editor->titleField(), Qt::Key_Escape);
    } else {
      QTest::mouseClick(editor->cancelButton(), Qt::LeftButton);
    }
    ASSERT_TRUE(waitFor([&] { return !bar().editor(); }));
  }
  EXPECT_EQ(program_.settings().macros(), before);
  EXPECT_EQ(store().value("macros"), stored);

  QTest::mouseClick(bar().button(1), Qt::RightButton);
  MacroEditorView* editor = bar().editor();
  ASSERT_TRUE(editor);
  EXPECT_EQ(editor->titleField()->text(), before[1].title);
  editor->titleField()->setText(" \t ");
  EXPECT_FALSE(editor->saveButton()->isEnabled());
  editor->titleField()->setText("  Rig\t");
  editor->messageField()->setPlainText("  50W DIPOLE\n");
  // A store that cannot be written (a file where its folder should be): the slot is in use, and
  // the sheet stays open with the store's sentence.
  const QString folder = QFileInfo(program_.storePath()).path();
  ASSERT_TRUE(QDir(folder).removeRecursively());
  QFile blocker(folder);
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  QTest::keyClick(editor->titleField(), Qt::Key_Return);
  EXPECT_EQ(bar().button(1)->accessibleName(), "Rig");
  ASSERT_EQ(bar().editor(), editor);
  EXPECT_TRUE(editor->errorLabel()->text().contains(program_.storePath()));
  ASSERT_TRUE(blocker.remove());
  QTest::keyClick(editor->titleField(), Qt::Key_Return);
  ASSERT_TRUE(waitFor([&] { return !bar().editor(); }));
  EXPECT_EQ(bar().editingSlot(), std::nullopt);
  QList<Macro> expected = before;
  expected[1] = Macro{"Rig", "  50W DIPOLE\n"};
  EXPECT_EQ(program_.settings().macros(), expected);
  EXPECT_EQ(bar().button(1)->accessibleName(), "Rig");
  EXPECT_EQ(AppSettings::loadMacros(store()), expected);
}

}  // namespace
