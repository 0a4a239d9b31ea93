// Plays the freedesktop "message-new-instant" sound when a received message completes, on an
// output other than the transmit device so the alert never goes on the air. Two steps: pick
// reads the devices and decodes the file, so it blocks and runs where waiting harms no one (any
// thread); play then starts the sound on the main thread without waiting for the server.
#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "audio/AudioDevices.h"

class NewMessageSound final : public QObject {
  Q_OBJECT

 public:
  static constexpr const char* kDefaultSoundFile =
      "/usr/share/sounds/freedesktop/stereo/message-new-instant.oga";

  struct Sound;
  // What play needs: the device and the decoded sound, or the status that says why nothing
  // will play.
  struct Pick {
    std::optional<AudioDeviceInfo> device;
    std::shared_ptr<const Sound> sound;
    QString status;
  };

  explicit NewMessageSound(QString soundFile = QString::fromLatin1(kDefaultSoundFile),
                           QObject* parent = nullptr);
  ~NewMessageSound() override;

  const QString& soundFile() const { return soundFile_; }
  // The default output, or the built-in output when the default is the device to avoid, with
  // the sound file decoded; nothing when the server could not say which outputs there are.
  // Any thread.
  static Pick pick(const QString& soundFile, const AudioDeviceSnapshot& devices,
                   const std::optional<QString>& avoidingUid);
  // Starts the sound on the picked device, replacing one still playing, and tells done a
  // one-line status for the operator (also logged) once it plays or cannot. Main thread; never
  // waits for the server.
  void play(const Pick& pick, std::function<void(const QString&)> done);

 private:
  class Player;
  struct Starting {
    std::unique_ptr<Player> player;
    QString deviceUid;
    QString deviceName;
    std::function<void(const QString&)> done;
  };
  void connected(uint64_t serial, int pulseError);
  void started(uint64_t serial, int pulseError);
  void finish(uint64_t serial, const QString& status);
  void finished(uint64_t serial);

  const QString soundFile_;
  // The sound playing now; a new one replaces it once it plays.
  std::unique_ptr<Player> player_;
  // Sounds waiting for the server, by serial.
  std::map<uint64_t, Starting> starting_;
  uint64_t playerSerial_ = 0;
};
