#include "chat/AppSettings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <random>

#include "rig/HamlibLog.h"
#include "settings/SettingsStore.h"

namespace {

// The macros given, and the default ones in the slots after them.
QList<Macro> padded(QList<Macro> macros = {}) {
  for (qsizetype slot = macros.size(); slot < 8; ++slot)
    macros.append({QStringLiteral("M%1").arg(slot + 1), QString()});
  return macros;
}

void writeFile(const QString& path, const QByteArray& content) {
  ASSERT_TRUE(QDir().mkpath(QFileInfo(path).path()));
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  ASSERT_EQ(file.write(content), content.size());
}

QByteArray readFile(const QString& path) {
  QFile file(path);
  EXPECT_TRUE(file.open(QIODevice::ReadOnly));
  return file.readAll();
}

// Every test gets a store of its own in a fresh XDG_CONFIG_HOME. What a new process would read
// is read from a fresh path, past any view of the file this process holds.
class Settings : public testing::Test {
 protected:
  void SetUp() override { qputenv("XDG_CONFIG_HOME", home_.path().toUtf8()); }

  QString storePath() const { return home_.filePath("Palavrix/Palavrix.conf"); }
  QString freshPath() { return copies_.emplace_back(std::make_unique<QTemporaryDir>())->path(); }
  std::unique_ptr<AppSettings> settingsFrom(const QByteArray& content) {
    const QString home = freshPath();
    writeFile(home + "/Palavrix/Palavrix.conf", content);
    qputenv("XDG_CONFIG_HOME", home.toUtf8());
    auto settings = std::make_unique<AppSettings>();
    qputenv("XDG_CONFIG_HOME", home_.path().toUtf8());
    return settings;
  }
  std::unique_ptr<QSettings> storeInNewProcess() {
    const QString copy = freshPath() + "/copy";
    EXPECT_TRUE(QFile::copy(storePath(), copy));
    return std::make_unique<QSettings>(copy, QSettings::IniFormat);
  }

  QTemporaryDir home_;
  std::vector<std::unique_ptr<QTemporaryDir>> copies_;
};

TEST_F(Settings, EveryKeyRoundTripsFromTheDefaults) {
  AppSettings settings;
  EXPECT_EQ(settings.loadError(), "");
  EXPECT_EQ(settings.rigMode(), "Default");
  EXPECT_EQ(settings.macros(), padded());

  settings.setCallsign(" \tDL1ABC  ");
  settings.setAudioInputDeviceUID("alsa_input.usb");
  settings.setAudioOutputDeviceUID("alsa_output.usb");
  settings.setAudioInputGainDb(30.0);
  settings.setAudioOutputGainDb(-12.0);
  settings.setRigModel(3073);
  settings.setRigPort("  /dev/ttyUSB0\t");
  RigSerialConfig serial;
  serial.values[RigSerialSetting::baudRate] = "9600";
  serial.values[RigSerialSetting::rtsState] = "OFF";
  settings.setRigSerial(serial);
  settings.setRigMode("USB");
  settings.setAppendCallsign(true);
  settings.setPlayNewMessageSound(true);
  settings.setMacros({{"CQ", "CQ CQ"}});
  settings.setMacro(7, {QString::fromUtf8("Grüße"), QString::fromUtf8("VY 73 😀")});
  settings.setMacro(8, {"ninth", "ignored"});
  EXPECT_FALSE(settings.rigTxSettings()) << "nothing saved yet";
  ASSERT_TRUE(settings.save());
  EXPECT_EQ(settings.callsign(), " \tDL1ABC  ") << "saving changes nothing in memory";
  EXPECT_FALSE(storeInNewProcess()->contains("macros")) << "save leaves the macros alone";
  ASSERT_TRUE(settings.saveMacros());

  // The keys exactly as other versions of the program expect them, trimmed where they must be.
  const auto store = storeInNewProcess();
  const QString stored =
      "callsign=DL1ABC Transceiver.audioInputDeviceUID=alsa_input.usb "
      "Transceiver.audioOutputDeviceUID=alsa_output.usb Transceiver.audioInputGainDb=20 "
      "Transceiver.audioOutputGainDb=-12 Transceiver.rigModel=3073 "
      "Transceiver.rigPort=/dev/ttyUSB0 Transceiver.rigBaudRate=9600 "
      "Transceiver.rigDataBits=Default Transceiver.rigStopBits=Default "
      "Transceiver.rigParity=Default Transceiver.rigHandshake=Default "
      "Transceiver.rigDTRState=Default Transceiver.rigRTSState=OFF Transceiver.rigMode=USB "
      "capitalizeMessages=false appendCallsign=true playNewMessageSound=true";
  for (const QString& entry : stored.split(' '))
    EXPECT_EQ(store->value(entry.section('=', 0, 0)).toString(), entry.section('=', 1))
        << entry.toStdString();
  const QJsonArray macros = QJsonDocument::fromJson(store->value("macros").toByteArray()).array();
  EXPECT_EQ(macros.size(), 8);
  EXPECT_EQ(macros[0].toObject(), (QJsonObject{{"title", "CQ"}, {"message", "CQ CQ"}}));

  const auto reread = settingsFrom(readFile(storePath()));
  EXPECT_TRUE(reread->appendCallsign());
  EXPECT_TRUE(reread->playNewMessageSound());
  EXPECT_EQ(reread->macros(), settings.macros());
  EXPECT_EQ(reread->rigTxSettings(),
            (RigTxSettings{3073, "/dev/ttyUSB0", reread->rigSerial(), "USB"}));

  // The next transmission takes what was saved, not what was edited since. Saving no device
  // or no rig removes their keys.
  settings.setRigModel(std::nullopt);
  EXPECT_EQ(settings.rigTxSettings()->model, 3073);
  settings.setAudioInputDeviceUID(std::nullopt);
  ASSERT_TRUE(settings.save());
  const auto cleared = storeInNewProcess();
  EXPECT_FALSE(cleared->contains("Transceiver.audioInputDeviceUID"));
  EXPECT_FALSE(cleared->contains("Transceiver.rigModel"));
  EXPECT_FALSE(settings.rigTxSettings());
}

TEST_F(Settings, DamagedOrHandEditedValuesReadBackAsSafeOnes) {
  const auto settings = settingsFrom(
      "[General]\n"
      "callsign=J\xfcrgen\\x0000\n"
      "Transceiver.audioInputDeviceUID=\\xd800in\n"
      "Transceiver.rigModel=1\n"
      "Transceiver.rigPort=/dev/ttyUSB0, /dev/ttyUSB1\n"
      "Transceiver.rigBaudRate=4800\nTransceiver.rigDataBits=\nTransceiver.rigStopBits=2\n"
      "Transceiver.rigParity=\"Even\\nptt_type=RIG\"\nTransceiver.rigMode=\n"
      "capitalizeMessages=banana\n"
      "macros=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x3garbage)\n"
      "this line is not a setting\n"
      "[[broken section\n");
  for (const QString& text : {settings->callsign(), *settings->audioInputDeviceUID()}) {
    EXPECT_TRUE(text.isValidUtf16()) << text.toStdString();
    EXPECT_FALSE(text.contains(QChar(0)));
  }
  EXPECT_EQ(settings->rigPort(), "/dev/ttyUSB0, /dev/ttyUSB1");
  EXPECT_FALSE(settings->capitalizeMessages());
  EXPECT_EQ(settings->macros(), padded());
  // Empty data bits and a parity with a second line for Hamlib are the default.
  EXPECT_EQ(settings->rigSerial().hamlibConfig(), "serial_speed=4800\nstop_bits=2");
  EXPECT_EQ(settings->rigSerial().values.at(RigSerialSetting::parity), "Default");
  EXPECT_EQ(settings->rigTxSettings()->mode, "Default") << "an empty mode is no mode";
  ASSERT_TRUE(settings->save()) << "saving over the damaged file works";

  const std::tuple<const char*, double, double> gains[] = {
      {" 2.5 ", 2.5, 0.0}, {"inf", 0.0, 0.0}, {"nan", 0.0, 0.0}, {"-30", -20.0, -30.0}};
  for (const auto& [text, input, output] : gains) {
    const auto read = settingsFrom(QByteArray("[General]\nTransceiver.audioInputGainDb=\"") + text +
                                   "\"\nTransceiver.audioOutputGainDb=\"" + text + "\"\n");
    EXPECT_EQ(read->audioInputGainDb(), input) << text;
    EXPECT_EQ(read->audioOutputGainDb(), output) << text;
  }
  const std::pair<const char*, std::optional<qint64>> models[] = {
      {" 2 ", 2}, {"-1", std::nullopt}, {"4294967297", std::nullopt}, {"IC-7300", std::nullopt}};
  for (const auto& [text, model] : models) {
    const auto read =
        settingsFrom(QByteArray("[General]\nTransceiver.rigPort=\" \"\nTransceiver.rigModel=\"") +
                     text + "\"\n");
    EXPECT_EQ(read->rigModel(), model) << text;
    EXPECT_FALSE(read->rigTxSettings()) << "a port of only blanks is no rig";
  }
}

TEST_F(Settings, StoredMacrosAreAlwaysEightSlotsAndOneBadEntrySpoilsAll) {
  const QByteArray ab = R"({"title":"A","message":"B"})";
  const std::tuple<QByteArray, QList<Macro>> cases[] = {
      {"[" + ab + "," + ab + "]", padded({{"A", "B"}, {"A", "B"}})},
      {"[" + (ab + ",").repeated(9) + ab + "]", QList<Macro>(8, {"A", "B"})},
      {"[" + ab + R"(,{"title":"A"}])", padded()},
      {"[" + ab + R"(,{"message":"B"}])", padded()},
      {R"([{"title":5,"message":"x"}])", padded()},
      {ab, padded()},
      {R"([{"title":"A","message":"B","colour":"red"}])", padded({{"A", "B"}})}};
  for (const auto& [value, expected] : cases) {
    QSettings(storePath(), QSettings::IniFormat).setValue("macros", value);
    EXPECT_EQ(settingsFrom(readFile(storePath()))->macros(), expected) << value.toStdString();
  }
}

TEST_F(Settings, KeepsUnreadableMacrosBeforeOverwriting) {
  const QByteArray firstDamage = R"([{"title":"A"}])";
  writeFile(storePath(), R"ini([General]
macros="@ByteArray([{\"title\":\"A\"}])"
)ini");
  ASSERT_TRUE(AppSettings().saveMacros());
  EXPECT_EQ(storeInNewProcess()->value("macrosUnreadable").toByteArray(), firstDamage);

  // Damaged again behind the program's back: a second, different copy keeps the first.
  QByteArray content = readFile(storePath());
  const qsizetype line = content.indexOf("\nmacros=") + 1;
  content.replace(line, content.indexOf('\n', line) - line, "macros=\"[{\\\"title\\\": \\\"bro\"");
  writeFile(storePath(), content);
  AppSettings settings;
  settings.setMacro(0, {"CQ", "CQ CQ DE DL1ABC K"});
  ASSERT_TRUE(settings.saveMacros());
  ASSERT_TRUE(settings.saveMacros()) << "a second save finds nothing more to keep";
  const auto store = storeInNewProcess();
  EXPECT_EQ(store->value("macrosUnreadable").toByteArray(), firstDamage);
  EXPECT_EQ(store->value("macrosUnreadable2").toString(), "[{\"title\": \"bro");
  EXPECT_FALSE(store->contains("macrosUnreadable3"));
  EXPECT_EQ(AppSettings::loadMacros(*store)[0], (Macro{"CQ", "CQ CQ DE DL1ABC K"}));
}

// A list nested `depth` deep, as Qt's INI writer spells a variant.
QByteArray nestedListVariant(int depth) {
  return "@Variant(" + QByteArray("\\0\\0\\0\\t\\0\\0\\0\\x1").repeated(depth) +
         "\\0\\0\\0\\t\\0\\0\\0\\0)";
}

TEST_F(Settings, DeeplyNestedVariantsAreSetAsideAndTheRestIsKept) {
  // Qt's reader would overflow the stack on any of these, whatever their key or spelling.
  const QByteArray original = "[General]\ncallsign=DL1ABC\nmacros=" + nestedListVariant(40000) +
                              "\nhamlibLogLevel=2\n[Other]\nhidden=\"\\x40Variant(" +
                              nestedListVariant(40000).mid(9) + "\"\nlisted=a, " +
                              nestedListVariant(20000) + "\n";
  writeFile(storePath(), original);
  EXPECT_EQ(HamlibLog().level(), HamlibLogLevel::error);
  AppSettings settings;
  EXPECT_EQ(settings.callsign(), "DL1ABC");
  EXPECT_EQ(settings.macros(), padded());
  const QString backup = storePath() + ".damaged";
  for (const QString& part : {QString("set aside (macros, hidden, listed)"), backup})
    EXPECT_TRUE(settings.loadError().contains(part)) << settings.loadError().toStdString();
  EXPECT_EQ(readFile(backup), original);
  ASSERT_TRUE(settings.save());
  ASSERT_TRUE(settings.saveMacros());
  EXPECT_EQ(storeInNewProcess()->value(HamlibLog::kLevelKey).toString(), "2") << "kept by saving";
}

TEST_F(Settings, AStoreThatCannotBeReadOrWrittenIsReportedAndNeverSavedOver) {
  // Nothing but a regular file of a sane size is read: a FIFO would block for ever, and a link
  // to a device that never ends would fill the memory. Each is kept as it is.
  const QString huge = home_.filePath("Palavrix/huge");
  writeFile(huge, "[General]\ncallsign=DL1ABC\n");
  ASSERT_TRUE(QFile(huge).resize(kMaxSettingsStoreBytes + 1));
  // A megabyte of binary data, the same in every run.
  QByteArray garbage(1 << 20, '\0');
  std::mt19937 bytes(27);
  for (char& byte : garbage) byte = static_cast<char>(bytes());
  const std::pair<std::function<bool()>, QString> stores[] = {
      {[&] { return mkfifo(QFile::encodeName(storePath()).constData(), 0600) == 0; },
       "is not a regular file"},
      {[&] { return QFile::link("/dev/zero", storePath()); }, "is not a regular file"},
      {[&] { return QFile::link(storePath(), storePath()); }, "is not a regular file"},
      {[&] { return QFile::link(huge, storePath()); }, "is larger than 4 MB"},
      {[&] {
         writeFile(storePath(), garbage);
         return true;
       },
       "is not a text file"}};
  for (const auto& [make, reason] : stores) {
    SCOPED_TRACE(reason.toStdString());
    QFile::remove(storePath());
    ASSERT_TRUE(make());
    const QString target = QFileInfo(storePath()).symLinkTarget();
    const bool regular = QFileInfo(storePath()).isFile() && !QFileInfo(storePath()).isSymLink();
    AppSettings settings;
    EXPECT_TRUE(settings.loadError().contains(QString("\"%1\" %2.").arg(storePath(), reason)))
        << settings.loadError().toStdString();
    QString error;
    EXPECT_FALSE(settings.save(&error));
    EXPECT_EQ(error, settings.loadError());
    EXPECT_FALSE(settings.saveMacros());
    EXPECT_EQ(QFileInfo(storePath()).symLinkTarget(), target);
    if (regular) {
      EXPECT_EQ(readFile(storePath()), garbage);
    }
  }
  // Readable again later: this object still holds only defaults and saves nothing over it.
  AppSettings settings;
  QFile::remove(storePath());
  writeFile(storePath(), "[General]\ncallsign=DL1ABC\n");
  EXPECT_FALSE(settings.save());
  EXPECT_EQ(settingsFrom(readFile(storePath()))->callsign(), "DL1ABC");
  // Every byte and control character our own writer stores is escaped: such a store is text.
  QFile::remove(storePath());
  QString controls;
  for (char16_t c = 0; c < 0x20; ++c) controls += QChar(c);
  QByteArray allBytes;
  for (int byte = 0; byte < 256; ++byte) allBytes += static_cast<char>(byte);
  {
    QSettings store(storePath(), QSettings::IniFormat);
    store.setValue("callsign", controls);
    store.setValue("binary", allBytes);
    store.setValue(controls, "key");
  }
  EXPECT_EQ(AppSettings().loadError(), "");

  // A file where the folder should be: nothing can be created under it, not even by root.
  ASSERT_TRUE(QDir(home_.filePath("Palavrix")).removeRecursively());
  writeFile(home_.filePath("Palavrix"), "");
  AppSettings unwritable;
  QString error;
  EXPECT_FALSE(unwritable.save(&error));
  EXPECT_TRUE(error.contains(storePath())) << error.toStdString();
  error.clear();
  EXPECT_FALSE(unwritable.saveMacros(&error));
  EXPECT_FALSE(error.isEmpty());
}

TEST_F(Settings, NothingIsSavedThatTheNextStartWouldRefuseToRead) {
  AppSettings settings;
  settings.setCallsign("DL1ABC");
  ASSERT_TRUE(settings.save());
  const QString cyrillic = QString::fromUtf8("ПРИВЕТ ").repeated(100000);
  settings.setMacro(0, {"Long", cyrillic});
  EXPECT_EQ(settings.macros()[0].message, cyrillic.first(80)) << "no more than a message carries";
  ASSERT_TRUE(settings.saveMacros());
  const QByteArray before = readFile(storePath());

  const QString tooLarge =
      QString(
          "Couldn't save the settings: \"%1\" would be larger than 4 MB, and would not be "
          "read at the next start. The file is left as it was.")
          .arg(storePath());
  // Each alone fits the limit, not with the rest of the store. (Plain letters: Qt's escaping
  // of others is slow under the sanitizers.)
  const QString almostFour(kMaxSettingsStoreBytes - 100, u'A');
  settings.setMacro(1, {almostFour, "CQ"});
  QString error;
  EXPECT_FALSE(settings.saveMacros(&error));
  EXPECT_EQ(error, tooLarge);
  settings.setCallsign(almostFour);
  error.clear();
  EXPECT_FALSE(settings.save(&error));
  EXPECT_EQ(error, tooLarge);
  EXPECT_EQ(readFile(storePath()), before);

  // Nor does the Hamlib log's level, which shares the store, take it past the limit.
  const QByteArray full =
      "[General]\ncallsign=" + QByteArray(kMaxSettingsStoreBytes - 25, 'A') + "\n";
  writeFile(storePath(), full);
  HamlibLog().setLevel(HamlibLogLevel::verbose);
  EXPECT_EQ(readFile(storePath()), full);
  EXPECT_EQ(AppSettings().loadError(), "");
  writeFile(storePath(), before);
  HamlibLog().setLevel(HamlibLogLevel::verbose);
  EXPECT_EQ(HamlibLog().level(), HamlibLogLevel::verbose) << "saved where it fits";

  EXPECT_EQ(settingsFrom(before)->macros()[0], (Macro{"Long", cyrillic.first(80)}));
}

TEST_F(Settings, WithoutAnAbsoluteConfigHomeTheStoreAndHamlibLevelAreInDotConfig) {
  const QString otherHome = freshPath();
  qputenv("HOME", otherHome.toUtf8());
  writeFile(otherHome + "/.config/Palavrix/Palavrix.conf",
            "[General]\ncallsign=DL3QRP\nhamlibLogLevel=4\n");
  for (const char* configHome : {"", "relative/config"}) {
    qputenv("XDG_CONFIG_HOME", configHome);
    EXPECT_EQ(AppSettings().callsign(), "DL3QRP") << configHome;
    EXPECT_EQ(HamlibLog().level(), HamlibLogLevel::verbose) << configHome;
  }
}

}  // namespace
