#include "ui/MainWindow.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

#include "chat/ChatViewModel.h"
#include "ui/ContentView.h"
#include "ui/MessageField.h"
#include "ui/UiLook.h"

namespace {

// Ctrl+Alt+L would be the log window's shortcut, but several Linux desktops lock the screen on
// it before the program ever sees the keys.
const QKeySequence kHamlibLogShortcut(Qt::CTRL | Qt::SHIFT | Qt::Key_L);

QAction* addCommand(QMenu* menu, const QString& text, const QKeySequence& shortcut = {}) {
  QAction* action = menu->addAction(text);
  action->setShortcut(shortcut);
  // The commands work from every window of the program, as the menus of a Mac program do.
  action->setShortcutContext(Qt::ApplicationShortcut);
  return action;
}

}  // namespace

MainWindow::MainWindow(ChatViewModel& model, AppSettings& settings, QWidget* parent)
    : QMainWindow(parent), contentView_(new ContentView(model, settings, this)) {
  setCentralWidget(contentView_);
  buildMenus(model);
  // The content sets the sizes, and the window's layout stacks the menu bar on top of them.
  UiLook::openWithinScreen(this, sizeHint());
  // The operator opens the program to type: the message field takes the keys from the start.
  contentView_->messageField()->setFocus(Qt::OtherFocusReason);
}

// Every menu opens with Alt and the underlined letter of its title, and every command in it with
// its own letter once open, as on a Linux desktop. The Frequency menu's items are read as
// numbers and have no letter to spare: the arrow keys reach them.
void MainWindow::buildMenus(ChatViewModel& model) {
  QMenu* file = menuBar()->addMenu(tr("&File"));
  exportAction_ =
      addCommand(file, tr("&Export..."), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_E));
  connect(exportAction_, &QAction::triggered, &model, &ChatViewModel::exportMessages);
  ChatMessageList* messages = model.messages();
  auto followTranscript = [this, messages] { exportAction_->setEnabled(!messages->isEmpty()); };
  connect(messages, &QAbstractItemModel::rowsInserted, this, followTranscript);
  connect(messages, &QAbstractItemModel::rowsRemoved, this, followTranscript);
  connect(messages, &QAbstractItemModel::modelReset, this, followTranscript);
  followTranscript();
  file->addSeparator();
  connect(addCommand(file, tr("&Settings..."), QKeySequence(Qt::CTRL | Qt::Key_Comma)),
          &QAction::triggered, this, &MainWindow::settingsRequested);
  file->addSeparator();
  QAction* quit = addCommand(file, tr("&Quit"), QKeySequence(Qt::CTRL | Qt::Key_Q));
  quit->setMenuRole(QAction::QuitRole);
  connect(quit, &QAction::triggered, this, &MainWindow::quitRequested);

  QMenu* frequency = menuBar()->addMenu(tr("F&requency"));
  for (double mhz : frequencyMenuMHz) {
    QAction* entry = frequency->addAction(QString::asprintf("%.3f MHz", mhz));
    connect(entry, &QAction::triggered, &model, [&model, mhz] { model.tune(mhz); });
  }

  QMenu* window = menuBar()->addMenu(tr("&Window"));
  connect(addCommand(window, tr("&Hamlib Log"), kHamlibLogShortcut), &QAction::triggered, this,
          &MainWindow::hamlibLogRequested);
}
