// The settings window over the real controller, settings store, PulseAudio test server and
// Hamlib (its model list, the dummy rig and a rigctld serving it).
#include "ui/SettingsView.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSlider>
#include <QThreadPool>
#include <cmath>

#include "UiTestSupport.h"
#include "audio/AudioLevels.h"
#include "audio/PlaybackEngine.h"
#include "ui/SettingsTransceiverPage.h"

namespace {

// Hamlib models with what the tests need of them.
constexpr qint64 kAR2700 = 5008;  // handshake XONXOFF by default, no PKTUSB
constexpr qint64 kIC7200 = 3061;  // PKTUSB, no FM
constexpr qint64 kNetworkRig = 2;

class SettingsViewTest : public testing::Test {
 protected:
  void SetUp() override {
    qputenv("XDG_CONFIG_HOME", home_.path().toUtf8());
    settings_ = std::make_unique<AppSettings>();
    model_ = std::make_unique<ChatViewModel>(*settings_, ChatViewModel::Timing{});
  }
  void TearDown() override {
    view_.reset();
    settle();
    model_.reset();
  }
  SettingsView& open() {
    if (!view_) view_ = std::make_unique<SettingsView>(*settings_, *model_);
    view_->show();
    view_->activateWindow();  // shortcuts reach the active window only
    EXPECT_TRUE(QTest::qWaitForWindowActive(view_.get()));
    return *view_;
  }
  template <typename T>
  T* find(const char* name) {
    T* widget = view_->findChild<T*>(name);
    EXPECT_NE(widget, nullptr) << name;
    return widget;
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
    QStringList texts;
    auto* box = find<QComboBox>(picker);
    for (int i = 0; i < box->count(); ++i) texts.append(box->itemText(i));
    return texts;
  }
  // Every background answer handed back and handled.
  void settle() {
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
  }
  void waitForRigList() {
    ASSERT_TRUE(QTest::qWaitFor([&] { return rows("modelPicker").size() > 100; }, 10000));
  }

  QTemporaryDir home_;
  std::unique_ptr<AppSettings> settings_;
  std::unique_ptr<ChatViewModel> model_;
  std::unique_ptr<SettingsView> view_;
};

TEST_F(SettingsViewTest, OkWritesTheCopySavesAndClosesAndEveryShowingReloads) {
  open();
  QTest::keyClicks(find<QLineEdit>("callsign"), "  W1AW ");
  QTest::keyClicks(find<QLineEdit>("port"), " \t/dev/tty USB0\t ");
  find<QCheckBox>("appendCallsign")->setChecked(true);
  model_->setNeedsRigModeSet(false);
  // Return and Escape in an open drop-down choose and close the drop-down, not the window.
  auto* parity = find<QComboBox>("parity");
  for (const auto& keys : {QList<Qt::Key>{Qt::Key_Down, Qt::Key_Down, Qt::Key_Return},
                           QList<Qt::Key>{Qt::Key_Down, Qt::Key_Escape}}) {
    parity->setFocus();
    parity->showPopup();
    ASSERT_TRUE(QTest::qWaitFor([&] { return parity->view()->isVisible(); }));
    for (Qt::Key key : keys) QTest::keyClick(parity->view(), key);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !parity->view()->isVisible(); }));
    EXPECT_TRUE(view_->isVisible());
  }
  EXPECT_EQ(parity->currentText(), "Odd");
  QTest::keyClick(find<QSlider>("inputGain"), Qt::Key_Return);  // Return from anywhere
  EXPECT_FALSE(view_->isVisible());
  EXPECT_EQ(settings_->callsign(), "  W1AW ") << "the store trims, not the window";
  EXPECT_EQ(settings_->rigPort(), "/dev/tty USB0");
  EXPECT_EQ(settings_->rigSerial().value(RigSerialSetting::parity), "Odd");
  EXPECT_TRUE(model_->needsRigModeSet());
  const AppSettings reread;
  EXPECT_EQ(reread.callsign(), "W1AW");
  EXPECT_TRUE(reread.appendCallsign());

  open();
  QTest::keyClicks(find<QLineEdit>("callsign"), "XYZ");
  QTest::keyClick(find<QLineEdit>("callsign"), Qt::Key_Escape);
  EXPECT_FALSE(view_->isVisible());
  EXPECT_EQ(settings_->callsign(), "  W1AW ");
  open();
  EXPECT_EQ(find<QLineEdit>("callsign")->text(), "  W1AW ") << "Cancel's edits never come back";
}

TEST_F(SettingsViewTest, ShowsTheStoresLoadAndSaveErrorsAndStaysOpen) {
  // A folder where the store's file should be: it can be neither read nor saved over.
  QTemporaryDir home;
  qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
  AppSettings unreadable;
  ASSERT_TRUE(QDir().mkpath(unreadable.storePath()));
  AppSettings settings;
  SettingsView view(settings, *model_);
  view.show();
  auto* error = view.findChild<QLabel*>("error");
  EXPECT_TRUE(error->isVisible());
  EXPECT_EQ(error->text(), settings.loadError());
  EXPECT_FALSE(error->text().isEmpty());
  QString saveError;
  ASSERT_FALSE(AppSettings().save(&saveError));
  view.applyAndClose();
  EXPECT_TRUE(view.isVisible()) << "the edits stay on screen";
  EXPECT_EQ(error->text(), saveError);
}

TEST_F(SettingsViewTest, GainPreviewsLiveAndCloseRestoresTheSavedGain) {
  settings_->setAudioInputGainDb(-6);
  settings_->setAudioOutputGainDb(-10);
  open();
  auto* inputGain = find<QSlider>("inputGain");
  inputGain->setValue(20);
  EXPECT_FLOAT_EQ(model_->inputGain().linear(), 10.0f);
  EXPECT_EQ(find<QLabel>("inputGainReadout")->text(), "+20 dB");
  inputGain->setValue(0);
  EXPECT_EQ(find<QLabel>("inputGainReadout")->text(), "0 dB");
  inputGain->setValue(-20);
  EXPECT_EQ(find<QLabel>("inputGainReadout")->text(), "-20 dB");
  auto* outputGain = find<QSlider>("outputGain");
  outputGain->setValue(5);
  EXPECT_EQ(outputGain->value(), 0) << "the output gain cannot go above 0";
  EXPECT_FLOAT_EQ(model_->playbackEngine().gain(), 1.0f);

  view_->close();  // the close control, like Cancel
  EXPECT_NEAR(model_->inputGain().linear(), std::pow(10.0, -6.0 / 20), 1e-6);
  EXPECT_NEAR(model_->playbackEngine().gain(), std::pow(10.0, -10.0 / 20), 1e-6);
  EXPECT_EQ(settings_->audioInputGainDb(), -6);
}

TEST_F(SettingsViewTest, PicksTheDefaultInputWhenNoneIsSavedAndKeepsAnAbsentOne) {
  open();
  ASSERT_TRUE(QTest::qWaitFor([&] { return find<QComboBox>("inputPicker")->count() > 0; }));
  EXPECT_EQ(find<QComboBox>("inputPicker")->currentData().toString(), "test_in");
  EXPECT_EQ(find<QComboBox>("outputPicker")->currentData().toString(), "test_out");
  view_->applyAndClose();
  EXPECT_EQ(settings_->audioInputDeviceUID(), "test_in");

  settings_->setAudioOutputDeviceUID(QString("unplugged"));
  open();
  ASSERT_TRUE(QTest::qWaitFor([&] { return find<QComboBox>("outputPicker")->count() > 0; }));
  settle();
  EXPECT_EQ(find<QComboBox>("outputPicker")->currentIndex(), -1);
  choose("outputPicker", "test_out");
  EXPECT_EQ(model_->previewedOutputDeviceUID(), "test_out") << "previewed while open";
  view_->close();
  EXPECT_EQ(model_->previewedOutputDeviceUID(), std::nullopt);
  EXPECT_EQ(settings_->audioOutputDeviceUID(), "unplugged");

  // A device whose name looks like markup is named as it is in the sound test's line.
  const auto pactl = [](const QStringList& arguments) {
    QProcess process;
    process.start("pactl", arguments);
    process.waitForFinished(10000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
  };
  const QString module = pactl({"load-module", "module-null-sink", "sink_name=markup_out",
                                "sink_properties=device.description=a<br>b<br>c"});
  ASSERT_FALSE(module.isEmpty());
  pactl({"set-default-sink", "markup_out"});
  settings_->setAudioOutputDeviceUID(QString("test_out"));
  open();
  find<QPushButton>("soundTest")->click();
  auto* line = find<QLabel>("soundTestResult");
  pactl({"unload-module", module});
  EXPECT_EQ(line->text(), "Played on a<br>b<br>c.");
  EXPECT_LT(line->heightForWidth(300), 2 * line->fontMetrics().lineSpacing()) << "one line";
}

TEST_F(SettingsViewTest, ModesKeepTheSavedOneAndDetailsFollowTheLastChoiceOnly) {
  settings_->setRigModel(kIC7200);
  settings_->setRigMode("FM");
  view_ = std::make_unique<SettingsView>(*settings_, *model_);
  view_->show();
  const int openedHeight = view_->height();  // before the rig library answers
  EXPECT_EQ(find<QComboBox>("modePicker")->currentText(), "FM") << "while the modes load";
  settle();
  QStringList modes = rows("modePicker");
  EXPECT_GT(modes.size(), 2);
  EXPECT_EQ(modes.front(), "Default (PKTUSB)");
  EXPECT_EQ(modes.back(), "FM") << "the saved mode the model lacks stays the last option";
  EXPECT_EQ(find<QComboBox>("modePicker")->currentText(), "FM");
  EXPECT_EQ(rows("handshake").front(), "Default (None)");

  waitForRigList();
  EXPECT_FALSE(find<QLabel>("hamlibVersion")->text().isEmpty());
  EXPECT_EQ(view_->height(), openedHeight)
      << "the rig library's rows had their room from the start";
  choose("modelPicker", kAR2700);
  choose("modelPicker", kIC7200);
  choose("modelPicker", kAR2700);
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

TEST_F(SettingsViewTest, TestToneLeavesTheRigUnkeyedAndConnectShowsItsStatusOrTheErrorInRed) {
  ASSERT_NE(rigtest::fixturePort(), 0) << "no rigctld fixture";
  settings_->setRigModel(kNetworkRig);
  settings_->setRigPort(QString::fromStdString(rigtest::fixtureAddress()));
  ASSERT_TRUE(settings_->save());
  open();
  auto* button = find<QWidget>("testTone");
  QTest::mousePress(button, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return model_->playbackEngine().isPlaying(); }));
  ASSERT_TRUE(QTest::qWaitFor([&] { return model_->levels().outputDb() > kLevelFloorDb; }));
  EXPECT_EQ(rigtest::askFixture("t"), "0");
  QTest::mouseRelease(button, Qt::LeftButton);
  EXPECT_FALSE(model_->playbackEngine().isPlaying());
  EXPECT_EQ(model_->levels().outputDb(), kLevelFloorDb);

  auto* connectButton = find<QPushButton>("connect");
  auto* status = find<QLabel>("rigStatus");
  const QColor plain = status->palette().color(QPalette::WindowText);
  for (const QString& port :
       {" " + QString::fromStdString(rigtest::fixtureAddress()) + " ", QString("127.0.0.1:1")}) {
    find<QLineEdit>("port")->setText(port);
    emit find<QLineEdit>("port")->textEdited(port);
    connectButton->click();
    EXPECT_EQ(status->text(), "Connecting...");
    EXPECT_FALSE(connectButton->isEnabled());
    ASSERT_TRUE(QTest::qWaitFor([&] { return connectButton->isEnabled(); }, 10000));
    const bool reached = !port.endsWith(":1");
    EXPECT_EQ(status->text().contains(" MHz"), reached) << status->text().toStdString();
    EXPECT_NE(status->text(), "Connecting...");
    EXPECT_EQ(status->palette().color(QPalette::WindowText), reached ? plain : QColor(255, 59, 48));
  }
}

TEST(SettingsViewPorts, ListsSerialAdaptersSortedThenTheLocalDaemon) {
  QTemporaryDir dev;
  for (const char* name : {"ttyUSB1", "ttyACM0", "ttyUSB0", "ttyS0", "cu.usbserial-B", "tty"}) {
    QFile(dev.filePath(name)).open(QIODevice::WriteOnly);
  }
  EXPECT_EQ(SettingsTransceiverPage::discoverSerialPorts(dev.path()),
            (QStringList{dev.filePath("ttyACM0"), dev.filePath("ttyUSB0"), dev.filePath("ttyUSB1"),
                         "127.0.0.1:4532"}));
  EXPECT_EQ(SettingsTransceiverPage::discoverSerialPorts(dev.filePath("missing")),
            QStringList{"127.0.0.1:4532"});
}

}  // namespace
