// The windows on a small screen under a real window manager: an X server and openbox of the
// test's own, started before the application connects to them. Framed, each window lies inside
// the screen's free area, title bar and border included, with its buttons in reach.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QWindow>
#include <memory>
#include <string>
#include <vector>

#include "QtTestSupport.h"
#include "chat/AppSettings.h"
#include "chat/ChatViewModel.h"
#include "ui/ContentView.h"
#include "ui/MainWindow.h"
#include "ui/SendButton.h"
#include "ui/SettingsView.h"

extern char** environ;

namespace {

// Starts a program with its standard output on the given descriptor (or the test's own).
pid_t spawn(std::vector<std::string> arguments, int output = -1) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (output >= 0) posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

// A line the program writes within the time, or "" if none comes.
std::string readLine(int fd, int timeoutMs) {
  std::string line;
  pollfd readable{fd, POLLIN, 0};
  char c = 0;
  while (poll(&readable, 1, timeoutMs) > 0 && read(fd, &c, 1) == 1 && c != '\n') line += c;
  return c == '\n' ? line : std::string();
}

// One screen of the given size under openbox, and the application on it at the given scale.
// Whether a window manager has taken the display: it names its check window on the root.
bool windowManagerRunning(const std::string& display) {
  xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
  bool running = false;
  if (!xcb_connection_has_error(connection)) {
    static constexpr char kCheck[] = "_NET_SUPPORTING_WM_CHECK";
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 1, sizeof kCheck - 1, kCheck), nullptr);
    if (atom && atom->atom != XCB_ATOM_NONE) {
      const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
      xcb_get_property_reply_t* property = xcb_get_property_reply(
          connection, xcb_get_property(connection, 0, root, atom->atom, XCB_ATOM_WINDOW, 0, 1),
          nullptr);
      running = property && xcb_get_property_value_length(property) > 0;
      free(property);
    }
    free(atom);
  }
  xcb_disconnect(connection);
  return running;
}

class FramedWindows : public testing::Test {
 protected:
  static void startDesktop(const char* screen, const char* scale) {
    ASSERT_TRUE(home_.isValid());
    // The settings and openbox's own files in the test's folder, never the caller's.
    qputenv("XDG_CONFIG_HOME", home_.filePath("config").toUtf8());
    qputenv("XDG_CACHE_HOME", home_.filePath("cache").toUtf8());
    qputenv("XDG_DATA_HOME", home_.filePath("data").toUtf8());
    // -displayfd picks a free display and says which; -noreset keeps it through openbox's
    // first connection coming and going.
    int pipe[2];
    ASSERT_EQ(pipe2(pipe, O_CLOEXEC), 0);
    xServer_ = spawn({"Xvfb", "-displayfd", "1", "-screen", "0", std::string(screen) + "x24",
                      "-nolisten", "tcp", "-noreset"},
                     pipe[1]);
    close(pipe[1]);
    const std::string display = readLine(pipe[0], 20000);
    close(pipe[0]);
    ASSERT_GT(xServer_, 0);
    ASSERT_FALSE(display.empty()) << "the X server did not start";
    qputenv("DISPLAY", (":" + display).c_str());
    windowManager_ = spawn({"openbox"});
    ASSERT_GT(windowManager_, 0);
    // A window mapped before openbox runs may never be framed; the application is not there
    // yet to run an event loop, so the display is asked now and again until the deadline.
    QElapsedTimer clock;
    clock.start();
    while (!windowManagerRunning(":" + display) && clock.elapsed() < 20000) usleep(20000);
    ASSERT_TRUE(windowManagerRunning(":" + display)) << "openbox did not start";

    // A session bus that is not there: without any address, libdbus launches one for the X
    // display, and that can hang the first widget for good.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + home_.filePath("no-bus").toUtf8());
    qputenv("QT_QPA_PLATFORM", "xcb");
    qputenv("QT_SCALE_FACTOR", scale);
    application_ = std::make_unique<QApplication>(argc_, argv_);
    settings_ = std::make_unique<AppSettings>();
    model_ = std::make_unique<ChatViewModel>(*settings_, ChatViewModel::Timing{});
  }

  void SetUp() override { ASSERT_TRUE(model_) << "the desktop did not start"; }

  static void TearDownTestSuite() {
    model_.reset();
    settings_.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    application_.reset();
    stop(windowManager_);
    stop(xServer_);
  }

  // Waits until the window manager has framed the window and the frame lies inside the screen's
  // free area. Where it never comes to lie there, says where it stands.
  static testing::AssertionResult framedWithinScreen(QWidget& window) {
    const QWindow* handle = window.windowHandle();
    const auto framedInside = [&] {
      return !handle->frameMargins().isNull() &&
             window.screen()->availableGeometry().contains(handle->frameGeometry());
    };
    if (waitFor(framedInside, 20000)) return testing::AssertionSuccess();
    const QRect frame = handle->frameGeometry();
    const QRect area = window.screen()->availableGeometry();
    return testing::AssertionFailure()
           << "frame " << frame.x() << "," << frame.y() << " " << frame.width() << "x"
           << frame.height() << " on the free area " << area.width() << "x" << area.height();
  }

  static bool onScreen(const QWidget& part) {
    const QRect shown(part.mapToGlobal(QPoint(0, 0)), part.size());
    return part.screen()->availableGeometry().contains(shown);
  }

  static void expectMainWindowWithin() {
    MainWindow window(*model_, *settings_);
    window.show();
    ASSERT_TRUE(framedWithinScreen(window));
    const ContentView& content = window.contentView();
    EXPECT_TRUE(onScreen(*content.sendButton()));
    EXPECT_GE(content.height(), ContentView::kMinimumHeight);
    EXPECT_LT(content.height(), ContentView::kIdealHeight);  // the screen has less room
  }

  static void expectSettingsWithin() {
    SettingsView window(*settings_, *model_);
    window.show();
    ASSERT_TRUE(framedWithinScreen(window));
    const auto buttons = window.findChildren<QPushButton*>();
    ASSERT_FALSE(buttons.isEmpty());
    for (const QPushButton* button : buttons) {
      if (!button->isVisible()) continue;
      EXPECT_TRUE(onScreen(*button)) << button->text().toStdString();
    }
  }

  static inline QTemporaryDir home_;
  static inline pid_t xServer_ = -1;
  static inline pid_t windowManager_ = -1;
  static inline int argc_ = 1;
  static inline char name_[] = "ui_WindowFrame_test";
  static inline char* argv_[] = {name_, nullptr};
  static inline std::unique_ptr<QApplication> application_;
  static inline std::unique_ptr<AppSettings> settings_;
  static inline std::unique_ptr<ChatViewModel> model_;
};

struct SmallScreen : FramedWindows {
  static void SetUpTestSuite() { startDesktop("1024x600", "1"); }
};
struct SmallScreenAtOneAndAHalf : FramedWindows {
  static void SetUpTestSuite() { startDesktop("1024x600", "1.5"); }
};
struct DesktopScreenAtTwice : FramedWindows {
  static void SetUpTestSuite() { startDesktop("1280x1024", "2"); }
};

TEST_F(SmallScreen, MainWindowFitsWithItsTitleBarAndSendInReach) { expectMainWindowWithin(); }
TEST_F(SmallScreen, SettingsFitWithTheirButtonsInReach) { expectSettingsWithin(); }
TEST_F(SmallScreenAtOneAndAHalf, SettingsFitWithTheirButtonsInReach) { expectSettingsWithin(); }
TEST_F(DesktopScreenAtTwice, MainWindowFitsWithItsTitleBarAndSendInReach) {
  expectMainWindowWithin();
}

}  // namespace
