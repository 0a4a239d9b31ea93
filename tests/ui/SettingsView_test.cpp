// The settings window over the real controller, settings store, PulseAudio test server and
// Hamlib (its model list, the dummy rig and a rigctld serving it).
#include "ui/SettingsView.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractScrollArea>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QSlider>
#include <QTabWidget>
#include <algorithm>
#include <cmath>

#include "UiTestSupport.h"
#include "audio/AudioLevels.h"
#include "audio/PlaybackEngine.h"
#include "chat/ChatMessageList.h"
#include "ui/BackgroundTask.h"
#include "ui/SettingsTransceiverPage.h"

namespace {

// Hamlib models with what the tests need of them.
constexpr qint64 kAR2700 = 5008;  // handshake XONXOFF by default, no PKTUSB
constexpr qint64 kIC7200 = 3061;  // PKTUSB, no FM
constexpr qint64 kNetworkRig = 2;

struct SettingsViewTest : testing::Test, UiProgram {
  void TearDown() override {
    window.reset();
    settle();
  }
  void open() {
    if (!window) window = std::make_unique<SettingsView>(settings, model);
    window->show();
    window->activateWindow();  // shortcuts reach the active window only
    EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
  }
  template <typename T>
  T* find(const char* name) {
    return window->findChild<T*>(name);
  }
  // As the operator picks a row: the row whose data is given.
  void choose(const char* picker, const QVariant& data) {
    auto* box = find<QComboBox>(picker);
    const int index = data.isValid() ? box->findData(data) : 0;
    ASSERT_GE(index, 0) << picker << " has no " << data.toString().toStdString();
    box->setCurrentIndex(index);
    emit box->activated(index);
  }
  QStringList rows(const char* picker) {
    auto* box = find<QComboBox>(picker);
    QStringList texts;
    for (int i = 0; i < box->count(); ++i) texts.append(box->itemText(i));
    return texts;
  }
  // Every background answer handed back and handled.
  static void settle() {
    backgroundPool().waitForDone();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
  }

  std::unique_ptr<SettingsView> window;
};

TEST_F(SettingsViewTest, OkWritesTheCopySavesAndClosesAndEveryShowingReloads) {
  open();
  QTest::keyClicks(find<QLineEdit>("callsign"), "  W1AW ");
  QTest::keyClicks(find<QLineEdit>("port"), " \t/dev/tty USB0\t ");
  find<QCheckBox>("appendCallsign")->setChecked(true);
  model.setNeedsRigModeSet(false);
  // Return and Escape in an open drop-down choose and close the drop-down, not the window.
  auto* parity = find<QComboBox>("parity");
  for (const auto& keys : {QList<Qt::Key>{Qt::Key_Down, Qt::Key_Down, Qt::Key_Return},
                           QList<Qt::Key>{Qt::Key_Down, Qt::Key_Escape}}) {
    parity->setFocus();
    parity->showPopup();
    ASSERT_TRUE(waitFor([&] { return parity->view()->isVisible(); }));
    for (Qt::Key key : keys) QTest::keyClick(parity->view(), key);
    ASSERT_TRUE(waitFor([&] { return !parity->view()->isVisible(); }));
    EXPECT_TRUE(window->isVisible());
  }
  QTest::keyClick(find<QSlider>("inputGain"), Qt::Key_Return);  // Return from anywhere
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(settings.rigPort(), "/dev/tty USB0");
  EXPECT_EQ(settings.rigSerial().value(RigSerialSetting::parity), "Odd");
  EXPECT_TRUE(model.needsRigModeSet());
  const AppSettings reread;
  EXPECT_EQ(reread.callsign(), "W1AW");
  EXPECT_TRUE(reread.appendCallsign());

  open();
  QTest::keyClicks(find<QLineEdit>("callsign"), "XYZ");
  QTest::keyClick(find<QLineEdit>("callsign"), Qt::Key_Escape);
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(settings.callsign(), "  W1AW ");
  open();
  EXPECT_EQ(find<QLineEdit>("callsign")->text(), "  W1AW ") << "Cancel's edits never come back";
}

TEST_F(SettingsViewTest, KeysGoToTheFirstFieldAndTheTabKeysChangeTheTabFromAnyField) {
  settings.setRigModel(kIC7200);
  ASSERT_TRUE(settings.save());
  open();
  auto* tabs = window->findChild<QTabWidget*>();
  const auto focused = [] { return QApplication::focusWidget(); };
  // What the operator types at once lands in the first field.
  ASSERT_TRUE(focused());
  QTest::keyClicks(focused(), "G4XYZ");
  EXPECT_EQ(find<QLineEdit>("callsign")->text(), "G4XYZ");

  auto* modelPicker = find<QComboBox>("modelPicker");
  ASSERT_TRUE(waitFor([&] { return modelPicker->currentIndex() > 0; }));
  const int model = modelPicker->currentIndex();
  // Each key from where the last one left the focus: drop-downs and sliders hold it on the way.
  struct Step {
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    int tab;
    const char* focus;
  };
  const Qt::KeyboardModifiers ctrl = Qt::ControlModifier;
  for (const Step& step : {
           Step{Qt::Key_Tab, ctrl, 1, "inputPicker"},
           Step{Qt::Key_PageDown, ctrl, 2, "modelPicker"},
           Step{Qt::Key_PageUp, ctrl, 1, "inputPicker"},
           Step{Qt::Key_Tab, ctrl, 2, "modelPicker"},
           Step{Qt::Key_Backtab, ctrl | Qt::ShiftModifier, 1, "inputPicker"},
           Step{Qt::Key_Backtab, ctrl | Qt::ShiftModifier, 0, "callsign"},
           Step{Qt::Key_PageUp, ctrl, 2, "modelPicker"},
       }) {
    SCOPED_TRACE(QKeySequence(step.key | step.modifiers).toString().toStdString());
    QTest::keyClick(focused(), step.key, step.modifiers);
    EXPECT_EQ(tabs->currentIndex(), step.tab);
    ASSERT_TRUE(focused());
    EXPECT_EQ(focused()->objectName(), step.focus);
  }
  EXPECT_EQ(modelPicker->currentIndex(), model) << "the keys never chose another rig";
  QTest::keyClick(focused(), Qt::Key_PageUp, ctrl);
  auto* slider = find<QSlider>("inputGain");
  slider->setFocus();
  const int gain = slider->value();
  QTest::keyClick(slider, Qt::Key_PageDown, ctrl);
  EXPECT_EQ(tabs->currentIndex(), 2) << "from a slider too";
  EXPECT_EQ(slider->value(), gain);
}

TEST_F(SettingsViewTest, OpensWithinItsScreenAndWiderWhereALargerFontsTextsNeedIt) {
  constexpr int kDesignWidth = 460;
  settings.setRigModel(kIC7200);
  ASSERT_TRUE(settings.save());
  // Every text of every tab whole: as wide as its text wants, or wrapped onto further lines,
  // and within the window, not past its right edge.
  const auto expectWhole = [&](const QWidget* widget, const QString& text, int wanted) {
    EXPECT_GE(widget->width(), wanted) << text.toStdString();
    const QRect seen = widget->visibleRegion().boundingRect();
    EXPECT_EQ(seen.width(), widget->width()) << text.toStdString() << " cut at its right";
  };
  const auto expectNothingCut = [&] {
    auto* tabs = window->findChild<QTabWidget*>();
    for (int tab = 0; tab < tabs->count(); ++tab) {
      tabs->setCurrentIndex(tab);
      QCoreApplication::processEvents();
      for (const auto* toggle : window->findChildren<QAbstractButton*>()) {
        if (!toggle->isVisible() || toggle->text().isEmpty()) continue;
        expectWhole(toggle, toggle->text(), toggle->sizeHint().width());
      }
      for (const auto* label : window->findChildren<QLabel*>()) {
        if (!label->isVisible() || label->wordWrap() || label->text().isEmpty()) continue;
        expectWhole(label, label->text(), label->minimumSizeHint().width());
      }
    }
    tabs->setCurrentIndex(0);
  };

  open();
  EXPECT_EQ(window->width(), kDesignWidth) << "the design's width, where the texts fit it";
  // A failed test's text takes its lines, and the window grows to show every row still.
  settle();
  find<QLineEdit>("port")->setText("127.0.0.1:1");
  window->findChild<QTabWidget*>()->setCurrentIndex(2);
  settle();
  auto* connectButton = find<QPushButton>("connect");
  const int withoutStatus = window->height();
  connectButton->click();
  EXPECT_GT(window->height(), withoutStatus) << "at once, for \"Connecting...\"";
  ASSERT_TRUE(waitFor([&] { return connectButton->isEnabled(); }));
  QCoreApplication::processEvents();
  for (const char* row : {"rigStatus", "hamlibVersion", "hamlibLibrary"}) {
    const auto* label = find<QLabel>(row);
    EXPECT_EQ(label->visibleRegion().boundingRect().height(), label->height()) << row;
  }
  expectNothingCut();
  window.reset();
  {
    LargerDesktopFont font(15);
    open();
    EXPECT_GT(window->width(), kDesignWidth);
    expectNothingCut();
    window.reset();
  }

  // On a screen with less room than the window would take, it takes what there is, and the
  // tabs scroll to the field that has the keys.
  LargerDesktopFont font(12);
  const QSize roomy = [&] {
    open();
    const QSize size = window->size();
    window.reset();
    return size;
  }();
  QScreen* screen = screenNamed("scaled-2");
  ASSERT_TRUE(screen);
  const QRect area = screen->availableGeometry();
  window = std::make_unique<SettingsView>(settings, model);
  placeOn(*window, screen);
  open();
  ASSERT_GT(roomy.height(), area.height()) << "the window must want more room than there is";
  EXPECT_TRUE(area.contains(window->frameGeometry())) << window->frameGeometry().height();
  for (const char* button : {"OK", "Cancel"}) {
    const auto buttons = window->findChildren<QPushButton*>();
    const auto found = std::find_if(buttons.begin(), buttons.end(), [&](const QPushButton* each) {
      return each->text() == button;
    });
    ASSERT_NE(found, buttons.end()) << button;
    EXPECT_TRUE(area.contains(onScreens(**found))) << button;
  }
  window->findChild<QTabWidget*>()->setCurrentIndex(2);
  connectButton = find<QPushButton>("connect");
  find<QComboBox>("modelPicker")->setFocus();
  for (int presses = 0; presses < 20 && !connectButton->hasFocus(); ++presses) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  }
  ASSERT_TRUE(connectButton->hasFocus());
  EXPECT_TRUE(area.contains(onScreens(*connectButton)));
  const QWidget* page = connectButton->parentWidget()->parentWidget();  // the scrolled viewport
  EXPECT_TRUE(onScreens(*page).contains(onScreens(*connectButton)));
}

TEST_F(SettingsViewTest, OkKeepsTheMessageBeingReceivedUnlessTheInputDeviceChanged) {
  ASSERT_TRUE(waitFor([&] { return model.isCapturing(); }));
  const ChatMessageList& transcript = *model.messages();
  const auto last = [&]() -> const ChatMessage& { return transcript.at(transcript.size() - 1); };
  const auto receive = [&](const char* text) {
    model.postDecoderUpdate({5, text, 1500.0f, false, -10, 3, 46});
    return waitFor([&] { return !transcript.isEmpty() && last().text == text; });
  };
  ASSERT_TRUE(receive("CQ CQ"));
  const int attempts = model.captureStartAttempts();
  // Nothing changed, then only settings that capture and the decoder do not read.
  open();
  window->applyAndClose();
  ASSERT_TRUE(receive("CQ CQ DE"));
  open();
  QTest::keyClicks(find<QLineEdit>("callsign"), "G4XYZ");
  find<QSlider>("inputGain")->setValue(6);
  find<QSlider>("outputGain")->setValue(-3);
  find<QCheckBox>("appendCallsign")->setChecked(true);
  window->applyAndClose();
  EXPECT_NEAR(model.inputGain().linear(), std::pow(10.0, 6.0 / 20), 1e-6) << "the gain is live";
  ASSERT_TRUE(receive("CQ CQ DE DL1ABC"));
  EXPECT_EQ(transcript.size(), 1);
  EXPECT_EQ(last().decodeState, ChatMessage::DecodeState::inProgress);
  EXPECT_EQ(model.captureStartAttempts(), attempts) << "capture went on as it was";

  // Another input device (one not plugged in, so that the server the other tests share stays
  // as it is): capture starts again, here on the default device, and the message so far is
  // closed.
  settings.setAudioInputDeviceUID(QString("unplugged_in"));
  open();
  window->applyAndClose();
  EXPECT_EQ(last().decodeState, ChatMessage::DecodeState::incomplete);
  EXPECT_TRUE(waitFor([&] { return model.captureStartAttempts() > attempts; }));
  EXPECT_TRUE(waitFor([&] { return model.isCapturing(); }));
}

TEST_F(SettingsViewTest, ShowsTheStoresLoadAndSaveErrorsAndStaysOpen) {
  // A folder where the store's file should be: it can be neither read nor saved over.
  ASSERT_TRUE(QDir().mkpath(settings.storePath()));
  AppSettings unreadable;
  SettingsView dialog(unreadable, model);
  dialog.show();
  auto* error = dialog.findChild<QLabel*>("error");
  EXPECT_TRUE(error->isVisible());
  EXPECT_EQ(error->text(), unreadable.loadError());
  QString saveError;
  ASSERT_FALSE(AppSettings().save(&saveError));
  dialog.applyAndClose();
  EXPECT_TRUE(dialog.isVisible()) << "the edits stay on screen";
  EXPECT_EQ(error->text(), saveError);
}

TEST_F(SettingsViewTest, AudioPreviewsGainsAndOutputsWhileOpenAndPicksTheDefaultInput) {
  settings.setAudioInputGainDb(-6);
  settings.setAudioOutputGainDb(-10);
  open();
  for (const auto& [gainDb, readout] : {std::pair{20, "+20 dB"}, {0, "0 dB"}, {-20, "-20 dB"}}) {
    find<QSlider>("inputGain")->setValue(gainDb);
    EXPECT_EQ(find<QLabel>("inputGainReadout")->text(), readout);
  }
  EXPECT_FLOAT_EQ(model.inputGain().linear(), 0.1f);
  find<QSlider>("outputGain")->setValue(5);
  EXPECT_EQ(find<QSlider>("outputGain")->value(), 0) << "the output gain cannot go above 0";
  EXPECT_FLOAT_EQ(model.playbackEngine().gain(), 1.0f);
  window->close();  // the close control, like Cancel
  EXPECT_NEAR(model.inputGain().linear(), std::pow(10.0, -6.0 / 20), 1e-6);
  EXPECT_NEAR(model.playbackEngine().gain(), std::pow(10.0, -10.0 / 20), 1e-6);

  open();
  settle();
  EXPECT_EQ(find<QComboBox>("inputPicker")->currentData().toString(), "test_in");
  EXPECT_EQ(find<QComboBox>("outputPicker")->currentData().toString(), "test_out");
  window->applyAndClose();
  EXPECT_EQ(settings.audioInputDeviceUID(), "test_in");

  settings.setAudioOutputDeviceUID(QString("unplugged"));
  open();
  settle();
  EXPECT_EQ(find<QComboBox>("outputPicker")->currentIndex(), -1);
  choose("outputPicker", "test_out");
  EXPECT_EQ(model.previewedOutputDeviceUID(), "test_out") << "previewed while open";
  window->close();
  EXPECT_EQ(model.previewedOutputDeviceUID(), std::nullopt);

  // A device whose name looks like markup is named as it is in the sound test's line.
  const auto pactl = [](const QStringList& arguments) {
    QProcess process;
    process.start("pactl", arguments);
    process.waitForFinished(10000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
  };
  const QString module = pactl({"load-module", "module-null-sink", "sink_name=markup_out",
                                "sink_properties=device.description=a<br>b<br>c"});
  pactl({"set-default-sink", "markup_out"});
  settings.setAudioOutputDeviceUID(QString("test_out"));
  open();
  find<QPushButton>("soundTest")->click();
  auto* line = find<QLabel>("soundTestResult");
  EXPECT_TRUE(waitFor([&] { return !line->text().isEmpty(); }));  // once the devices are known
  pactl({"unload-module", module});
  EXPECT_EQ(line->text(), "Played on a<br>b<br>c.");
  EXPECT_LT(line->heightForWidth(300), 2 * line->fontMetrics().lineSpacing()) << "one line";
}

TEST_F(SettingsViewTest, ModesKeepTheSavedOneAndDetailsFollowTheLastChoiceOnly) {
  settings.setRigModel(kIC7200);
  settings.setRigMode("FM");
  window = std::make_unique<SettingsView>(settings, model);
  window->show();
  const int openedHeight = window->height();  // before the rig library answers
  EXPECT_EQ(find<QComboBox>("modePicker")->currentText(), "FM") << "while the modes load";
  settle();
  EXPECT_EQ(rows("modePicker").front(), "Default (PKTUSB)");
  EXPECT_EQ(rows("modePicker").back(), "FM")
      << "the saved mode the model lacks stays the last option";
  EXPECT_EQ(find<QComboBox>("modePicker")->currentText(), "FM");

  ASSERT_TRUE(waitFor([&] { return rows("modelPicker").size() > 100; }));
  EXPECT_FALSE(find<QLabel>("hamlibVersion")->text().isEmpty());
  EXPECT_EQ(window->height(), openedHeight)
      << "the rig library's rows had their room from the start";
  for (qint64 rig : {kAR2700, kIC7200, kAR2700}) choose("modelPicker", rig);
  settle();
  EXPECT_EQ(rows("modePicker").front(), "Default (USB)");
  EXPECT_EQ(rows("handshake").front(), "Default (XON/XOFF)");
  EXPECT_EQ(rows("dtrState"), (QStringList{"Default (Unset)", "On", "Off"}));

  choose("modelPicker", kIC7200);
  choose("modelPicker", QVariant());  // "None": the answers for the model before come too late
  settle();
  EXPECT_EQ(rows("modePicker"), (QStringList{"Default", "FM"}));
  EXPECT_EQ(rows("handshake").front(), "Default");
}

TEST_F(SettingsViewTest,
       TestToneLeavesTheRigUnkeyedAndConnectOffersThePortsAndShowsTheStatusOrAnErrorInRed) {
  ASSERT_NE(rigtest::fixturePort(), 0) << "no rigctld fixture";
  settings.setRigModel(kNetworkRig);
  settings.setRigPort(QString::fromStdString(rigtest::fixtureAddress()));
  ASSERT_TRUE(settings.save());
  open();
  auto* button = find<QWidget>("testTone");
  QTest::mousePress(button, Qt::LeftButton);
  ASSERT_TRUE(waitFor([&] { return model.levels().outputDb() > kLevelFloorDb; }));
  EXPECT_EQ(rigtest::askFixture("t"), "0");
  QTest::mouseRelease(button, Qt::LeftButton);
  EXPECT_FALSE(model.playbackEngine().isPlaying());
  EXPECT_EQ(model.levels().outputDb(), kLevelFloorDb);

  auto* connectButton = find<QPushButton>("connect");
  auto* status = find<QLabel>("rigStatus");
  const QColor plain = status->palette().color(QPalette::WindowText);
  for (const QString& port :
       {" " + QString::fromStdString(rigtest::fixtureAddress()) + " ", QString("127.0.0.1:1")}) {
    find<QLineEdit>("port")->setText(port);
    connectButton->click();
    EXPECT_EQ(status->text(), "Connecting...");
    EXPECT_FALSE(connectButton->isEnabled());
    ASSERT_TRUE(waitFor([&] { return connectButton->isEnabled(); }));
    const bool reached = !port.endsWith(":1");
    EXPECT_EQ(status->text().contains(" MHz"), reached) << status->text().toStdString();
    EXPECT_EQ(status->palette().color(QPalette::WindowText), reached ? plain : QColor(255, 59, 48));
  }

  QTemporaryDir dev;
  for (const char* name : {"ttyUSB1", "ttyACM0", "ttyUSB0", "ttyS0", "cu.usbserial-B", "tty"}) {
    QFile(dev.filePath(name)).open(QIODevice::WriteOnly);
  }
  EXPECT_EQ(SettingsTransceiverPage::discoverSerialPorts(dev.path()),
            (QStringList{dev.filePath("ttyACM0"), dev.filePath("ttyUSB0"), dev.filePath("ttyUSB1"),
                         "127.0.0.1:4532"}));
}

// A sound test still under way when the window closes keeps its status out of the window shown
// again; the test asked for in this showing has its status shown.
TEST_F(SettingsViewTest, ASoundTestFromAnEarlierShowingSaysNothingInTheNextOne) {
  open();
  QSignalSpy told(&model, &ChatViewModel::newMessageSoundPreviewed);
  find<QPushButton>("soundTest")->click();
  // Its status comes through this thread's event loop, so only once the window is open again.
  window->close();
  open();
  auto* line = find<QLabel>("soundTestResult");
  ASSERT_TRUE(waitFor([&] { return told.count() == 1; }));
  EXPECT_TRUE(line->isHidden()) << line->text().toStdString();

  find<QPushButton>("soundTest")->click();
  ASSERT_TRUE(waitFor([&] { return told.count() == 2; }));
  EXPECT_FALSE(line->isHidden());
  EXPECT_EQ(line->text(), told.at(1).at(1).toString());
  EXPECT_FALSE(line->text().isEmpty());
}

}  // namespace
