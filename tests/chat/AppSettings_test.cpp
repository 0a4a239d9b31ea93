#include "chat/AppSettings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <cmath>
#include <functional>
#include <memory>

#include "rig/HamlibLog.h"
#include "settings/SettingsStore.h"

namespace {

QList<Macro> defaultMacros() {
  QList<Macro> macros;
  for (int i = 1; i <= 8; ++i) macros.append({QStringLiteral("M%1").arg(i), QString()});
  return macros;
}

// The first `count` of a list of numbered macros, as JSON; `leaveOut` drops a key of the second.
QByteArray macroJson(int count, const char* leaveOut = nullptr) {
  QJsonArray array;
  for (int i = 0; i < count; ++i) {
    QJsonObject object{{"title", QStringLiteral("T%1").arg(i)},
                       {"message", QStringLiteral("CQ %1 DE DL1ABC").arg(i)}};
    if (leaveOut && i == 1) object.remove(leaveOut);
    array.append(object);
  }
  return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

QList<Macro> numberedMacros(int count) {
  QList<Macro> macros = defaultMacros();
  for (int i = 0; i < count; ++i)
    macros[i] = {QStringLiteral("T%1").arg(i), QStringLiteral("CQ %1 DE DL1ABC").arg(i)};
  return macros;
}

// Every test gets a settings store of its own in a fresh XDG_CONFIG_HOME.
class Settings : public testing::Test {
 protected:
  void SetUp() override { usesConfigHome(home_); }

  static void usesConfigHome(const QTemporaryDir& home) {
    ASSERT_TRUE(home.isValid());
    qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
  }

  QString storePath() const { return home_.filePath("Palavrix/Palavrix.conf"); }

  // Writes a file byte for byte, with the folders it needs.
  static void writeFile(const QString& path, const QByteArray& content) {
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path).path()));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(content), content.size());
  }
  void writeStoreFile(const QByteArray& content) { writeFile(storePath(), content); }
  QByteArray storeFile() {
    QFile file(storePath());
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    return file.readAll();
  }

  // AppSettings made by a new process from a store file that holds content.
  std::unique_ptr<AppSettings> settingsFrom(const QByteArray& content) {
    const QTemporaryDir& home = *copies_.emplace_back(std::make_unique<QTemporaryDir>());
    writeFile(home.filePath("Palavrix/Palavrix.conf"), content);
    usesConfigHome(home);
    auto settings = std::make_unique<AppSettings>();
    usesConfigHome(home_);
    return settings;
  }
  std::unique_ptr<AppSettings> settingsInNewProcess() { return settingsFrom(storeFile()); }

  // The store as a new process reads it: a copy of the file parsed afresh, every value as text.
  std::unique_ptr<QSettings> storeInNewProcess() {
    const QString copy = copies_.emplace_back(std::make_unique<QTemporaryDir>())->filePath("c");
    EXPECT_TRUE(QFile::copy(storePath(), copy));
    return std::make_unique<QSettings>(copy, QSettings::IniFormat);
  }

  QTemporaryDir home_;
  std::vector<std::unique_ptr<QTemporaryDir>> copies_;
};

TEST_F(Settings, EveryKeyRoundTripsFromTheDefaults) {
  AppSettings settings;
  EXPECT_EQ(settings.storePath(), storePath());
  EXPECT_EQ(settings.loadError(), "");
  EXPECT_FALSE(settings.audioInputDeviceUID());
  EXPECT_FALSE(settings.rigModel());
  EXPECT_EQ(settings.rigSerial().hamlibConfig(), "");
  EXPECT_EQ(settings.rigMode(), "Default");
  EXPECT_FALSE(settings.capitalizeMessages());
  EXPECT_EQ(settings.macros(), defaultMacros());

  settings.setCallsign(" \tDL1ABC  ");
  settings.setAudioInputDeviceUID("alsa_input.usb-Codec-00.analog-stereo");
  settings.setAudioOutputDeviceUID("alsa_output.usb-Codec-00.analog-stereo");
  settings.setAudioInputGainDb(30.0);  // held to +20 dB
  settings.setAudioOutputGainDb(6.0);
  EXPECT_EQ(settings.audioOutputGainDb(), 0.0) << "the output gain cannot go above 0 dB";
  settings.setAudioOutputGainDb(-12.0);
  settings.setRigModel(3073);
  settings.setRigPort("  /dev/ttyUSB0\t");
  RigSerialConfig serial;
  serial.values[RigSerialSetting::baudRate] = "9600";
  serial.values[RigSerialSetting::handshake] = "None";
  serial.values[RigSerialSetting::rtsState] = "OFF";
  settings.setRigSerial(serial);
  settings.setRigMode("USB");
  settings.setAppendCallsign(true);
  settings.setPlayNewMessageSound(true);
  settings.setMacros(defaultMacros().mid(0, 3));  // padded to the eight slots it already had
  settings.setMacro(2, {"QRZ", "QRZ? DE DL1ABC"});
  settings.setMacro(7, {QString::fromUtf8("Grüße"), QString::fromUtf8("VY 73 😀")});
  settings.setMacro(8, {"ninth", "ignored"});
  EXPECT_FALSE(settings.rigTxSettings()) << "nothing saved yet";
  QString error = "untouched";
  ASSERT_TRUE(settings.save(&error));
  EXPECT_EQ(error, "untouched");
  EXPECT_EQ(settings.callsign(), " \tDL1ABC  ") << "saving changes nothing in memory";
  EXPECT_FALSE(storeInNewProcess()->contains("macros")) << "save leaves the macros alone";
  ASSERT_TRUE(settings.saveMacros());

  // The keys exactly as other versions of the program expect them, trimmed where they must be.
  const auto store = storeInNewProcess();
  const std::pair<const char*, const char*> stored[] = {
      {"callsign", "DL1ABC"},
      {"Transceiver.audioInputDeviceUID", "alsa_input.usb-Codec-00.analog-stereo"},
      {"Transceiver.audioOutputDeviceUID", "alsa_output.usb-Codec-00.analog-stereo"},
      {"Transceiver.audioInputGainDb", "20"},
      {"Transceiver.audioOutputGainDb", "-12"},
      {"Transceiver.rigModel", "3073"},
      {"Transceiver.rigPort", "/dev/ttyUSB0"},
      {"Transceiver.rigBaudRate", "9600"},
      {"Transceiver.rigDataBits", "Default"},
      {"Transceiver.rigStopBits", "Default"},
      {"Transceiver.rigParity", "Default"},
      {"Transceiver.rigHandshake", "None"},
      {"Transceiver.rigDTRState", "Default"},
      {"Transceiver.rigRTSState", "OFF"},
      {"Transceiver.rigMode", "USB"},
      {"capitalizeMessages", "false"},
      {"appendCallsign", "true"},
      {"playNewMessageSound", "true"},
  };
  for (const auto& [key, text] : stored) EXPECT_EQ(store->value(key).toString(), text) << key;
  const QJsonDocument json = QJsonDocument::fromJson(store->value("macros").toByteArray());
  ASSERT_EQ(json.array().size(), 8);
  for (const QJsonValue& entry : json.array())
    EXPECT_EQ(entry.toObject().keys(), (QStringList{"message", "title"}));

  const auto reread = settingsInNewProcess();
  EXPECT_EQ(reread->audioInputDeviceUID(), settings.audioInputDeviceUID());
  EXPECT_EQ(reread->audioOutputDeviceUID(), settings.audioOutputDeviceUID());
  EXPECT_EQ(reread->audioOutputGainDb(), -12.0);
  EXPECT_EQ(reread->rigSerial().hamlibConfig(),
            "serial_speed=9600\nserial_handshake=None\nrts_state=OFF");
  EXPECT_FALSE(reread->capitalizeMessages());
  EXPECT_TRUE(reread->appendCallsign());
  EXPECT_TRUE(reread->playNewMessageSound());
  EXPECT_EQ(reread->macros(), settings.macros());
  EXPECT_EQ(reread->rigTxSettings(),
            (RigTxSettings{3073, "/dev/ttyUSB0", reread->rigSerial(), "USB"}));

  // An unsaved change does not reach the next transmission. Saving no device or no rig removes
  // their keys; the port stays.
  settings.setRigModel(std::nullopt);
  EXPECT_EQ(settings.rigTxSettings()->model, 3073);
  settings.setAudioInputDeviceUID(std::nullopt);
  settings.setAudioOutputDeviceUID(std::nullopt);
  ASSERT_TRUE(settings.save());
  const auto cleared = storeInNewProcess();
  for (const char* key : {"Transceiver.audioInputDeviceUID", "Transceiver.audioOutputDeviceUID",
                          "Transceiver.rigModel"})
    EXPECT_FALSE(cleared->contains(key)) << key;
  EXPECT_EQ(cleared->value("Transceiver.rigPort").toString(), "/dev/ttyUSB0");
  EXPECT_FALSE(settings.rigTxSettings());
}

TEST_F(Settings, APortOfOnlyBlanksMeansNoRig) {
  // Hand-edited, with the blanks still in the file.
  const auto edited =
      settingsFrom("[General]\nTransceiver.rigModel=1\nTransceiver.rigPort=\" \"\n");
  EXPECT_EQ(edited->rigModel(), 1);
  EXPECT_FALSE(edited->rigTxSettings());
}

TEST_F(Settings, SerialValuesReadBackAsDefaultWhenMissingEmptyOrUnusable) {
  const auto settings = settingsFrom(
      "[General]\nTransceiver.rigModel=1\nTransceiver.rigPort=/dev/ttyUSB0\n"
      "Transceiver.rigBaudRate=4800\nTransceiver.rigDataBits=\nTransceiver.rigStopBits=2\n"
      "Transceiver.rigParity=\"Even\\nptt_type=RIG\"\nTransceiver.rigDTRState=ON\n"
      "Transceiver.rigMode=\n");
  // Empty data bits, a parity with a second line for Hamlib, and a missing handshake.
  EXPECT_EQ(settings->rigSerial().hamlibConfig(), "serial_speed=4800\nstop_bits=2\ndtr_state=ON");
  EXPECT_EQ(settings->rigSerial().values.at(RigSerialSetting::parity), "Default");
  const std::optional<RigTxSettings> rig = settings->rigTxSettings();
  ASSERT_TRUE(rig);
  EXPECT_EQ(rig->serial, settings->rigSerial());
  EXPECT_EQ(rig->mode, "Default") << "an empty mode is no mode";
}

TEST_F(Settings, StoredMacrosAreAlwaysEightSlotsAndOneBadEntrySpoilsAll) {
  QList<Macro> extraKeys = defaultMacros();
  extraKeys[0] = {"A", "B"};
  const std::tuple<const char*, QByteArray, QList<Macro>> cases[] = {
      {"three", macroJson(3), numberedMacros(3)},
      {"ten", macroJson(10), numberedMacros(8)},
      {"none", "[]", defaultMacros()},
      {"one without message", macroJson(3, "message"), defaultMacros()},
      {"one without title", macroJson(3, "title"), defaultMacros()},
      {"title not text", R"([{"title":5,"message":"x"}])", defaultMacros()},
      {"not an array", R"({"title":"A","message":"B"})", defaultMacros()},
      {"not json", "CQ CQ", defaultMacros()},
      {"not utf8", "[{\"title\":\"\xff\",\"message\":\"x\"}]", defaultMacros()},
      {"extra keys ignored", R"([{"title":"A","message":"B","colour":"red"}])", extraKeys},
  };
  for (const auto& [name, value, expected] : cases) {
    QSettings(storePath(), QSettings::IniFormat).setValue("macros", value);
    EXPECT_EQ(settingsInNewProcess()->macros(), expected) << name;
  }
}

TEST_F(Settings, KeepsUnreadableMacrosBeforeOverwriting) {
  const QByteArray firstDamage = macroJson(3, "message");
  writeStoreFile("[General]\nmacros=\"@ByteArray(" + QByteArray(firstDamage).replace("\"", "\\\"") +
                 ")\"\n");
  {
    AppSettings settings;
    ASSERT_EQ(settings.macros(), defaultMacros());
    EXPECT_EQ(storeInNewProcess()->value("macros").toByteArray(), firstDamage)
        << "reading leaves the damaged value where it is";
    ASSERT_TRUE(settings.saveMacros());
  }
  EXPECT_EQ(storeInNewProcess()->value("macrosUnreadable").toByteArray(), firstDamage);

  // The file is damaged again behind the program's back; a second, different copy does not
  // push out the first.
  QByteArray content = storeFile();
  const qsizetype line = content.indexOf("\nmacros=") + 1;
  content.replace(line, content.indexOf('\n', line) - line, "macros=\"[{\\\"title\\\": \\\"bro\"");
  writeStoreFile(content);
  AppSettings settings;
  settings.setMacro(0, {"CQ", "CQ CQ DE DL1ABC K"});
  ASSERT_TRUE(settings.saveMacros());
  ASSERT_TRUE(settings.saveMacros()) << "a second save finds nothing more to keep";
  const auto store = storeInNewProcess();
  EXPECT_EQ(store->value("macrosUnreadable").toByteArray(), firstDamage);
  EXPECT_EQ(store->value("macrosUnreadable2").toString(), "[{\"title\": \"bro");
  EXPECT_FALSE(store->contains("macrosUnreadable3"));
  EXPECT_EQ(AppSettings::loadMacros(*store)[0], (Macro{"CQ", "CQ CQ DE DL1ABC K"}));
  EXPECT_FALSE(store->contains("callsign")) << "saveMacros writes only the macros";
}

TEST_F(Settings, DamagedValuesFallBackToSafeDefaults) {
  writeStoreFile(
      "[General]\n"
      "callsign=J\xfcrgen\\x0000\n"
      "Transceiver.audioInputDeviceUID=\\xd800in\n"
      "Transceiver.audioInputGainDb=nan\n"
      "Transceiver.audioOutputGainDb=loud\n"
      "Transceiver.rigModel=4294967296\n"
      "Transceiver.rigPort=/dev/ttyUSB0, /dev/ttyUSB1\n"
      "capitalizeMessages=banana\n"
      "macros=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x3garbage)\n"
      "this line is not a setting\n"
      "[[broken section\n");
  AppSettings settings;
  for (const QString& text : {settings.callsign(), *settings.audioInputDeviceUID()}) {
    EXPECT_TRUE(text.isValidUtf16()) << text.toStdString();
    EXPECT_FALSE(text.contains(QChar(0)));
    EXPECT_EQ(QString::fromUtf8(text.toUtf8()), text);
  }
  EXPECT_TRUE(settings.callsign().startsWith('J'));
  EXPECT_EQ(settings.audioInputGainDb(), 0.0);
  EXPECT_EQ(settings.audioOutputGainDb(), 0.0);
  EXPECT_FALSE(settings.rigModel());
  EXPECT_EQ(settings.rigPort(), "/dev/ttyUSB0, /dev/ttyUSB1");
  EXPECT_FALSE(settings.capitalizeMessages());
  EXPECT_EQ(settings.macros(), defaultMacros());

  // Saving over the damaged file works and says so.
  settings.setCallsign("DL1ABC");
  QString error;
  EXPECT_TRUE(settings.save(&error)) << error.toStdString();
  EXPECT_EQ(settingsInNewProcess()->callsign(), "DL1ABC");
}

TEST_F(Settings, GainsAndRigModelsAreReadOnlyWithinTheirRanges) {
  const std::tuple<const char*, double, double> gains[] = {
      {"-6", -6.0, -6.0},   {" 2.5 ", 2.5, 0.0},      {"inf", 0.0, 0.0},  {"-inf", 0.0, 0.0},
      {"1e308", 20.0, 0.0}, {"-1e308", -20.0, -40.0}, {"25", 20.0, 0.0},  {"-30", -20.0, -30.0},
      {"1e999", 0.0, 0.0},  {"", 0.0, 0.0},           {"0x10", 0.0, 0.0}, {"3 dB", 0.0, 0.0},
  };
  for (const auto& [text, input, output] : gains) {
    const auto settings =
        settingsFrom(QByteArray("[General]\nTransceiver.audioInputGainDb=\"") + text +
                     "\"\nTransceiver.audioOutputGainDb=\"" + text + "\"\n");
    EXPECT_EQ(settings->audioInputGainDb(), input) << '"' << text << '"';
    EXPECT_EQ(settings->audioOutputGainDb(), output) << '"' << text << '"';
  }
  const std::pair<const char*, std::optional<qint64>> models[] = {
      {"3073", 3073},
      {" 2 ", 2},
      {"0", 0},
      {"2147483647", 2147483647},
      {"2147483648", std::nullopt},
      {"-1", std::nullopt},
      {"4294967297", std::nullopt},
      {"1.5", std::nullopt},
      {"IC-7300", std::nullopt},
      {"", std::nullopt},
      {"99999999999999999999", std::nullopt},
  };
  for (const auto& [text, model] : models) {
    const auto settings = settingsFrom(
        QByteArray("[General]\nTransceiver.rigPort=/dev/ttyUSB0\nTransceiver.rigModel=\"") + text +
        "\"\n");
    EXPECT_EQ(settings->rigModel(), model) << '"' << text << '"';
    EXPECT_EQ(settings->rigTxSettings().has_value(), model.has_value()) << '"' << text << '"';
  }
}

// A list nested `depth` deep, as Qt's INI writer spells a variant.
QByteArray nestedListVariant(int depth) {
  QByteArray text = "@Variant(";
  for (int level = 0; level < depth; ++level) text += "\\0\\0\\0\\t\\0\\0\\0\\x1";
  return text + "\\0\\0\\0\\t\\0\\0\\0\\0)";
}

TEST_F(Settings, DeeplyNestedVariantsAreSetAsideAndTheRestIsKept) {
  // Qt's reader would overflow the stack on any of these, whatever their key or spelling.
  const QByteArray original = "[General]\ncallsign=DL1ABC\nmacros=" + nestedListVariant(40000) +
                              "\nTransceiver.rigModel=1\nhamlibLogLevel=2\n"
                              "[Other]\nhidden=\"\\x40Variant(" +
                              nestedListVariant(40000).mid(9) + "\"\nlisted=a, " +
                              nestedListVariant(20000) + "\n";
  writeStoreFile(original);
  EXPECT_EQ(HamlibLog().level(), HamlibLogLevel::error);
  AppSettings settings;
  EXPECT_EQ(settings.callsign(), "DL1ABC");
  EXPECT_EQ(settings.rigModel(), 1);
  EXPECT_EQ(settings.macros(), defaultMacros());
  const QString backup = storePath() + ".damaged";
  for (const QString& part :
       {QString("set aside"), QString("macros"), QString("hidden"), QString("listed"), backup})
    EXPECT_TRUE(settings.loadError().contains(part)) << settings.loadError().toStdString();
  QFile kept(backup);
  ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
  EXPECT_EQ(kept.readAll(), original);
  EXPECT_LT(QFileInfo(storePath()).size(), 200);
  ASSERT_TRUE(settings.save());
  ASSERT_TRUE(settings.saveMacros());
  EXPECT_EQ(settingsInNewProcess()->callsign(), "DL1ABC");
  EXPECT_EQ(storeInNewProcess()->value(HamlibLog::kLevelKey).toString(), "2") << "kept by saving";
}

TEST_F(Settings, AStoreThatCannotBeReadIsReportedAndNeverSavedOver) {
  // Nothing but a regular file of a sane size is read: a FIFO would block for ever, and a link
  // to a device that never ends would fill the memory. Each is kept as it is.
  writeFile(home_.filePath("huge"), "[General]\ncallsign=DL1ABC\n");
  ASSERT_TRUE(QFile(home_.filePath("huge")).resize(kMaxSettingsStoreBytes + 1));
  const std::pair<std::function<bool()>, QString> stores[] = {
      {[&] { return QDir().mkpath(storePath()); }, "is not a regular file"},
      {[&] { return mkfifo(QFile::encodeName(storePath()).constData(), 0600) == 0; },
       "is not a regular file"},
      {[&] { return QFile::link("/dev/zero", storePath()); }, "is not a regular file"},
      {[&] { return QFile::link(home_.filePath("huge"), storePath()); }, "is larger than 4 MB"}};
  for (const auto& [make, reason] : stores) {
    SCOPED_TRACE(reason.toStdString());
    QDir(storePath()).removeRecursively();
    QFile::remove(storePath());
    ASSERT_TRUE(make());
    const QFileInfo before(storePath());
    AppSettings settings;
    EXPECT_TRUE(
        settings.loadError().contains(QStringLiteral("\"%1\" %2.").arg(storePath(), reason)))
        << settings.loadError().toStdString();
    EXPECT_EQ(settings.macros(), defaultMacros());
    QString error;
    EXPECT_FALSE(settings.save(&error));
    EXPECT_EQ(error, settings.loadError());
    EXPECT_FALSE(settings.saveMacros());
    EXPECT_EQ(QFileInfo(storePath()).symLinkTarget(), before.symLinkTarget());
    EXPECT_EQ(QFileInfo(storePath()).isFile(), before.isFile());
  }

  // Readable again later: this object still holds only defaults and saves nothing over it.
  AppSettings settings;
  QFile::remove(storePath());
  writeStoreFile("[General]\ncallsign=DL1ABC\n");
  EXPECT_FALSE(settings.save());
  EXPECT_EQ(settingsInNewProcess()->callsign(), "DL1ABC");
}

TEST_F(Settings, AStoreThatCannotBeWrittenIsReported) {
  // A file where the folder should be: nothing can be created under it, not even by root.
  writeFile(home_.filePath("Palavrix"), "");
  AppSettings settings;
  settings.setCallsign("DL1ABC");
  QString error;
  EXPECT_FALSE(settings.save(&error));
  EXPECT_TRUE(error.contains(storePath())) << error.toStdString();
  error.clear();
  EXPECT_FALSE(settings.saveMacros(&error));
  EXPECT_FALSE(error.isEmpty());
  EXPECT_FALSE(settings.save()) << "no error text asked for";
}

TEST_F(Settings, AFileOfJunkNeverBreaksLoading) {
  // The warnings would only print the junk back.
  const QtMessageHandler previous =
      qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
  QRandomGenerator random(7);
  const QByteArray keys[] = {"callsign", "Transceiver.rigModel",    "Transceiver.audioInputGainDb",
                             "macros",   "Transceiver.rigBaudRate", "Transceiver.rigPort"};
  for (int round = 0; round < 40; ++round) {
    QByteArray content = "[General]\n";
    for (const QByteArray& key : keys) {
      QByteArray junk(random.bounded(0, 40), '\0');
      for (char& byte : junk) byte = static_cast<char>(random.bounded(1, 256));
      content += key + '=' + junk.replace('\n', ' ') + '\n';
    }
    const auto settings = settingsFrom(content);
    ASSERT_EQ(settings->macros().size(), 8);
    ASSERT_TRUE(std::isfinite(settings->audioInputGainDb()));
    ASSERT_TRUE(settings->callsign().isValidUtf16());
    ASSERT_TRUE(settings->saveMacros());
    ASSERT_TRUE(settings->save());
  }
  qInstallMessageHandler(previous);
}

TEST_F(Settings, WithoutAnAbsoluteConfigHomeTheStoreAndHamlibLevelAreInDotConfig) {
  // Without XDG_CONFIG_HOME (or with a relative one) both fall back to ~/.config.
  QTemporaryDir otherHome;
  const QByteArray home = qgetenv("HOME");
  qputenv("HOME", otherHome.path().toUtf8());
  const QString fallbackPath = otherHome.filePath(".config/Palavrix/Palavrix.conf");
  writeFile(fallbackPath, "[General]\ncallsign=DL3QRP\nhamlibLogLevel=4\n");
  for (const char* configHome : {"", "relative/config"}) {
    qputenv("XDG_CONFIG_HOME", configHome);
    AppSettings fallback;
    EXPECT_EQ(fallback.storePath(), fallbackPath) << configHome;
    EXPECT_EQ(fallback.callsign(), "DL3QRP") << configHome;
    EXPECT_EQ(HamlibLog().level(), HamlibLogLevel::verbose) << configHome;
  }
  qputenv("HOME", home);
  usesConfigHome(home_);
}

}  // namespace
