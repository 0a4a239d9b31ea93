#include "app/MyApp.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include "QtTestSupport.h"
#include "RigctldServer.h"
#include "audio/AudioLevels.h"
#include "settings/SettingsStore.h"
#include "ui/HamlibLogView.h"
#include "ui/MainWindow.h"
#include "ui/SettingsView.h"

namespace {

QAction* findAction(QWidget* menuOwner, const QString& text) {
  for (QAction* action : menuOwner->findChildren<QAction*>()) {
    if (action->text() == text) return action;
  }
  return nullptr;
}

template <typename Window>
QList<Window*> openWindows() {
  QList<Window*> found;
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* window = qobject_cast<Window*>(widget); window && window->isVisible()) {
      found.append(window);
    }
  }
  return found;
}

// Every line a window shows in its lists and text areas.
QString shownText(QWidget* window) {
  QStringList lines;
  for (auto* view : window->findChildren<QAbstractItemView*>()) {
    QAbstractItemModel* model = view->model();
    for (int row = 0; model && row < model->rowCount(); ++row) {
      lines.append(model->index(row, 0).data().toString());
    }
  }
  for (auto* text : window->findChildren<QPlainTextEdit*>()) lines.append(text->toPlainText());
  return lines.join(u'\n');
}

// The program with a rig configured on the fixture's daemon, one per test process.
class Application : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(configHome_.isValid());
    ASSERT_NE(rigtest::fixturePort(), 0) << "no rigctld fixture";
    qputenv("XDG_CONFIG_HOME", configHome_.path().toUtf8());
    {
      QSettings store(settingsStorePath(), QSettings::IniFormat);
      store.setValue("Transceiver.rigModel", 2);
      store.setValue("Transceiver.rigPort", QString::fromStdString(rigtest::fixtureAddress()));
    }
    app_ = std::make_unique<MyApp>();
    app_->mainWindow().show();
  }

  QMenuBar* menus() { return app_->mainWindow().menuBar(); }

  QTemporaryDir configHome_;
  std::unique_ptr<MyApp> app_;
};

TEST_F(Application, OffersTheCommandsEnablesExportWithMessagesAndOpensOneWindowOfEachKind) {
  const struct {
    const char* text;
    QKeySequence shortcut;
  } commands[] = {
      {"Export...", QKeySequence("Ctrl+Shift+E")},
      {"Settings...", QKeySequence("Ctrl+,")},
      {"Quit", QKeySequence("Ctrl+Q")},
      {"Hamlib Log", QKeySequence("Ctrl+Shift+L")},
  };
  for (const auto& command : commands) {
    QAction* action = findAction(menus(), command.text);
    ASSERT_NE(action, nullptr) << command.text;
    EXPECT_EQ(action->shortcut(), command.shortcut) << command.text;
    EXPECT_EQ(action->shortcutContext(), Qt::ApplicationShortcut) << command.text;
  }

  QAction* exportCommand = findAction(menus(), "Export...");
  ChatMessageList& messages = *app_->viewModel().messages();
  EXPECT_FALSE(exportCommand->isEnabled());
  ChatMessage message;
  message.text = "CQ CQ";
  messages.append(message);
  EXPECT_TRUE(exportCommand->isEnabled());
  messages.append(message);
  messages.removeAt(0);
  EXPECT_TRUE(exportCommand->isEnabled());
  messages.removeAt(0);
  EXPECT_FALSE(exportCommand->isEnabled());

  for (int time = 0; time < 2; ++time) {
    findAction(menus(), "Settings...")->trigger();
    findAction(menus(), "Hamlib Log")->trigger();
  }
  ASSERT_EQ(openWindows<SettingsView>().size(), 1);
  ASSERT_EQ(openWindows<HamlibLogView>().size(), 1);
  EXPECT_EQ(openWindows<SettingsView>().first(), app_->settingsWindow());
  EXPECT_EQ(openWindows<HamlibLogView>().first()->windowTitle(), "Hamlib Log");
  // Closed, it goes; the command makes a fresh one.
  app_->settingsWindow()->close();
  ASSERT_TRUE(waitFor([] { return openWindows<SettingsView>().isEmpty(); }));
  findAction(menus(), "Settings...")->trigger();
  EXPECT_EQ(openWindows<SettingsView>().size(), 1);
}

TEST_F(Application, TunesTheRigToTheFrequencyMenusExactValues) {
  QMenu* frequency = nullptr;
  for (QAction* menu : menus()->actions()) {
    if (menu->text() == "Frequency") frequency = menu->menu();
  }
  ASSERT_NE(frequency, nullptr);
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

TEST_F(Application, ShowsTheFirstStatusPollInTheLogWindowWhenFirstOpened) {
  // The first poll runs as the controller starts; its end shows in the status.
  ASSERT_TRUE(waitFor([this] { return app_->viewModel().rigStatus().has_value(); }, 20000));
  findAction(menus(), "Hamlib Log")->trigger();
  ASSERT_NE(app_->hamlibLogWindow(), nullptr);
  EXPECT_TRUE(waitFor([this] {
    return shownText(app_->hamlibLogWindow()).contains("Opening rig model 2 on port");
  }));
  EXPECT_TRUE(shownText(app_->hamlibLogWindow()).contains("Rig reports"));
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
