// The operator's persisted settings and the eight macros, as observable state on the main thread.
// Read from the settings store once, at creation, and written back only by save() and
// saveMacros(); editing a property alone persists nothing. The rig used for rig calls is read
// from the store (rigTxSettings) after each save, so only saved rig settings ever reach the rig.
//
// The store is the INI file of settingsStorePath(), which the Hamlib log's level shares. Values
// in it may have been edited by hand or damaged: every read is checked, and what cannot be
// used safely falls back to the default.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <optional>

#include "modem/kvol_constants.h"
#include "rig/RigTypes.h"

class QSettings;

// One macro slot: a button title and the text it puts into the message field.
struct Macro {
  QString title;
  QString message;

  bool operator==(const Macro&) const = default;
};

class AppSettings final : public QObject {
  Q_OBJECT
  Q_PROPERTY(QString callsign READ callsign WRITE setCallsign NOTIFY callsignChanged)
  Q_PROPERTY(std::optional<QString> audioInputDeviceUID READ audioInputDeviceUID WRITE
                 setAudioInputDeviceUID NOTIFY audioInputDeviceUIDChanged)
  Q_PROPERTY(std::optional<QString> audioOutputDeviceUID READ audioOutputDeviceUID WRITE
                 setAudioOutputDeviceUID NOTIFY audioOutputDeviceUIDChanged)
  Q_PROPERTY(double audioInputGainDb READ audioInputGainDb WRITE setAudioInputGainDb NOTIFY
                 audioInputGainDbChanged)
  Q_PROPERTY(double audioOutputGainDb READ audioOutputGainDb WRITE setAudioOutputGainDb NOTIFY
                 audioOutputGainDbChanged)
  Q_PROPERTY(std::optional<qint64> rigModel READ rigModel WRITE setRigModel NOTIFY rigModelChanged)
  Q_PROPERTY(QString rigPort READ rigPort WRITE setRigPort NOTIFY rigPortChanged)
  Q_PROPERTY(RigSerialConfig rigSerial READ rigSerial WRITE setRigSerial NOTIFY rigSerialChanged)
  Q_PROPERTY(QString rigMode READ rigMode WRITE setRigMode NOTIFY rigModeChanged)
  Q_PROPERTY(bool capitalizeMessages READ capitalizeMessages WRITE setCapitalizeMessages NOTIFY
                 capitalizeMessagesChanged)
  Q_PROPERTY(
      bool appendCallsign READ appendCallsign WRITE setAppendCallsign NOTIFY appendCallsignChanged)
  Q_PROPERTY(bool playNewMessageSound READ playNewMessageSound WRITE setPlayNewMessageSound NOTIFY
                 playNewMessageSoundChanged)
  Q_PROPERTY(QList<Macro> macros READ macros WRITE setMacros NOTIFY macrosChanged)
  Q_PROPERTY(QString loadError READ loadError CONSTANT)

 public:
  static constexpr int kMacroCount = 8;
  // A macro's message goes into the composer, which holds no more than one message carries.
  static constexpr int kMaxMacroMessageCharacters = kvol::kMessageChars;
  // The gains the settings window offers; stored gains are held to them.
  static constexpr double kInputGainMinDb = -20.0;
  static constexpr double kInputGainMaxDb = 20.0;
  static constexpr double kOutputGainMinDb = -40.0;
  static constexpr double kOutputGainMaxDb = 0.0;

  // Reads every setting from the store at storePath(). Main thread.
  explicit AppSettings(QObject* parent = nullptr);

  // The one instance of the program, made on first use (on the main thread) and kept for the
  // life of the process.
  static AppSettings& shared();

  // Where the store lives, from the environment at the moment of the call.
  static QString defaultStorePath();
  // The store this object reads and writes, fixed at creation.
  QString storePath() const { return storePath_; }
  // A sentence for the windows when the store was not read whole at creation: it could not be
  // read at all (this object then holds the defaults and never saves over the store), or values
  // unsafe to read were set aside. Empty when all went well.
  QString loadError() const { return loadError_; }
  // The same news for the main window at start, when the store could not be read at all: that
  // the program runs on the defaults and will not save over the file. Empty otherwise.
  QString startAlert() const { return startAlert_; }

  QString callsign() const { return callsign_; }
  std::optional<QString> audioInputDeviceUID() const { return audioInputDeviceUID_; }
  std::optional<QString> audioOutputDeviceUID() const { return audioOutputDeviceUID_; }
  double audioInputGainDb() const { return audioInputGainDb_; }
  double audioOutputGainDb() const { return audioOutputGainDb_; }
  std::optional<qint64> rigModel() const { return rigModel_; }
  QString rigPort() const { return rigPort_; }
  RigSerialConfig rigSerial() const { return rigSerial_; }
  QString rigMode() const { return rigMode_; }
  bool capitalizeMessages() const { return capitalizeMessages_; }
  bool appendCallsign() const { return appendCallsign_; }
  bool playNewMessageSound() const { return playNewMessageSound_; }
  // Always kMacroCount entries.
  QList<Macro> macros() const { return macros_; }

  void setCallsign(const QString& callsign);
  void setAudioInputDeviceUID(const std::optional<QString>& uid);
  void setAudioOutputDeviceUID(const std::optional<QString>& uid);
  // A gain that is not a finite number is ignored; others are held to the offered range.
  void setAudioInputGainDb(double gainDb);
  void setAudioOutputGainDb(double gainDb);
  // A number that is not a Hamlib model number means no rig.
  void setRigModel(std::optional<qint64> model);
  void setRigPort(const QString& port);
  void setRigSerial(const RigSerialConfig& serial);
  void setRigMode(const QString& mode);
  void setCapitalizeMessages(bool on);
  void setAppendCallsign(bool on);
  void setPlayNewMessageSound(bool on);
  // Padded with the default slots or cut to kMacroCount; each message keeps its first
  // kMaxMacroMessageCharacters characters.
  void setMacros(const QList<Macro>& macros);
  // Replaces one slot, its message cut as setMacros does; an index outside the eight slots is
  // ignored.
  void setMacro(int slot, Macro macro);

  // Writes every setting but the macros to the store and makes sure it reached the disk. On
  // failure gives false and, when asked, a sentence the settings window can show. A store that
  // could not be read at creation (or cannot be read now) is never written.
  bool save(QString* errorText = nullptr);
  // Writes the eight macros. A stored "macros" value that cannot be read is first copied to
  // "macrosUnreadable" (or the first free "macrosUnreadable<n>"), so that nothing the operator
  // had is lost by overwriting it.
  bool saveMacros(QString* errorText = nullptr);

  // The configured rig as saved in the store at this moment, or none when no rig model or no
  // port is saved. Reads the file: its users read it when it changes (at creation, on saved()).
  std::optional<RigTxSettings> rigTxSettings() const;

  // The readers used at creation: always eight macros (unreadable data gives the eight default
  // slots), and all seven serial values ("Default" for a missing, empty or unusable one).
  static QList<Macro> loadMacros(const QSettings& store);
  static RigSerialConfig loadRigSerialConfig(const QSettings& store);

 signals:
  void callsignChanged();
  void audioInputDeviceUIDChanged();
  void audioOutputDeviceUIDChanged();
  void audioInputGainDbChanged();
  void audioOutputGainDbChanged();
  void rigModelChanged();
  void rigPortChanged();
  void rigSerialChanged();
  void rigModeChanged();
  void capitalizeMessagesChanged();
  void appendCallsignChanged();
  void playNewMessageSoundChanged();
  void macrosChanged();
  // save() has written the settings to the store.
  void saved();

 private:
  QString storePath_;
  QString loadError_;
  QString startAlert_;
  bool storeUnreadable_ = false;
  QString callsign_;
  std::optional<QString> audioInputDeviceUID_;
  std::optional<QString> audioOutputDeviceUID_;
  double audioInputGainDb_ = 0.0;
  double audioOutputGainDb_ = 0.0;
  std::optional<qint64> rigModel_;
  QString rigPort_;
  RigSerialConfig rigSerial_;
  QString rigMode_;
  bool capitalizeMessages_ = false;
  bool appendCallsign_ = false;
  bool playNewMessageSound_ = false;
  QList<Macro> macros_;
};

Q_DECLARE_METATYPE(Macro)
