#include "audio/NewMessageSound.h"

#include <sndfile.h>

#include <QFile>
#include <QThread>
#include <algorithm>
#include <cstring>
#include <vector>

#include "audio/AudioDevices.h"
#include "audio/AudioLog.h"
#include "audio/pulse/PulseConnection.h"
#include "audio/pulse/PulsePlaybackStream.h"

namespace {

// A notification sound is a second or two; anything far longer is not one.
constexpr sf_count_t kMaxSoundSeconds = 30;

struct Sound {
  std::vector<float> samples;  // interleaved
  int rate = 0;
  int channels = 0;
};

// The sound decoded, or the reason it cannot be.
std::optional<Sound> load(const QString& path, QString* error) {
  SF_INFO info;
  std::memset(&info, 0, sizeof info);
  SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
  if (!file) {
    *error = QString::fromUtf8(sf_strerror(nullptr));
    return std::nullopt;
  }
  Sound sound;
  sound.rate = info.samplerate;
  sound.channels = info.channels;
  if (info.samplerate <= 0 || info.channels <= 0 || info.channels > int(PA_CHANNELS_MAX) ||
      info.frames <= 0 || info.frames > kMaxSoundSeconds * info.samplerate) {
    sf_close(file);
    *error = QStringLiteral("The file holds no usable sound.");
    return std::nullopt;
  }
  sound.samples.resize(static_cast<size_t>(info.frames) * info.channels);
  const sf_count_t read = sf_readf_float(file, sound.samples.data(), info.frames);
  sf_close(file);
  if (read <= 0) {
    *error = QStringLiteral("The file holds no usable sound.");
    return std::nullopt;
  }
  sound.samples.resize(static_cast<size_t>(read) * info.channels);
  return sound;
}

}  // namespace

// One sound on one sink: its own connection and stream, gone once the sound has played.
class NewMessageSound::Player {
 public:
  Player(Sound sound, NewMessageSound& owner, uint64_t serial)
      : sound_(std::move(sound)), owner_(owner), serial_(serial) {}

  uint64_t serial() const { return serial_; }

  // Connects to the sink and starts playing; false when it cannot.
  bool start(const QString& sinkName) {
    connection_ = std::make_unique<pulse::Connection>("Palavrix new-message sound");
    if (connection_->connect() != 0) return false;
    pulse::PlaybackStream::Callbacks callbacks;
    callbacks.fill = [this](void* destination, size_t maxFrames) {
      const size_t channels = size_t(sound_.channels);
      const size_t frames = std::min(maxFrames, sound_.samples.size() / channels - position_);
      std::memcpy(destination, sound_.samples.data() + position_ * channels,
                  frames * channels * sizeof(float));
      position_ += frames;
      return frames;
    };
    callbacks.afterWrite = [this] {
      if (drainAsked_ || position_ * size_t(sound_.channels) < sound_.samples.size()) return;
      drainAsked_ = true;
      stream_->drain([this] { postFinished(); });
    };
    callbacks.onFailed = [this](int) { postFinished(); };
    stream_ = std::make_unique<pulse::PlaybackStream>(*connection_, std::move(callbacks));
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, uint32_t(sound_.rate), uint8_t(sound_.channels)};
    const QByteArray sink = sinkName.toUtf8();
    // Never let the server move the alert onto another sink: that may be the transmitter.
    if (stream_->connect(sink.constData(), spec, true) != 0) return false;
    pulse::Connection::Lock lock(*connection_);
    stream_->cork(false);
    stream_->write();
    return true;
  }

  ~Player() {
    stream_.reset();
    connection_.reset();
  }

 private:
  void postFinished() {
    QMetaObject::invokeMethod(
        &owner_, [owner = &owner_, serial = serial_] { owner->finished(serial); },
        Qt::QueuedConnection);
  }

  Sound sound_;
  NewMessageSound& owner_;
  const uint64_t serial_;
  size_t position_ = 0;  // frames written; mainloop thread
  bool drainAsked_ = false;
  std::unique_ptr<pulse::Connection> connection_;
  std::unique_ptr<pulse::PlaybackStream> stream_;
};

NewMessageSound::NewMessageSound(QString soundFile, QObject* parent)
    : QObject(parent), soundFile_(std::move(soundFile)) {}

NewMessageSound::~NewMessageSound() = default;

void NewMessageSound::finished(uint64_t serial) {
  if (player_ && player_->serial() == serial) player_.reset();
}

QString NewMessageSound::play(const std::optional<QString>& avoidingUid) {
  Q_ASSERT(QThread::currentThread() == thread());
  const QString notPlayed =
      QStringLiteral("Not played: no output device other than the transmit device.");
  QString result;
  std::optional<AudioDeviceInfo> device = AudioDevices::defaultDevice(AudioDirection::output);
  if (device && avoidingUid && device->uid == *avoidingUid) {
    device = AudioDevices::builtInOutput();
    if (device && device->uid == *avoidingUid) device.reset();
  }
  if (!device) {
    result = notPlayed;
  } else {
    QString error;
    std::optional<Sound> sound = load(soundFile_, &error);
    if (!sound) {
      result = QStringLiteral("Couldn't load the sound: ") + error;
    } else {
      auto player = std::make_unique<Player>(std::move(*sound), *this, ++playerSerial_);
      if (player->start(device->uid)) {
        player_ = std::move(player);
        result = QStringLiteral("Played on ") + device->name + '.';
      } else {
        result = QStringLiteral("Couldn't play on ") + device->name + '.';
      }
    }
  }
  qCInfo(lcAudio).noquote() << "New message sound:" << result;
  return result;
}
