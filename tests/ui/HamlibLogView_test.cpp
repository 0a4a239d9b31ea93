// The Hamlib log window over a real HamlibLog: empty state, following the newest entry, the level
// picker, Copy, Save through a chooser the test answers, and Clear.
#include "ui/HamlibLogView.h"

#include <QAction>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QListView>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSettings>
#include <QSignalSpy>
#include <QTimer>
#include <QToolButton>

#include "UiTestSupport.h"
#include "rig/HamlibLog.h"
#include "rig/RigControl.h"
#include "settings/SettingsStore.h"

namespace {

// Holds every request until the test answers it.
class AnswerLater final : public SaveFileChooser {
 public:
  void chooseFile(QWidget*, const QString&, const QString& name, Done done) override {
    suggestedName = name;
    pending.push_back(std::move(done));
  }
  void answer(std::optional<QString> path) {
    Done done = std::move(pending.front());
    pending.erase(pending.begin());
    done(std::move(path));
  }
  QString suggestedName;
  std::vector<Done> pending;
};

class HamlibLogViewTest : public testing::Test {
 protected:
  HamlibLogViewTest() {
    qputenv("XDG_CONFIG_HOME", home_.path().toUtf8());  // where the level is kept
    // Loaded here, so that a level's thread never still loads it when the program exits.
    RigControl::hamlibVersion();
    auto chooser = std::make_unique<AnswerLater>();
    chooser_ = chooser.get();
    view_.setSaveFileChooser(std::move(chooser));
    view_.show();
  }
  void add(int count, HamlibLogLevel level = HamlibLogLevel::trace) {
    for (int i = 0; i < count; ++i) log_.append(QDateTime::currentDateTime(), level, false, "x");
  }
  QAction* action(const char* name) { return view_.findChild<QAction*>(name); }
  QScrollBar* scrollBar() { return view_.findChild<QListView*>("entries")->verticalScrollBar(); }
  bool atBottom() {
    return scrollBar()->maximum() > 0 && scrollBar()->value() == scrollBar()->maximum();
  }
  // Lets every queued reaction to the last change run.
  void settle() {
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
  }

  QTemporaryDir home_;
  HamlibLog log_;
  HamlibLogView view_{log_};
  AnswerLater* chooser_ = nullptr;
};

TEST_F(HamlibLogViewTest, EmptyLogShowsItsStateOnlyThePickerAndFollowWorkAndClearKeepsCounting) {
  EXPECT_TRUE(view_.findChild<QWidget*>("emptyState")->isVisible());
  for (const char* name : {"copy", "save", "clear"})
    EXPECT_FALSE(action(name)->isEnabled()) << name;

  view_.findChild<QComboBox*>("levelPicker")->setCurrentIndex(2);
  EXPECT_EQ(log_.level(), HamlibLogLevel::error);
  EXPECT_EQ(QSettings(settingsStorePath(), QSettings::IniFormat).value(HamlibLog::kLevelKey), 2);
  EXPECT_EQ(HamlibLog().level(), HamlibLogLevel::error) << "the level survives a restart";
  EXPECT_TRUE(QTest::qWaitFor([] { return RigControl::hamlibDebugLevel() == 2; }))
      << "applied to Hamlib";
  action("follow")->trigger();
  EXPECT_FALSE(view_.followTail());

  add(3);
  EXPECT_FALSE(view_.findChild<QWidget*>("emptyState")->isVisible());
  for (const char* name : {"copy", "save", "clear"}) EXPECT_TRUE(action(name)->isEnabled()) << name;
  action("clear")->trigger();
  EXPECT_TRUE(log_.entries().isEmpty());
  EXPECT_TRUE(view_.findChild<QWidget*>("emptyState")->isVisible());
  add(1);
  ASSERT_EQ(log_.entries().size(), 1);
  EXPECT_EQ(log_.entries().front().id, 3);
  EXPECT_EQ(view_.findChild<QListView*>("entries")->model()->rowCount(), 1);
}

TEST_F(HamlibLogViewTest, FollowsTheNewestEntryOnlyWhileFollowIsOn) {
  add(300);
  ASSERT_TRUE(QTest::qWaitFor([&] { return atBottom(); })) << "shown at the newest entry";
  scrollBar()->setValue(0);
  add(1);
  ASSERT_TRUE(QTest::qWaitFor([&] { return atBottom(); })) << "following by default";

  view_.setFollowTail(false);
  scrollBar()->setValue(0);
  add(1);
  settle();
  EXPECT_EQ(scrollBar()->value(), 0);
  view_.setFollowTail(true);
  settle();
  EXPECT_EQ(scrollBar()->value(), 0) << "turning follow on moves nothing by itself";
  add(1);
  EXPECT_TRUE(QTest::qWaitFor([&] { return atBottom(); }));
}

TEST_F(HamlibLogViewTest, CopiesAndSavesTheTextOfTheMomentTheButtonWasPressed) {
  log_.append(QDateTime::currentDateTime(), HamlibLogLevel::error, true, "rig_open failed");
  log_.append(QDateTime::currentDateTime(), HamlibLogLevel::warning, false, "ünïcode");
  const QString text = log_.exportText();
  action("copy")->trigger();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), text);

  QTemporaryDir folder;
  QSignalSpy saved(&view_, &HamlibLogView::saveFinished);
  action("save")->trigger();
  ASSERT_EQ(chooser_->pending.size(), 1u);
  EXPECT_EQ(chooser_->suggestedName, "Hamlib Log.txt");
  add(1);  // while the chooser is open
  chooser_->answer(folder.filePath("Hamlib Log.txt"));
  ASSERT_TRUE(saved.wait());
  EXPECT_EQ(saved.front().front().value<std::optional<QString>>(), std::nullopt);
  QFile file(folder.filePath("Hamlib Log.txt"));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(QString::fromUtf8(file.readAll()), text);

  action("save")->trigger();  // cancelled: nothing written, and Save asks again next time
  chooser_->answer(std::nullopt);
  action("save")->trigger();
  EXPECT_EQ(chooser_->pending.size(), 1u);

  // A folder that cannot exist: its parent is a regular file, whoever runs the test.
  chooser_->answer(folder.filePath("Hamlib Log.txt/inside.txt"));
  ASSERT_TRUE(saved.wait());
  const auto error = saved.back().front().value<std::optional<QString>>();
  ASSERT_TRUE(error.has_value());
  auto* box = view_.findChild<QMessageBox*>("saveError");
  ASSERT_NE(box, nullptr);
  EXPECT_TRUE(box->text().endsWith(*error)) << box->text().toStdString();
}

TEST_F(HamlibLogViewTest, ShowsTheCurrentEntryWhollyAndTabReachesEveryControl) {
  const QString longText =
      "port_open: " + QString("serial_open(/dev/ttyUSB0) status=-6 ").repeated(20) +
      "<b>\nsecond line";
  log_.append(QDateTime::currentDateTime(), HamlibLogLevel::error, false, longText);
  add(2);
  auto* list = view_.findChild<QListView*>("entries");
  auto* entryText = view_.findChild<QPlainTextEdit*>("entryText");
  list->setCurrentIndex(log_.index(0));
  EXPECT_EQ(entryText->toPlainText(), longText);
  entryText->selectAll();
  entryText->copy();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), longText);
  list->setCurrentIndex(log_.index(1));
  EXPECT_EQ(entryText->toPlainText(), "x");

  view_.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&view_));
  view_.findChild<QComboBox*>("levelPicker")->setFocus();
  QStringList order;
  for (int i = 0; i < 7; ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QWidget* focus = QApplication::focusWidget();
    auto* tool = qobject_cast<QToolButton*>(focus);
    order.append(tool && tool->defaultAction() ? tool->defaultAction()->objectName()
                                               : focus->objectName());
  }
  EXPECT_EQ(order, (QStringList{"follow", "copy", "save", "clear", "entries", "entryText",
                                "levelPicker"}));
  action("clear")->trigger();
  EXPECT_EQ(entryText->toPlainText(), "");
}

TEST(DialogSaveFileChooser, BothSavesStartInDocumentsElseHomeWithOneFilterAndAnswerOnce) {
  QTemporaryDir home;
  const QByteArray ownHome = qgetenv("HOME");
  qputenv("HOME", home.path().toUtf8());
  QWidget window;
  window.show();
  DialogSaveFileChooser chooser(&window);
  struct Seen {
    QString file;
    QStringList filters;
  };
  const auto seen = [](QFileDialog* dialog) {
    return Seen{dialog->selectedFiles().value(0), dialog->nameFilters()};
  };
  for (const bool documents : {false, true}) {
    if (documents) {
      ASSERT_TRUE(QDir(home.path()).mkdir("Documents"));
    }
    const QString folder = documents ? home.filePath("Documents") : home.path();

    QList<std::optional<QString>> answers;
    chooser.chooseFile(&window, "Hamlib Log", "Hamlib Log.txt",
                       [&](std::optional<QString> path) { answers.append(path); });
    auto* dialog = window.findChild<QFileDialog*>();
    ASSERT_NE(dialog, nullptr);
    const Seen logSave = seen(dialog);
    dialog->reject();
    EXPECT_EQ(answers, (QList<std::optional<QString>>{std::nullopt}));
    delete dialog;

    Seen exportSave;
    QTimer::singleShot(0, [&] {
      auto* modal = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      if (!modal) return;
      exportSave = seen(modal);
      modal->reject();
    });
    EXPECT_EQ(chooser.chooseFile("Export Messages", "Palavrix.txt"), std::nullopt);

    EXPECT_EQ(logSave.file, folder + "/Hamlib Log.txt");
    EXPECT_EQ(exportSave.file, folder + "/Palavrix.txt");
    EXPECT_EQ(logSave.filters, QStringList{"Plain Text (*.txt)"});
    EXPECT_EQ(exportSave.filters, logSave.filters);
  }
  qputenv("HOME", ownHome);
}

}  // namespace
