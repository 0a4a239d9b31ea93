// Renders the program's windows offscreen into PNG files, one per scene, so that they can be
// checked by eye: screenshots DIR. Each scene is one function in the table at the end;
// add a window's scenes there.
#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QImage>
#include <QListView>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QThreadPool>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "audio/AudioLevels.h"
#include "audio/WaterfallBitmap.h"
#include "chat/AppSettings.h"
#include "chat/ChatViewModel.h"
#include "rig/HamlibLog.h"
#include "ui/ContentView.h"
#include "ui/HamlibLogView.h"
#include "ui/MacroBar.h"
#include "ui/MainWindow.h"
#include "ui/MessageField.h"
#include "ui/SettingsView.h"

namespace {

// The settings and controller a scene's windows are made over, fresh for every scene.
struct Program {
  AppSettings settings;
  ChatViewModel model{settings, ChatViewModel::Timing{}};
};

// Lets the windows lay out and paint, as the event loop would before the operator looks.
void settle() {
  for (int i = 0; i < 5; ++i) QApplication::processEvents();
}

bool save(const QImage& image, const QString& dir, const QString& name) {
  const QString path = QDir(dir).filePath(name + QStringLiteral(".png"));
  if (!image.save(path)) {
    std::fprintf(stderr, "screenshots: cannot write %s\n", qPrintable(path));
    return false;
  }
  std::printf("%s\n", qPrintable(path));
  return true;
}

// A top-level window as a desktop would frame it, with its title above; offscreen windows have
// no frame of their own.
constexpr int kTitleHeight = 24;

QImage framed(QWidget& window) {
  QImage content = window.grab().toImage();
  content.setDevicePixelRatio(1);  // scaled, the window's own pixels, one for one
  QImage image(content.width() + 2, content.height() + kTitleHeight + 1, QImage::Format_RGB32);
  image.fill(QColor(160, 160, 160));
  QPainter painter(&image);
  painter.fillRect(1, 1, content.width(), kTitleHeight - 1, QColor(225, 225, 225));
  painter.setPen(Qt::black);
  painter.drawText(QRect(1, 1, content.width(), kTitleHeight - 1), Qt::AlignCenter,
                   window.windowTitle());
  painter.drawImage(1, kTitleHeight, content);
  return image;
}

// The main window's content at its first size.
std::unique_ptr<ContentView> showMainWindow(Program& program) {
  auto view = std::make_unique<ContentView>(program.model, program.settings);
  view->resize(view->sizeHint());
  view->show();
  // Where the main window puts the keys.
  view->messageField()->setFocus();
  settle();
  return view;
}

// A waterfall with noise and one KVOL signal hopping between its four tones at 1500 Hz.
void pushWaterfallSignal(WaterfallBitmap& waterfall) {
  constexpr int kBins = 412;
  constexpr double kLowHz = 1400, kHighHz = 1700;
  constexpr double kToneSpacingHz = 48000.0 / 1536;
  QRandomGenerator random(7);
  std::vector<float> row(kBins);
  for (int line = 0; line < WaterfallBitmap::kRows; ++line) {
    const int tone = (line / 6 * 7 + line / 18) % 4;
    const double toneHz = 1500 + tone * kToneSpacingHz;
    for (int bin = 0; bin < kBins; ++bin) {
      const double hz = kLowHz + (kHighHz - kLowHz) * bin / (kBins - 1);
      const double signal = line < 70 ? -28 - 0.08 * std::pow(hz - toneHz, 2) * 4 : -200;
      const double noise = -82 + 10 * random.generateDouble();
      row[bin] = static_cast<float>(std::max(signal, noise));
    }
    waterfall.push(row);
  }
}

ChatMessage message(const QString& text, bool isSent, ChatMessage::DecodeState state,
                    QDateTime date, std::optional<int> snr = std::nullopt) {
  return ChatMessage{QUuid::createUuid(), text, isSent, state, std::move(date), snr};
}

bool mainEmpty(const QString& dir) {
  Program program;
  auto view = showMainWindow(program);
  return save(view->grab().toImage(), dir, "main-empty");
}

// A conversation with one message still arriving, through the controller as the decoder would
// report it.
void holdConversation(Program& program) {
  const QDateTime now = QDateTime::currentDateTime();
  ChatMessageList& messages = *program.model.messages();
  using State = ChatMessage::DecodeState;
  messages.append(message("CQ CQ DE DL1ABC", false, State::incomplete, now.addDays(-1), -14));
  messages.append(message("DL1ABC DE G4XYZ GM", true, State::complete, now.addSecs(-300)));
  messages.append(message("G4XYZ DE DL1ABC GM OM TNX FER CALL UR SIG 579 HR IN MUNICH NAME HANS",
                          false, State::complete, now.addSecs(-240), 12));
  messages.append(
      message("TNX HANS NAME PETE QTH LONDON", true, State::complete, now.addSecs(-180)));
  messages.append(message("PETE FB RIG HR IS 50W TO A DIPOLE ES WX", false, State::incomplete,
                          now.addSecs(-120), -3));
  pushWaterfallSignal(program.model.waterfall());
  program.model.handleDecoderUpdate(
      {42, "FB HANS WX HR IS RAINY AND COLD BUT THE BAND IS OPEN", 1500, false, -7, 3, 59});
}

bool mainConversation(const QString& dir) {
  Program program;
  holdConversation(program);
  auto view = showMainWindow(program);
  // As the operator sees it once the transcript has followed the last change.
  QApplication::processEvents();
  return save(view->grab().toImage(), dir, "main-conversation");
}

// The whole main window, menu bar included, as a desktop frames it.
bool mainWindow(const QString& dir) {
  Program program;
  holdConversation(program);
  MainWindow window(program.model, program.settings);
  window.setWindowTitle(QStringLiteral("Palavrix"));
  window.show();
  settle();
  return save(framed(window), dir, "main-window");
}

// The whole main window made as small as it goes, with a message being typed.
bool mainWindowMinimum(const QString& dir) {
  Program program;
  holdConversation(program);
  program.model.setInputText(QStringLiteral("PETE TNX FER QSO 73 ES GL DE G4XYZ"));
  MainWindow window(program.model, program.settings);
  window.setWindowTitle(QStringLiteral("Palavrix"));
  window.show();
  window.resize(1, 1);  // the layout holds it at its minimum
  settle();
  return save(framed(window), dir, "main-window-minimum");
}

// A message going out: the field, Send and the macro bar wait for the transmission's end.
bool mainSending(const QString& dir) {
  Program program;
  holdConversation(program);
  auto view = showMainWindow(program);
  program.model.setInputText(QStringLiteral("PETE TNX FER QSO 73"));
  program.model.send();
  settle();
  if (!program.model.isSending()) {
    std::fprintf(stderr, "screenshots: not sending\n");
    return false;
  }
  const bool saved = save(view->grab().toImage(), dir, "main-sending");
  for (QDeadlineTimer deadline(30000); program.model.isSending() && !deadline.hasExpired();) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return saved;
}

bool mainLengthWarning(const QString& dir) {
  Program program;
  program.model.setInputText(QStringLiteral("CQ CQ CQ DE G4XYZ G4XYZ PSE K ")
                                 .repeated(3)
                                 .left(ChatViewModel::kMaxMessageCharacters));
  auto view = showMainWindow(program);
  return save(view->grab().toImage(), dir, "main-length-warning");
}

bool mainAlert(const QString& dir) {
  Program program;
  auto view = showMainWindow(program);
  program.model.setAlertMessage(
      QStringLiteral("Couldn't start listening on the audio input: No audio server is running."));
  settle();
  QMessageBox* alert = view->alert();
  if (!alert) {
    std::fprintf(stderr, "screenshots: no alert shown\n");
    return false;
  }
  // The alert is a window of its own: draw it where it stands over the main window.
  QImage image = view->grab().toImage();
  QPainter painter(&image);
  const QImage box = framed(*alert);
  painter.fillRect(image.rect(), QColor(0, 0, 0, 40));
  painter.drawImage((image.width() - box.width()) / 2, (image.height() - box.height()) / 3, box);
  painter.end();
  return save(image, dir, "main-alert");
}

bool macroEditor(const QString& dir) {
  Program program;
  program.settings.setMacro(
      1, Macro{QStringLiteral("Station"), QStringLiteral("RIG 50W TO A DIPOLE\nQTH LONDON")});
  auto view = showMainWindow(program);
  view->macroBar()->openEditor(1);
  settle();
  MacroEditorView* editor = view->macroBar()->editor();
  if (!editor) {
    std::fprintf(stderr, "screenshots: no macro editor shown\n");
    return false;
  }
  if (!save(editor->grab().toImage(), dir, "macro-editor")) return false;
  // Seven lines, as long as a message can be: the field grows to six lines and scrolls, the
  // length warning shows, and the buttons stay below.
  editor->messageField()->setPlainText(
      QStringLiteral("RIG 50W TO A DIPOLE\nQTH LONDON\nNAME JOHN\nWX SUNNY\nAGE 42\nTNX QSO 73 "
                     "GL\nEND SK 73"));
  settle();
  return save(editor->grab().toImage(), dir, "macro-editor-long");
}

// The settings window on one of its tabs, once the rig library and the audio server answered.
std::unique_ptr<SettingsView> showSettings(Program& program, int tab) {
  auto view = std::make_unique<SettingsView>(program.settings, program.model);
  view->show();
  QThreadPool::globalInstance()->waitForDone();
  settle();
  view->findChild<QTabWidget*>()->setCurrentIndex(tab);
  settle();
  return view;
}

bool settingsGeneral(const QString& dir) {
  Program program;
  program.settings.setCallsign(QStringLiteral("G4XYZ"));
  program.settings.setAppendCallsign(true);
  auto view = showSettings(program, 0);
  view->findChild<QPushButton*>(QStringLiteral("soundTest"))->click();
  settle();
  return save(framed(*view), dir, "settings-general");
}

bool settingsAudio(const QString& dir) {
  Program program;
  program.settings.setAudioInputGainDb(6);
  program.settings.setAudioOutputGainDb(-10);
  auto view = showSettings(program, 1);
  // Loud enough on the input to reach the meter's yellow, as a strong signal would.
  program.model.levels().setInputDb(-16);
  program.model.levels().setOutputDb(-22);
  settle();
  return save(framed(*view), dir, "settings-audio");
}

bool settingsTransceiver(const QString& dir) {
  Program program;
  program.settings.setRigModel(3061);  // Icom IC-7200
  program.settings.setRigPort(QStringLiteral("/dev/ttyUSB0"));
  program.settings.setRigSerial(RigSerialConfig{{{RigSerialSetting::baudRate, "19200"}}});
  auto view = showSettings(program, 2);
  // No rig on that port here: the test fails the way the operator would see it.
  auto* connect = view->findChild<QPushButton*>(QStringLiteral("connect"));
  connect->click();
  for (QDeadlineTimer deadline(10000); !connect->isEnabled() && !deadline.hasExpired();) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  settle();
  return save(framed(*view), dir, "settings-transceiver");
}

// The Transceiver tab with the Parity drop-down open over it, as the keyboard's Alt+Down opens it.
bool settingsDropDown(const QString& dir) {
  Program program;
  program.settings.setRigModel(3061);  // Icom IC-7200
  auto view = showSettings(program, 2);
  auto* parity = view->findChild<QComboBox*>(QStringLiteral("parity"));
  parity->setFocus();
  parity->showPopup();
  settle();
  QWidget* popup = QApplication::activePopupWidget();
  if (!popup) {
    std::fprintf(stderr, "screenshots: no drop-down shown\n");
    return false;
  }
  // The drop-down is a window of its own: draw it where it stands over the settings window.
  QImage image = framed(*view);
  QPainter painter(&image);
  painter.drawImage(
      popup->mapToGlobal(QPoint(0, 0)) - view->mapToGlobal(QPoint(0, 0)) + QPoint(1, kTitleHeight),
      popup->grab().toImage());
  painter.end();
  parity->hidePopup();
  return save(image, dir, "settings-drop-down");
}

bool hamlibLogEmpty(const QString& dir) {
  HamlibLog log;
  HamlibLogView view(log);
  view.show();
  settle();
  return save(framed(view), dir, "hamlib-log-empty");
}

bool hamlibLogEntries(const QString& dir) {
  HamlibLog log;
  const QDateTime start = QDateTime::currentDateTime();
  int step = 0;
  auto add = [&](HamlibLogLevel level, bool fromApp, const QString& text) {
    log.append(start.addMSecs(37 * step++), level, fromApp, text);
  };
  add(HamlibLogLevel::verbose, true,
      "Loaded Hamlib 4.5.4 from /lib/x86_64-linux-gnu/libhamlib.so.4");
  add(HamlibLogLevel::trace, false, "rig_init called");
  add(HamlibLogLevel::cache, false, "rig_get_freq: cache hit age=12ms");
  add(HamlibLogLevel::trace, false, "rig_open: opening port /dev/ttyUSB0");
  add(HamlibLogLevel::warning, false, "rig_open: cannot set DTR on /dev/ttyUSB0");
  add(HamlibLogLevel::error, false,
      "port_open: serial_open(/dev/ttyUSB0) status=-6, err=No such file or directory");
  add(HamlibLogLevel::error, true,
      "rig_open failed: IO error (error -6)\nHamlib error trace:\nport_open");
  add(HamlibLogLevel::bug, false, "rig_set_mode: backend returned an unknown mode");
  add(HamlibLogLevel::none, false, "Hamlib version 4.5.4");
  add(HamlibLogLevel::warning, true, "Ignored the configuration line handshake=XONXOFF");
  add(HamlibLogLevel::cache, true, "Status read: 14.074000 MHz  PKTUSB");
  HamlibLogView view(log);
  view.show();
  settle();
  return save(framed(view), dir, "hamlib-log-entries");
}

// A line far longer than the window, chosen: its row ends in an ellipsis, and the whole text
// stands under the list.
bool hamlibLogLongLine(const QString& dir) {
  HamlibLog log;
  const QDateTime start = QDateTime::currentDateTime();
  log.append(start, HamlibLogLevel::trace, false, "rig_open called");
  log.append(start.addMSecs(12), HamlibLogLevel::trace, false,
             "read_string_generic(): RX 64 characters, direct=1, 0x46 0x41 0x30 0x31 0x34 0x30 "
             "0x37 0x34 0x30 0x30 0x30 0x3b 0x4d 0x44 0x30 0x43 0x3b 0x49 0x46 0x30 0x30 0x30 "
             "0x31 0x34 0x30 0x37 0x34 0x30 0x30 0x30 0x20 0x20 0x20 0x20 0x20 0x2b 0x30 0x30 "
             "0x30 0x30 0x30 0x30 0x30 0x30 0x30 0x30 0x30 0x30 0x30 0x30 0x30 0x30 0x30 0x3b");
  log.append(start.addMSecs(40), HamlibLogLevel::verbose, true,
             "Status read: 14.074000 MHz  PKTUSB");
  HamlibLogView view(log);
  view.show();
  settle();
  view.findChild<QListView*>(QStringLiteral("entries"))->setCurrentIndex(log.index(1));
  settle();
  return save(framed(view), dir, "hamlib-log-long-line");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  // The scenes' settings never touch the operator's own.
  QTemporaryDir config;
  qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
  QApplication app(argc, argv);
  // A desktop set to a larger font, as FONT_POINTS asks.
  if (const double points = qEnvironmentVariable("FONT_POINTS").toDouble(); points > 0) {
    QFont font = QApplication::font();
    font.setPointSizeF(points);
    QApplication::setFont(font);
  }
  const QString dir = QString::fromLocal8Bit(argv[1]);
  if (!QDir().mkpath(dir)) {
    std::fprintf(stderr, "screenshots: cannot make %s\n", argv[1]);
    return 1;
  }
  const std::vector<std::function<bool(const QString&)>> scenes{
      mainEmpty,           mainConversation, mainWindow,     mainWindowMinimum, mainSending,
      mainLengthWarning,   mainAlert,        macroEditor,    settingsGeneral,   settingsAudio,
      settingsTransceiver, settingsDropDown, hamlibLogEmpty, hamlibLogEntries,  hamlibLogLongLine,
  };
  bool ok = true;
  for (const auto& scene : scenes) ok = scene(dir) && ok;
  return ok ? 0 : 1;
}
