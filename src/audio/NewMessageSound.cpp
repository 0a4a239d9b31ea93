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

struct NewMessageSound::Sound {
  std::vector<float> samples;  // interleaved
  int rate = 0;
  int channels = 0;
};

namespace {

// A notification sound is a second or two; anything far longer is not one.
constexpr sf_count_t kMaxSoundSeconds = 30;

using Sound = NewMessageSound::Sound;

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

// One sound on one sink: its own connection and stream, gone once the sound has played. Its
// connection and stream report back to the owner's thread, which takes each next step.
class NewMessageSound::Player {
 public:
  Player(std::shared_ptr<const Sound> sound, NewMessageSound& owner, uint64_t serial)
      : sound_(std::move(sound)), owner_(owner), serial_(serial) {}

  uint64_t serial() const { return serial_; }

  // Begins connecting; false when that cannot even begin.
  bool connect() {
    connection_ = std::make_unique<pulse::Connection>("Palavrix new-message sound");
    pulse::PlaybackStream::Callbacks callbacks;
    callbacks.fill = [this](void* destination, size_t maxFrames) {
      const size_t channels = size_t(sound_->channels);
      const size_t frames = std::min(maxFrames, sound_->samples.size() / channels - position_);
      std::memcpy(destination, sound_->samples.data() + position_ * channels,
                  frames * channels * sizeof(float));
      position_ += frames;
      return frames;
    };
    callbacks.afterWrite = [this] {
      if (drainAsked_ || position_ * size_t(sound_->channels) < sound_->samples.size()) return;
      drainAsked_ = true;
      stream_->drain([this] { post(&NewMessageSound::finished); });
    };
    callbacks.onFailed = [this](int) { post(&NewMessageSound::finished); };
    stream_ = std::make_unique<pulse::PlaybackStream>(*connection_, std::move(callbacks));
    pulse::Connection::Lock lock(*connection_);
    return connection_->startConnect(pulse::kStepTimeout, [this](int error) {
      post(&NewMessageSound::connected, error);
    }) == 0;
  }

  // Once connected: begins connecting the stream; false when that cannot even begin.
  bool connectStream(const QString& sinkName) {
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, uint32_t(sound_->rate),
                              uint8_t(sound_->channels)};
    const QByteArray sink = sinkName.toUtf8();
    pulse::Connection::Lock lock(*connection_);
    // Never let the server move the alert onto another sink: that may be the transmitter.
    return stream_->startConnect(sink.constData(), spec, true, pulse::kStepTimeout,
                                 [this](int error) { post(&NewMessageSound::started, error); }) ==
           0;
  }

  void start() {
    pulse::Connection::Lock lock(*connection_);
    stream_->cork(false);
    stream_->write();
  }

  ~Player() {
    stream_.reset();
    connection_.reset();
  }

 private:
  // From the mainloop thread, which stops before the owner can go.
  template <typename... Args>
  void post(void (NewMessageSound::*step)(uint64_t, Args...), Args... args) {
    QMetaObject::invokeMethod(
        &owner_,
        [owner = &owner_, serial = serial_, step, args...] { (owner->*step)(serial, args...); },
        Qt::QueuedConnection);
  }

  std::shared_ptr<const Sound> sound_;
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

NewMessageSound::Pick NewMessageSound::pick(const QString& soundFile,
                                            const AudioDeviceSnapshot& devices,
                                            const std::optional<QString>& avoidingUid) {
  Pick pick;
  if (const std::optional<QString> failure = devices.failure()) {
    // Not "no other device": the server could not even say which there are.
    pick.status = QStringLiteral("Couldn't play the sound: ") + *failure;
    return pick;
  }
  std::optional<AudioDeviceInfo> device = devices.defaultDevice(AudioDirection::output);
  if (device && avoidingUid && device->uid == *avoidingUid) {
    device = devices.builtInOutput();
    if (device && device->uid == *avoidingUid) device.reset();
  }
  if (!device) {
    pick.status = QStringLiteral("Not played: no output device other than the transmit device.");
    return pick;
  }
  QString error;
  std::optional<Sound> sound = load(soundFile, &error);
  if (!sound) {
    pick.status = QStringLiteral("Couldn't load the sound: ") + error;
    return pick;
  }
  pick.device = device;
  pick.sound = std::make_shared<const Sound>(std::move(*sound));
  return pick;
}

void NewMessageSound::play(const Pick& pick, std::function<void(const QString&)> done) {
  Q_ASSERT(QThread::currentThread() == thread());
  const uint64_t serial = ++playerSerial_;
  if (!pick.device || !pick.sound) {
    starting_[serial] = Starting{nullptr, QString(), QString(), std::move(done)};
    finish(serial, pick.status);
    return;
  }
  auto player = std::make_unique<Player>(pick.sound, *this, serial);
  Player& starting = *player;
  starting_[serial] =
      Starting{std::move(player), pick.device->uid, pick.device->name, std::move(done)};
  if (!starting.connect()) started(serial, PA_ERR_CONNECTIONREFUSED);
}

void NewMessageSound::connected(uint64_t serial, int pulseError) {
  const auto entry = starting_.find(serial);
  if (entry == starting_.end()) return;
  if (pulseError == 0 && entry->second.player->connectStream(entry->second.deviceUid)) return;
  started(serial, pulseError != 0 ? pulseError : PA_ERR_UNKNOWN);
}

void NewMessageSound::started(uint64_t serial, int pulseError) {
  const auto entry = starting_.find(serial);
  if (entry == starting_.end()) return;
  if (pulseError != 0) {
    finish(serial, QStringLiteral("Couldn't play on ") + entry->second.deviceName + '.');
    return;
  }
  entry->second.player->start();
  player_ = std::move(entry->second.player);
  finish(serial, QStringLiteral("Played on ") + entry->second.deviceName + '.');
}

void NewMessageSound::finish(uint64_t serial, const QString& status) {
  const auto entry = starting_.find(serial);
  if (entry == starting_.end()) return;
  std::function<void(const QString&)> done = std::move(entry->second.done);
  starting_.erase(entry);
  qCInfo(lcAudio).noquote() << "New message sound:" << status;
  if (done) done(status);
}
