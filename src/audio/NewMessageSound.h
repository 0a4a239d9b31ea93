// Plays the freedesktop "message-new-instant" sound when a received message completes, on an
// output other than the transmit device so the alert never goes on the air. Main thread; play
// blocks for about two device queries and the file's decoding, then the sound plays on its own.
#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>

class NewMessageSound final : public QObject {
  Q_OBJECT

 public:
  static constexpr const char* kDefaultSoundFile =
      "/usr/share/sounds/freedesktop/stereo/message-new-instant.oga";

  explicit NewMessageSound(QString soundFile = QString::fromLatin1(kDefaultSoundFile),
                           QObject* parent = nullptr);
  ~NewMessageSound() override;

  // Plays the sound on the default output, or on the built-in output when the default is the
  // device to avoid, and returns a one-line status for the operator (also logged).
  QString play(const std::optional<QString>& avoidingUid);

 private:
  class Player;
  void finished(uint64_t serial);

  QString soundFile_;
  // The sound playing now; a new one replaces it.
  std::unique_ptr<Player> player_;
  uint64_t playerSerial_ = 0;
};
