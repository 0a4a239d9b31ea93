// The real palavrix executable on an X server of the test's own, with the fixtures' audio server
// (whose input hears its output) and rig daemon, driven by key presses and watched from outside.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <xcb/xcb.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <cstdlib>
#include <cstring>

#include "PulseServer.h"
#include "QtTestSupport.h"
#include "RigctldServer.h"

namespace {

// The push-to-talk state at the daemon, "0" or "1".
std::string pushToTalk() { return rigtest::askFixture("t"); }

class WholeProgram : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.isValid());
    ASSERT_NE(rigtest::fixturePort(), 0) << "no rigctld fixture";
    const QString settingsPath = home_.filePath("config/Palavrix/Palavrix.conf");
    if (unreadableSettings_) {
      ASSERT_TRUE(QDir(home_.path()).mkpath("config/Palavrix"));
      ASSERT_EQ(mkfifo(QFile::encodeName(settingsPath).constData(), 0600), 0);
    } else if (badSurroundings_) {
      ASSERT_TRUE(QDir(home_.path()).mkpath("config/Palavrix"));
      QFile damaged(settingsPath);
      ASSERT_TRUE(damaged.open(QIODevice::WriteOnly));
      damaged.write(QByteArray("[General\nTransceiver.rigModel=@ByteArray(\xff\xfe\n") +
                    QByteArray(4096, '\0') + "macros=[{\"title\":");
    } else {
      QSettings store(settingsPath, QSettings::IniFormat);
      store.setValue("Transceiver.rigModel", 2);
      store.setValue("Transceiver.rigPort",
                     silentRig_     ? QString::fromStdString(silentRig_->address())
                     : ownRig_      ? QString::fromStdString(ownRig_->address())
                     : refusingRig_ ? QString("127.0.0.1:%1").arg(rigtest::unusedPort())
                                    : QString::fromStdString(rigtest::fixtureAddress()));
    }
    ASSERT_TRUE(QDir(home_.path()).mkpath("exports"));

    // -displayfd picks a free display and says which. Without -noreset the server resets each
    // time its last client leaves (an xdotool call before the program has connected), and a
    // connection made during the reset is refused.
    xServer_.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
                            "-noreset"});
    ASSERT_TRUE(xServer_.waitForStarted());
    ASSERT_TRUE(waitFor(
        [this] {
          xServer_.waitForReadyRead(50);
          return xServer_.canReadLine();
        },
        10000));
    const QString display = ":" + QString::fromUtf8(xServer_.readLine()).trimmed();
    ASSERT_NE(display, ":");
    xEnvironment_ = QProcessEnvironment::systemEnvironment();
    xEnvironment_.insert("DISPLAY", display);

    QProcessEnvironment environment = xEnvironment_;
    environment.remove("QT_QPA_PLATFORM");
    // A session bus that is not there: without any address, libdbus forks a bus launcher from
    // the program's D-Bus thread, and under the address sanitizer that child can hang for good
    // in malloc (its allocator lock taken by another thread at the fork), keeping the window
    // from ever appearing.
    environment.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + home_.filePath("no-bus"));
    environment.insert("XDG_CONFIG_HOME", home_.filePath("config"));
    environment.insert("HOME", home_.path());
    environment.insert("PULSE_SERVER", badSurroundings_ ? "unix:/nonexistent/palavrix/native"
                                       : audioServer_   ? audioServer_->address()
                                                        : qgetenv("PULSE_SERVER"));
    // Qt's X11 platform keeps caches to the end of the process; leaks are the unit tests' matter.
    environment.insert("ASAN_OPTIONS", "detect_leaks=0");
    program_.setProcessEnvironment(environment);
    program_.setProcessChannelMode(QProcess::MergedChannels);
    program_.start(PALAVRIX_EXECUTABLE, {});
    ASSERT_TRUE(program_.waitForStarted());

    ASSERT_TRUE(waitFor(
        [this] {
          window_ = xdotool({"search", "--onlyvisible", "--class", "palavrix"}).split('\n').first();
          return !window_.isEmpty();
        },
        30000))
        << "no main window: " << programOutput().toStdString();
    xdotool({"windowfocus", "--sync", window_});
    if (badSurroundings_) return;
    // A new recording stream on the test server takes a moment to deliver its first audio; what
    // plays before that is never heard. The program says when its first block arrives.
    ASSERT_TRUE(waitFor([this] { return programOutput().contains("Receiving audio"); }, 30000))
        << programOutput().toStdString();
  }

  void TearDown() override {
    if (audioServer_ && audioServer_->pid() > 0) kill(audioServer_->pid(), SIGCONT);
    if (ownRig_ && ownRig_->running()) kill(ownRig_->pid(), SIGCONT);
    program_.kill();
    program_.waitForFinished();
    xServer_.terminate();
    xServer_.waitForFinished();
  }

  // Everything the program has written to its standard output and error so far.
  QString programOutput() {
    program_.waitForReadyRead(20);
    output_ += QString::fromUtf8(program_.readAll());
    return output_;
  }

  // Runs xdotool on the test's X server to its end and gives what it printed.
  QString xdotool(const QStringList& arguments) {
    QProcess process;
    process.setProcessEnvironment(xEnvironment_);
    process.start("xdotool", arguments);
    process.waitForFinished(10000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
  }

  void typeAndSend(const QString& text) {
    xdotool({"type", "--delay", "30", text});
    xdotool({"key", "Return"});
  }

  // Exports the transcript through the menu command's file dialog; the file's text or nothing.
  QString exportTranscript(const QString& name) {
    xdotool({"windowfocus", "--sync", window_});
    xdotool({"key", "ctrl+shift+e"});
    QString dialog;
    waitFor([&] {
      dialog = xdotool({"search", "--onlyvisible", "--name", "Export Messages"});
      return !dialog.isEmpty();
    });
    if (dialog.isEmpty()) return {};
    xdotool({"windowfocus", "--sync", dialog.split('\n').first()});
    const QString path = home_.filePath("exports/" + name);
    xdotool({"key", "ctrl+a"});
    xdotool({"type", "--delay", "10", path});
    xdotool({"key", "Return"});
    QFile file(path);
    if (!waitFor([&] { return file.exists(); }, 10000)) return {};
    file.open(QIODevice::ReadOnly);
    return QString::fromUtf8(file.readAll());
  }

  // Asks the window to close, as a window manager's close button does. False when the request
  // could not be made.
  bool askToClose(const QString& window) {
    xcb_connection_t* connection =
        xcb_connect(xEnvironment_.value("DISPLAY").toLocal8Bit().constData(), nullptr);
    auto atom = [&](const char* name) {
      xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
          connection, xcb_intern_atom(connection, 0, std::strlen(name), name), nullptr);
      const xcb_atom_t found = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
      free(reply);
      return found;
    };
    xcb_client_message_event_t message = {};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = window.toUInt();
    message.type = atom("WM_PROTOCOLS");
    message.data.data32[0] = atom("WM_DELETE_WINDOW");
    message.data.data32[1] = XCB_CURRENT_TIME;
    // Checked, so that the request has reached the server when this returns.
    xcb_generic_error_t* error = xcb_request_check(
        connection, xcb_send_event_checked(connection, 0, message.window, XCB_EVENT_MASK_NO_EVENT,
                                           reinterpret_cast<const char*>(&message)));
    const bool sent = !xcb_connection_has_error(connection) && !error &&
                      message.type != XCB_ATOM_NONE && message.data.data32[0] != XCB_ATOM_NONE;
    free(error);
    xcb_disconnect(connection);
    return sent;
  }

  // Waits for a window of the program with this title; its id or nothing.
  QString windowNamed(const QString& title, int timeoutMs = 20000) {
    QString found;
    waitFor(
        [&] {
          found = xdotool({"search", "--onlyvisible", "--name", "^" + title + "$"});
          return !found.isEmpty();
        },
        timeoutMs);
    return found.split('\n').first();
  }

  QTemporaryDir home_;
  QProcess xServer_;
  QProcessEnvironment xEnvironment_;
  QProcess program_;
  QString window_;
  QString output_;
  bool badSurroundings_ = false;
  bool unreadableSettings_ = false;
  bool refusingRig_ = false;
  std::unique_ptr<rigtest::SilentRig> silentRig_;
  std::unique_ptr<rigtest::Rigctld> ownRig_;
  std::unique_ptr<pulsetest::PrivateServer> audioServer_;
};

// A damaged settings file and no audio server.
struct WholeProgramInBadSurroundings : WholeProgram {
  WholeProgramInBadSurroundings() { badSurroundings_ = true; }
};

// A settings file that is a FIFO, which nothing may wait on.
struct WholeProgramWithAnUnreadableSettingsFile : WholeProgram {
  WholeProgramWithAnUnreadableSettingsFile() { unreadableSettings_ = true; }
};

// A rig that never answers.
struct WholeProgramWithASilentRig : WholeProgram {
  WholeProgramWithASilentRig() { silentRig_ = std::make_unique<rigtest::SilentRig>(); }
};

// An audio server of the test's own, which it may stop.
struct WholeProgramOnItsOwnAudioServer : WholeProgram {
  WholeProgramOnItsOwnAudioServer() { audioServer_ = std::make_unique<pulsetest::PrivateServer>(); }
};

// A rigctld of the test's own, which it may stop.
struct WholeProgramWithItsOwnRig : WholeProgram {
  WholeProgramWithItsOwnRig() { ownRig_ = std::make_unique<rigtest::Rigctld>(); }
};

// A rig port where nobody listens.
struct WholeProgramWithoutItsRig : WholeProgram {
  WholeProgramWithoutItsRig() { refusingRig_ = true; }
};

TEST_F(WholeProgram, SendsATypedMessageWithPushToTalkAndHearsItBack) {
  ASSERT_EQ(pushToTalk(), "0");
  // The loopback brings each transmission back; export until it is decoded. On a loaded machine
  // the test server may swallow the start of a new recording stream: the second must come back.
  QString transcript;
  int exports = 0;
  bool heard = false;
  for (int attempt = 0; attempt < 2 && !heard; ++attempt) {
    typeAndSend("CQ TEST DE PX1");
    EXPECT_TRUE(waitFor([] { return pushToTalk() == "1"; }, 20000)) << "push-to-talk never on";
    EXPECT_TRUE(waitFor([] { return pushToTalk() == "0"; }, 30000)) << "push-to-talk stayed on";
    heard = waitFor(
        [&] {
          transcript = exportTranscript(QString("transcript-%1.txt").arg(++exports));
          return transcript.contains("RX\tCQ TEST DE PX1\t");
        },
        attempt == 0 ? 20000 : 60000);
  }
  EXPECT_TRUE(transcript.startsWith("TX\tCQ TEST DE PX1\t")) << transcript.toStdString();
  EXPECT_TRUE(transcript.contains("\nRX\tCQ TEST DE PX1\t")) << transcript.toStdString();
}

// The one way out past MyApp::quit (which the application's test follows): only exit handlers.
TEST_F(WholeProgram, ReleasesPushToTalkWhenTheDisplayGoesAwayWhileSending) {
  typeAndSend("CQ CQ CQ DE PX1 PX1 PX1 K");
  ASSERT_TRUE(waitFor([] { return pushToTalk() == "1"; }, 20000)) << "push-to-talk never on";
  xServer_.terminate();  // it leaves no lock behind for the next server
  ASSERT_TRUE(program_.waitForFinished(20000));
  EXPECT_EQ(pushToTalk(), "0") << programOutput().toStdString();
}

TEST_F(WholeProgramWithItsOwnRig, EndsSoonWhenTerminatedAndSaysPushToTalkMayStillBeKeyed) {
  typeAndSend("CQ CQ CQ DE PX1 PX1 PX1 K");
  ASSERT_TRUE(waitFor([this] { return rigtest::askRigctld(ownRig_->port(), "t") == "1"; }, 20000))
      << "push-to-talk never on";
  ASSERT_EQ(kill(ownRig_->pid(), SIGSTOP), 0);  // the release gets no answer
  kill(static_cast<pid_t>(program_.processId()), SIGTERM);
  ASSERT_TRUE(program_.waitForFinished(10000)) << "still running";
  EXPECT_EQ(program_.exitCode(), 128 + SIGTERM);
  EXPECT_TRUE(programOutput().contains(
      QString::fromStdString("Push-to-talk may still be keyed on the rig of Hamlib model 2 at \"" +
                             ownRig_->address() + "\"")))
      << programOutput().toStdString();
}

TEST_F(WholeProgramWithASilentRig, EndsSoonWhenTerminatedAndWarnsOfNoKeyCallThatNeverRan) {
  typeAndSend("CQ");  // the key call waits behind the first status poll, which never ends
  ASSERT_TRUE(exportTranscript("sent.txt").startsWith("TX\tCQ\t")) << "not sent";
  kill(static_cast<pid_t>(program_.processId()), SIGTERM);
  ASSERT_TRUE(program_.waitForFinished(10000)) << "still running";
  EXPECT_EQ(program_.exitCode(), 128 + SIGTERM);
  EXPECT_FALSE(programOutput().contains("may still be keyed")) << programOutput().toStdString();
}

TEST_F(WholeProgramWithASilentRig, QuitsSoonThoughTheSettingsWindowsQuestionsWaitForTheRig) {
  // The settings window asks the rig library for its models, modes and defaults; the questions
  // wait behind the status poll that the silent rig holds up.
  xdotool({"key", "ctrl+comma"});
  const QString settings = windowNamed("Settings");
  ASSERT_FALSE(settings.isEmpty()) << programOutput().toStdString();
  xdotool({"windowfocus", "--sync", settings});
  xdotool({"key", "Escape"});
  xdotool({"windowfocus", "--sync", window_});
  typeAndSend("CQ");
  xdotool({"key", "ctrl+q"});
  ASSERT_TRUE(program_.waitForFinished(10000)) << "still running";
  EXPECT_EQ(program_.exitCode(), 0);
  // It ended of itself, not because the last resort cut its teardown short.
  EXPECT_FALSE(programOutput().contains("ending without waiting")) << programOutput().toStdString();
}

// Each way out: Quit's keys, File -> Quit from the keyboard, the window manager closing the window.
struct WaysOut : WholeProgramWithoutItsRig, testing::WithParamInterface<const char*> {};

TEST_P(WaysOut, WorkWhileAnAlertStandsAndWarnOfNothingNeverKeyed) {
  typeAndSend("CQ");
  const QString alert = windowNamed("KVOL");
  ASSERT_FALSE(alert.isEmpty()) << "no alert: " << programOutput().toStdString();
  const std::string way = GetParam();
  if (way == "ctrl+q") {
    xdotool({"windowfocus", "--sync", alert});
    xdotool({"key", "ctrl+q"});
  } else if (way == "menu") {
    xdotool({"windowfocus", "--sync", window_});
    xdotool({"key", "alt+f"});
    xdotool({"key", "q"});
  } else {
    // Again each second, as an operator would click, until it ends.
    for (int click = 0; click < 10 && program_.state() != QProcess::NotRunning; ++click) {
      ASSERT_TRUE(askToClose(window_));
      program_.waitForFinished(1000);
    }
  }
  ASSERT_TRUE(program_.state() == QProcess::NotRunning || program_.waitForFinished(10000))
      << way << " did nothing while the alert stood: " << programOutput().toStdString();
  EXPECT_EQ(program_.exitCode(), 0);
  // The key call never reached the rig: nothing can be keyed.
  EXPECT_FALSE(programOutput().contains("may still be keyed")) << programOutput().toStdString();
}

INSTANTIATE_TEST_SUITE_P(WholeProgramWithoutItsRig, WaysOut,
                         testing::Values("ctrl+q", "menu", "close"));

TEST_F(WholeProgramOnItsOwnAudioServer, QuitsWithinFiveSecondsThoughTheAudioServerFroze) {
  ASSERT_TRUE(audioServer_->started());
  ASSERT_EQ(kill(audioServer_->pid(), SIGSTOP), 0);
  // Capture hears nothing more and starts again, which waits for the frozen server.
  ASSERT_TRUE(waitFor([this] { return programOutput().contains("restarting capture"); }, 20000))
      << programOutput().toStdString();
  xdotool({"key", "ctrl+q"});
  // The program's five seconds, and three quarters of one for what the test adds on a loaded
  // machine: the key press's way to the program and the end of a sanitised process. (With the
  // rig answering at once it needs about two; waiting out the frozen server takes six.)
  EXPECT_TRUE(program_.waitForFinished(5750)) << "still running";
}

TEST_F(WholeProgramInBadSurroundings, RunsAndQuitsOnItsMenuCommand) {
  xdotool({"key", "ctrl+q"});
  ASSERT_TRUE(program_.waitForFinished(20000)) << programOutput().toStdString();
  EXPECT_EQ(program_.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program_.exitCode(), 0) << programOutput().toStdString();
}

// The window opens (nothing waits on the FIFO) and tells at once, with the audio server and
// without a rig, that the settings were not read: the only alert there is to raise.
TEST_F(WholeProgramWithAnUnreadableSettingsFile, SaysAtStartThatItRunsOnTheDefaults) {
  EXPECT_FALSE(windowNamed("KVOL").isEmpty()) << "no alert: " << programOutput().toStdString();
  xdotool({"key", "ctrl+q"});
  EXPECT_TRUE(program_.waitForFinished(20000)) << programOutput().toStdString();
}

}  // namespace
