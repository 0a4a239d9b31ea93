#include "app/MyApp.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include "QtTestSupport.h"
#include "RigctldServer.h"
#include "audio/AudioLevels.h"
#include "rig/HamlibLog.h"
#include "settings/SettingsStore.h"
#include "ui/HamlibLogView.h"
#include "ui/MainWindow.h"
#include "ui/SettingsView.h"

namespace {

// The action whose text reads `text` once its mnemonic marker is taken out.
QAction* findAction(QWidget* menuOwner, const QString& text) {
  for (QAction* action : menuOwner->findChildren<QAction*>()) {
    if (QString(action->text()).remove(u'&') == text) return action;
  }
  return nullptr;
}

// The mnemonics of the actions, such as "Alt+F" for "&File", in order; separators have none.
QStringList mnemonics(const QList<QAction*>& actions) {
  QStringList keys;
  for (QAction* action : actions)
    if (!action->isSeparator()) keys.append(QKeySequence::mnemonic(action->text()).toString());
  return keys;
}

// How many windows of the kind are open.
template <typename Window>
int openWindows() {
  const QWidgetList windows = QApplication::topLevelWidgets();
  return std::count_if(windows.begin(), windows.end(), [](QWidget* window) {
    return qobject_cast<Window*>(window) && window->isVisible();
  });
}

// The program with a rig configured on the fixture's daemon, one per test process.
struct Application : testing::Test {
  void SetUp() override {
    ASSERT_NE(rigtest::fixturePort(), 0) << "no rigctld fixture";
    QSettings store(settingsStorePath(), QSettings::IniFormat);
    store.setValue("Transceiver.rigModel", 2);
    store.setValue("Transceiver.rigPort", QString::fromStdString(rigtest::fixtureAddress()));
    store.sync();
    app_ = std::make_unique<MyApp>();
    app_->mainWindow().show();
  }

  QMenuBar* menus() { return app_->mainWindow().menuBar(); }

  QTemporaryDir configHome_;
  const bool homeSet_ = qputenv("XDG_CONFIG_HOME", configHome_.path().toUtf8());
  std::unique_ptr<MyApp> app_;
};

TEST_F(Application, OffersTheCommandsEnablesExportWithMessagesAndOpensOneWindowOfEachKind) {
  QStringList shortcuts;
  for (const char* text : {"Export...", "Settings...", "Quit", "Hamlib Log"}) {
    QAction* action = findAction(menus(), text);
    ASSERT_NE(action, nullptr) << text;
    EXPECT_EQ(action->shortcutContext(), Qt::ApplicationShortcut) << text;
    shortcuts.append(action->shortcut().toString());
  }
  EXPECT_EQ(shortcuts, QStringList({"Ctrl+Shift+E", "Ctrl+,", "Ctrl+Q", "Ctrl+Shift+L"}));

  QAction* exportCommand = findAction(menus(), "Export...");
  ChatMessageList& messages = *app_->viewModel().messages();
  EXPECT_FALSE(exportCommand->isEnabled());
  messages.append(ChatMessage{});
  EXPECT_TRUE(exportCommand->isEnabled());
  messages.removeAt(0);
  EXPECT_FALSE(exportCommand->isEnabled());

  for (int time = 0; time < 2; ++time) {
    findAction(menus(), "Settings...")->trigger();
    findAction(menus(), "Hamlib Log")->trigger();
  }
  EXPECT_EQ(openWindows<SettingsView>(), 1);
  EXPECT_EQ(openWindows<HamlibLogView>(), 1);
  EXPECT_EQ(app_->hamlibLogWindow()->windowTitle(), "Hamlib Log");
}

// Alt and a title's underlined letter open its menu, the letter of a command chooses it there, and
// Ctrl+W closes the log window again. No two titles share a letter, nor two commands of a menu.
// The Frequency menu's 13 numbers have no letters enough to go round: the arrow keys reach them.
TEST_F(Application, OpensMenusAndCommandsByTheirLettersAndClosesTheLogWindowWithCtrlW) {
  EXPECT_EQ(mnemonics(menus()->actions()), QStringList({"Alt+F", "Alt+R", "Alt+W"}));
  QMenu* file = findAction(menus(), "File")->menu();
  QMenu* frequency = findAction(menus(), "Frequency")->menu();
  QMenu* window = findAction(menus(), "Window")->menu();
  EXPECT_EQ(mnemonics(file->actions()), QStringList({"Alt+E", "Alt+S", "Alt+Q"}));
  EXPECT_EQ(mnemonics(window->actions()), QStringList({"Alt+H"}));
  EXPECT_EQ(mnemonics(frequency->actions()), QStringList(13, ""));

  QMainWindow& main = app_->mainWindow();
  main.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&main));
  for (const auto& [letter, menu] : {std::pair{Qt::Key_F, file}, {Qt::Key_R, frequency}}) {
    QTest::keyClick(QApplication::focusWidget(), letter, Qt::AltModifier);
    EXPECT_TRUE(waitFor([menu] { return menu->isVisible(); }, 2000)) << menu->title().toStdString();
    menu->close();
    ASSERT_TRUE(waitFor([menu] { return !menu->isVisible(); }, 2000));
  }
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_W, Qt::AltModifier);
  ASSERT_TRUE(waitFor([window] { return window->isVisible(); }, 2000));
  QTest::keyClick(window, Qt::Key_H);
  ASSERT_TRUE(waitFor([] { return openWindows<HamlibLogView>() == 1; }, 2000));

  HamlibLogView* log = app_->hamlibLogWindow();
  log->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(log));
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_W, Qt::ControlModifier);
  EXPECT_TRUE(waitFor([this] { return app_->hamlibLogWindow() == nullptr; }, 2000));
  EXPECT_TRUE(main.isVisible()) << "Ctrl+W closed the main window too";
}

TEST_F(Application, TunesTheRigToTheFrequencyMenusExactValuesAndLogsTheFirstStatusPoll) {
  // The first poll runs as the controller starts; its end shows in the status.
  ASSERT_TRUE(waitFor([this] { return app_->viewModel().rigStatus().has_value(); }, 20000));
  EXPECT_TRUE(app_->hamlibLog().exportText().contains("Opening rig model 2 on port"));
  EXPECT_TRUE(app_->hamlibLog().exportText().contains("Rig reports"));

  ASSERT_NE(findAction(menus(), "Frequency"), nullptr);
  QMenu* frequency = findAction(menus(), "Frequency")->menu();
  QStringList titles;
  for (QAction* entry : frequency->actions()) titles.append(entry->text());
  EXPECT_EQ(titles, QStringList({"1.838 MHz", "3.575 MHz", "3.590 MHz", "7.090 MHz", "7.043 MHz",
                                 "10.140 MHz", "10.143 MHz", "14.080 MHz", "14.090 MHz",
                                 "18.100 MHz", "21.090 MHz", "24.920 MHz", "28.090 MHz"}));
  findAction(frequency, "10.143 MHz")->trigger();
  EXPECT_TRUE(waitFor([] { return rigtest::askFixture("f") == "10143000"; }, 20000))
      << rigtest::askFixture("f");
  EXPECT_FALSE(app_->viewModel().alertMessage().has_value());
}

TEST_F(Application, ReleasesPushToTalkWhenTheMainWindowClosesWhileSending) {
  findAction(menus(), "Hamlib Log")->trigger();  // an open log window does not keep it running
  app_->viewModel().setInputText("CQ CQ CQ DE PX1 PX1 PX1 K");
  app_->viewModel().send();
  ASSERT_TRUE(waitFor([] { return rigtest::askFixture("t") == "1"; }, 20000));
  // The audio plays once the key call is back: the rig queue is free for the release.
  ASSERT_TRUE(waitFor([this] { return app_->viewModel().levels().outputDb() > kLevelFloorDb; }));
  QTimer::singleShot(0, &app_->mainWindow(), [this] { app_->mainWindow().close(); });
  EXPECT_EQ(QApplication::exec(), 0);
  EXPECT_EQ(rigtest::askFixture("t"), "0");
}

}  // namespace
