// The Hamlib log window over a real HamlibLog, saving through a chooser the test answers; and
// the real save dialog.
#include "ui/HamlibLogView.h"

#include <QAction>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QListView>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTimer>
#include <QToolButton>

#include "UiTestSupport.h"
#include "rig/HamlibLog.h"
#include "rig/RigControl.h"

namespace {

// Holds the request until the test answers it.
struct AnswerLater final : SaveFileChooser {
  void chooseFile(QWidget*, const QString&, const QString& name, Done done) override {
    suggestedName = name;
    pending = std::move(done);
  }
  void answer(std::optional<QString> path) { std::exchange(pending, nullptr)(std::move(path)); }
  QString suggestedName;
  Done pending;
};

struct HamlibLogViewTest : testing::Test {
  HamlibLogViewTest() {
    // Loaded here, so that a level's thread never still loads it when the program exits.
    RigControl::hamlibVersion();
    view.setSaveFileChooser(std::unique_ptr<AnswerLater>(chooser));
    view.show();
  }
  void add(int count) {
    for (int i = 0; i < count; ++i) log.append(QDateTime::currentDateTime(), trace, false, "x");
  }
  template <typename T = QWidget>
  T* child(const char* name) {
    return view.findChild<T*>(name);
  }
  QAction* action(const char* name) { return child<QAction>(name); }
  QScrollBar* scrollBar() { return child<QListView>("entries")->verticalScrollBar(); }
  bool atBottom() {
    return scrollBar()->maximum() > 0 && scrollBar()->value() == scrollBar()->maximum();
  }
  // Lets every queued reaction to the last change run.
  static void settle() {
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
  }

  static constexpr HamlibLogLevel trace = HamlibLogLevel::trace;
  QTemporaryDir home;  // where the level is kept
  const bool homeSet = qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
  HamlibLog log;
  HamlibLogView view{log};
  AnswerLater* chooser = new AnswerLater;
};

TEST_F(HamlibLogViewTest, ShowsItsEmptyStateAndFollowsTheNewestEntryOnlyWhileFollowIsOn) {
  EXPECT_TRUE(child("emptyState")->isVisible());
  for (const char* name : {"copy", "save", "clear"})
    EXPECT_FALSE(action(name)->isEnabled()) << name;
  child<QComboBox>("levelPicker")->setCurrentIndex(2);  // the picker works on an empty log
  EXPECT_EQ(log.level(), HamlibLogLevel::error);

  add(300);
  EXPECT_FALSE(child("emptyState")->isVisible());
  for (const char* name : {"copy", "save", "clear"}) EXPECT_TRUE(action(name)->isEnabled()) << name;
  ASSERT_TRUE(waitFor([&] { return atBottom(); })) << "shown at the newest entry";
  scrollBar()->setValue(0);
  add(1);
  ASSERT_TRUE(waitFor([&] { return atBottom(); })) << "following by default";

  action("follow")->trigger();
  scrollBar()->setValue(0);
  add(1);
  settle();
  EXPECT_EQ(scrollBar()->value(), 0);
  view.setFollowTail(true);
  settle();
  EXPECT_EQ(scrollBar()->value(), 0) << "turning follow on moves nothing by itself";
  add(1);
  EXPECT_TRUE(waitFor([&] { return atBottom(); }));
  action("clear")->trigger();
  EXPECT_TRUE(child("emptyState")->isVisible());
}

TEST_F(HamlibLogViewTest, CopiesAndSavesTheTextOfTheMomentTheButtonWasPressed) {
  log.append(QDateTime::currentDateTime(), HamlibLogLevel::error, true, "rig_open failed");
  log.append(QDateTime::currentDateTime(), HamlibLogLevel::warning, false, "ünïcode");
  const QString text = log.exportText();
  action("copy")->trigger();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), text);

  QTemporaryDir folder;
  const QString path = folder.filePath("Hamlib Log.txt");
  QSignalSpy saved(&view, &HamlibLogView::saveFinished);
  action("save")->trigger();
  ASSERT_TRUE(chooser->pending);
  EXPECT_EQ(chooser->suggestedName, "Hamlib Log.txt");
  add(1);  // while the chooser is open
  chooser->answer(path);
  ASSERT_TRUE(saved.wait());
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(QString::fromUtf8(file.readAll()), text);

  action("save")->trigger();  // cancelled: nothing written, and Save asks again next time
  chooser->answer(std::nullopt);
  action("save")->trigger();
  EXPECT_TRUE(chooser->pending);
  // A folder that cannot exist: its parent is a regular file, whoever runs the test.
  chooser->answer(path + "/inside.txt");
  ASSERT_TRUE(saved.wait());
  const auto error = saved.back().front().value<std::optional<QString>>();
  ASSERT_TRUE(error && child<QMessageBox>("saveError"));
  EXPECT_TRUE(child<QMessageBox>("saveError")->text().endsWith(*error));
}

TEST_F(HamlibLogViewTest, ShowsTheCurrentEntryWhollyAndTabReachesEveryControl) {
  const QString longText =
      "port_open: " + QString("serial_open(/dev/ttyUSB0) status=-6 ").repeated(20) +
      "<b>\nsecond line";
  log.append(QDateTime::currentDateTime(), HamlibLogLevel::error, false, longText);
  add(2);
  auto* entryText = child<QPlainTextEdit>("entryText");
  child<QListView>("entries")->setCurrentIndex(log.index(0));
  EXPECT_EQ(entryText->toPlainText(), longText);
  child<QListView>("entries")->setCurrentIndex(log.index(1));
  EXPECT_EQ(entryText->toPlainText(), "x");

  view.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
  child("levelPicker")->setFocus();
  QStringList order;
  for (int i = 0; i < 7; ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    auto* tool = qobject_cast<QToolButton*>(QApplication::focusWidget());
    order.append(tool ? tool->defaultAction()->objectName()
                      : QApplication::focusWidget()->objectName());
  }
  EXPECT_EQ(order, (QStringList{"follow", "copy", "save", "clear", "entries", "entryText",
                                "levelPicker"}));
  action("clear")->trigger();
  EXPECT_EQ(entryText->toPlainText(), "");
}

TEST_F(HamlibLogViewTest, ClosesOnCtrlWFromWhereverTheFocusIs) {
  add(2);
  view.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
  for (const char* focus : {"entries", "entryText", "levelPicker"}) {
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
    child(focus)->setFocus();
    QTest::keyClick(child(focus), Qt::Key_W, Qt::ControlModifier);
    EXPECT_FALSE(view.isVisible()) << focus;
  }
}

TEST_F(HamlibLogViewTest, OpensAtTheDesignsSizeWhereItFitsElseWithinItsScreen) {
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
  EXPECT_EQ(view.size(), QSize(900, 500)) << "on a desktop's screen";
  for (const char* name : {"netbook", "scaled-1.5", "scaled-2"}) {
    SCOPED_TRACE(name);
    QScreen* screen = screenNamed(name);
    ASSERT_TRUE(screen);
    HamlibLogView onScreen(log);
    placeOn(onScreen, screen);
    onScreen.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&onScreen));
    EXPECT_TRUE(screen->availableGeometry().contains(onScreen.frameGeometry()));
    EXPECT_GE(onScreen.width(), 600);
    EXPECT_GE(onScreen.height(), 300);
  }
}

TEST(DialogSaveFileChooser, StartsInDocumentsElseHomeWithOneFilterAndAnswersOnce) {
  QTemporaryDir home;
  const QByteArray ownHome = qgetenv("HOME");
  qputenv("HOME", home.path().toUtf8());
  QWidget window;
  DialogSaveFileChooser chooser(&window);
  for (const QString& folder : {home.path(), home.filePath("Documents")}) {
    QDir().mkpath(folder);
    QList<std::optional<QString>> answers;
    chooser.chooseFile(&window, "Hamlib Log", "Hamlib Log.txt",
                       [&](std::optional<QString> path) { answers.append(path); });
    auto* dialog = window.findChild<QFileDialog*>();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->selectedFiles().value(0), folder + "/Hamlib Log.txt");
    EXPECT_EQ(dialog->nameFilters(), QStringList{"Plain Text (*.txt)"});
    dialog->reject();
    EXPECT_EQ(answers, (QList<std::optional<QString>>{std::nullopt}));
    delete dialog;

    QTimer::singleShot(0, [&] {
      auto* modal = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      if (!modal) return ADD_FAILURE() << "no modal dialog";
      EXPECT_EQ(modal->selectedFiles().value(0), folder + "/Palavrix.txt");
      modal->reject();
    });
    EXPECT_EQ(chooser.chooseFile("Export Messages", "Palavrix.txt"), std::nullopt);
  }
  qputenv("HOME", ownHome);
}

}  // namespace
