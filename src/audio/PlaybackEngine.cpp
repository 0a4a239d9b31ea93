#include "audio/PlaybackEngine.h"

#include <pulse/error.h>

#include <QThread>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "audio/AudioLevels.h"
#include "audio/AudioLog.h"
#include "audio/pulse/PulseConnection.h"
#include "audio/pulse/PulsePlaybackStream.h"

namespace {

PlaybackError playbackError(int pulseError) {
  return {QString::fromStdString(pulse::problemSentence(pulseError)), pulseError};
}

int16_t clampToSample(double value) {
  return static_cast<int16_t>(std::clamp(value, -32768.0, 32767.0));
}

// The lock that guards the player from the mainloop thread; without a connection there is no
// such thread to guard it from.
std::optional<pulse::Connection::Lock> lockPlayer(
    const std::unique_ptr<pulse::Connection>& connection) {
  if (!connection) return std::nullopt;
  return std::optional<pulse::Connection::Lock>(std::in_place, *connection);
}

}  // namespace

PlaybackEngine::PlaybackEngine(QObject* parent) : QObject(parent) {}

PlaybackEngine::~PlaybackEngine() {
  stream_.reset();
  connection_.reset();
}

void PlaybackEngine::prepare(const std::optional<AudioDeviceInfo>& device, Prepared done) {
  Q_ASSERT(QThread::currentThread() == thread());
  stopPlayer();
  const std::optional<QString> requested =
      device ? std::optional<QString>(device->uid) : std::nullopt;

  std::optional<QString> current;
  uint32_t currentIndex = PA_INVALID_INDEX;
  bool ready = false;
  if (stream_ && !building_) {
    pulse::Connection::Lock lock(*connection_);
    ready = stream_->isReady();
    const std::string name = stream_->sinkName();
    currentIndex = stream_->sinkIndex();
    if (!name.empty()) current = QString::fromStdString(name);
  }
  const bool moved = requested && !(current && *current == *requested);

  const uint64_t request = ++requests_;
  if (building_ && !isStale_ && configuredUid_ == requested) {
    // The stream under way is the one asked for: it answers once it is ready.
  } else if (building_ || isStale_ || !ready || configuredUid_ != requested || moved) {
    if (!building_ && !isStale_ && ready && moved) {
      qCInfo(lcAudio).noquote() << QStringLiteral(
                                       "Playback output had moved to device %1; rebuilding")
                                       .arg(currentIndex == PA_INVALID_INDEX
                                                ? QStringLiteral("none")
                                                : QString::number(currentIndex));
    }
    rebuild(device);
  } else {
    QMetaObject::invokeMethod(
        this, [this, request] { answer(request, std::nullopt); }, Qt::QueuedConnection);
  }
  waitingRequest_ = request;
  waiting_ = std::move(done);
}

void PlaybackEngine::answer(uint64_t request, const std::optional<PlaybackError>& error) {
  if (request != waitingRequest_ || !waiting_) return;
  const Prepared done = std::exchange(waiting_, nullptr);
  done(error);
}

void PlaybackEngine::rebuild(const std::optional<AudioDeviceInfo>& device) {
  const uint64_t generation = ++generation_;
  stream_.reset();
  connection_.reset();
  clearPlayer();
  writtenFrames_ = 0;
  configuredUid_ = device ? std::optional<QString>(device->uid) : std::nullopt;
  isStale_ = false;
  building_ = true;
  buildingSink_ = device ? device->uid.toUtf8() : QByteArray();
  buildingNamed_ = device.has_value();

  connection_ = std::make_unique<pulse::Connection>("Palavrix transmit");
  auto lost = [this, generation](int error) {
    QMetaObject::invokeMethod(
        this,
        [this, generation, error] {
          if (generation != generation_) return;
          qCWarning(lcAudio).noquote()
              << QStringLiteral("Playback output lost (%1); rebuilding before the next use")
                     .arg(QString::fromStdString(pulse::errorText(error)));
          isStale_ = true;
          failAll(error);
        },
        Qt::QueuedConnection);
  };
  connection_->onLost = lost;
  pulse::PlaybackStream::Callbacks callbacks;
  callbacks.fill = [this](void* destination, size_t maxFrames) {
    return fill(destination, maxFrames);
  };
  callbacks.afterWrite = [this] { afterWrite(); };
  callbacks.onFailed = lost;
  callbacks.onUnderflow = [this] { underflowed(); };
  callbacks.onStarted = [this] { started(); };
  callbacks.onUnplayed = [this](uint64_t unplayedFrames) { return reportPlayed(unplayedFrames); };
  stream_ = std::make_unique<pulse::PlaybackStream>(*connection_, std::move(callbacks));

  // The server may take seconds to answer, or never: each step reports back to this thread.
  auto connected = [this, generation](int error) {
    QMetaObject::invokeMethod(
        this, [this, generation, error] { this->connected(generation, error); },
        Qt::QueuedConnection);
  };
  pulse::Connection::Lock lock(*connection_);
  if (const int error = connection_->startConnect(pulse::kStepTimeout, connected); error != 0) {
    connected(error);
  }
}

void PlaybackEngine::connected(uint64_t generation, int pulseError) {
  if (generation != generation_) return;
  if (pulseError == 0) {
    auto built = [this, generation](int error) {
      QMetaObject::invokeMethod(
          this, [this, generation, error] { this->built(generation, error); },
          Qt::QueuedConnection);
    };
    const pa_sample_spec spec{PA_SAMPLE_S16NE, kSampleRate, 1};
    pulse::Connection::Lock lock(*connection_);
    pulseError = stream_->startConnect(buildingNamed_ ? buildingSink_.constData() : nullptr, spec,
                                       buildingNamed_, pulse::kStepTimeout, built);
    if (pulseError == 0) return;
  }
  built(generation, pulseError);
}

void PlaybackEngine::built(uint64_t generation, int pulseError) {
  if (generation != generation_) return;
  building_ = false;
  if (pulseError != 0) {
    stream_.reset();
    connection_.reset();
    configuredUid_.reset();
    answer(waitingRequest_, playbackError(pulseError));
    return;
  }
  answer(waitingRequest_, std::nullopt);
}

PlaybackBuffer PlaybackEngine::makeBuffer(std::span<const int16_t> samples) {
  if (samples.empty() || samples.size() > std::numeric_limits<uint32_t>::max()) return nullptr;
  try {
    return std::make_shared<const std::vector<int16_t>>(samples.begin(), samples.end());
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void PlaybackEngine::dropFinished() {
  // Buffers whose end has been heard are let go here, on the main thread, never in a callback
  // of the mainloop thread.
  size_t done = 0;
  while (done < current_ && queue_[done].played) ++done;
  queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(done));
  current_ -= done;
}

void PlaybackEngine::schedule(PlaybackBuffer buffer, bool loop, PlaybackReports reports) {
  Q_ASSERT(QThread::currentThread() == thread());
  if (!buffer || buffer->empty()) return;
  const uint64_t ticket = ++nextTicket_;
  if (reports.onPlayedBack || reports.onFailed || reports.onUnderrun || reports.onStarted) {
    owners_[ticket] = std::move(reports);
  }
  const auto lock = lockPlayer(connection_);
  dropFinished();
  queue_.push_back({std::move(buffer), loop, ticket});
  if (playing_ && stream_) stream_->write();
}

void PlaybackEngine::play() {
  Q_ASSERT(QThread::currentThread() == thread());
  const auto lock = lockPlayer(connection_);
  playing_ = true;
  if (!stream_) return;
  stream_->cork(false);
  stream_->write();
}

void PlaybackEngine::clearPlayer() {
  waiting_ = nullptr;  // a prepare still waiting for the stream is called off too
  std::vector<Scheduled> released;
  {
    const auto lock = lockPlayer(connection_);
    playing_ = false;
    awaitingEnd_ = false;
    flowing_ = ranDry_ = false;
    released.swap(queue_);
    current_ = position_ = 0;
    if (stream_) {
      stream_->flush();
      stream_->cork(true);
    }
  }
  owners_.clear();
}

void PlaybackEngine::stopPlayer() {
  Q_ASSERT(QThread::currentThread() == thread());
  clearPlayer();
}

bool PlaybackEngine::isPlaying() const {
  const auto lock = lockPlayer(connection_);
  return playing_ && std::any_of(queue_.begin(), queue_.end(),
                                 [](const Scheduled& item) { return !item.played; });
}

void PlaybackEngine::playedBack(uint64_t ticket) {
  const auto owner = owners_.find(ticket);
  if (owner == owners_.end()) return;
  const std::function<void()> callback = std::move(owner->second.onPlayedBack);
  owners_.erase(owner);
  if (callback) callback();
}

void PlaybackEngine::failAll(int pulseError) {
  // The stream is gone with everything it held: nothing queued will be played.
  {
    const auto lock = lockPlayer(connection_);
    playing_ = false;
    awaitingEnd_ = false;
    flowing_ = ranDry_ = false;
  }
  std::vector<Scheduled> released;
  {
    const auto lock = lockPlayer(connection_);
    released.swap(queue_);
    current_ = position_ = 0;
  }
  std::map<uint64_t, PlaybackReports> owners;
  owners.swap(owners_);
  const PlaybackError error = playbackError(pulseError);
  for (auto& [ticket, owner] : owners) {
    if (owner.onFailed) owner.onFailed(error);
  }
}

void PlaybackEngine::startedPlaying(uint64_t ticket, bool afterGap) {
  const auto owner = owners_.find(ticket);
  if (owner == owners_.end()) return;
  // Copies: either may end the transmission, and with it this owner.
  const std::function<void()> underrun = owner->second.onUnderrun;
  const std::function<void()> started = owner->second.onStarted;
  if (afterGap && underrun) underrun();
  if (started && owners_.count(ticket)) started();
}

float PlaybackEngine::gain() const {
  const auto lock = lockPlayer(connection_);
  return gain_;
}

void PlaybackEngine::setGain(float linear) {
  const auto lock = lockPlayer(connection_);
  gain_ = linear;
}

size_t PlaybackEngine::fill(void* destination, size_t maxFrames) {
  if (!playing_) return 0;
  auto* out = static_cast<int16_t*>(destination);
  const size_t held = stream_->heldFrames();
  size_t filled = 0;
  while (filled < maxFrames && current_ < queue_.size()) {
    Scheduled& item = queue_[current_];
    const std::vector<int16_t>& samples = *item.samples;
    size_t room = maxFrames - filled;
    if (item.loop) {
      // The test tone runs while the operator moves the gain: keep what is on its way short.
      const size_t ahead = held + filled;
      room = ahead < kLoopWriteAheadFrames ? std::min(room, kLoopWriteAheadFrames - ahead) : 0;
      if (room == 0) break;
    }
    const size_t take = std::min(room, samples.size() - position_);
    const int16_t* from = samples.data() + position_;
    std::memcpy(out + filled, from, take * sizeof(int16_t));
    applyGainInPlace(std::span<int16_t>(out + filled, take), gain_);
    filled += take;
    position_ += take;
    if (position_ == samples.size()) {
      position_ = 0;
      if (!item.loop) {
        item.endFrame = writtenFrames_ + filled;
        item.written = true;
        awaitingEnd_ = true;
        ++current_;
      }
    }
  }
  writtenFrames_ += filled;
  return filled;
}

void PlaybackEngine::afterWrite() {
  if (awaitingEnd_) stream_->followPlayback();
}

void PlaybackEngine::underflowed() {
  // A notice left over from the flush of a stop comes before the next start and is no gap.
  if (flowing_) ranDry_ = true;
}

void PlaybackEngine::started() {
  // Running dry is also how the queue ends; only playing again after it shows that samples
  // were still to come. The gap lies before the first buffer not yet heard to its end. (Its
  // samples may all have been written by now: a stalled client catches up with every request
  // before it reads the server's notice.)
  const bool gap = ranDry_ && playing_;
  ranDry_ = false;
  flowing_ = true;
  if (!playing_) return;
  const auto unheard = std::find_if(queue_.begin(), queue_.end(),
                                    [](const Scheduled& item) { return !item.played; });
  if (unheard == queue_.end()) return;
  const uint64_t ticket = unheard->ticket;
  QMetaObject::invokeMethod(
      this, [this, ticket, gap] { startedPlaying(ticket, gap); }, Qt::QueuedConnection);
}

bool PlaybackEngine::reportPlayed(uint64_t unplayedFrames) {
  // A buffer has been heard to its end once fewer frames are unheard than were written after it.
  awaitingEnd_ = false;
  for (size_t i = 0; i < current_; ++i) {
    Scheduled& item = queue_[i];
    if (!item.written || item.played) continue;
    if (writtenFrames_ - item.endFrame < unplayedFrames) {
      awaitingEnd_ = true;
      continue;
    }
    item.played = true;
    const uint64_t ticket = item.ticket;
    QMetaObject::invokeMethod(
        this, [this, ticket] { playedBack(ticket); }, Qt::QueuedConnection);
  }
  return awaitingEnd_;
}

void PlaybackEngine::playTone(const std::optional<AudioDeviceInfo>& device, double frequency,
                              float level, Prepared done) {
  PlaybackBuffer rampBuffer;
  PlaybackBuffer steadyBuffer;
  const double samplesPerCycle = kSampleRate / frequency;
  const double cycles = std::max(1.0, std::round(kToneLoopSamples / samplesPerCycle));
  const double length = std::round(samplesPerCycle * cycles);
  if (frequency > 0.0 && std::isfinite(frequency) && length >= 1.0 && length <= 1e7) {
    const size_t n = static_cast<size_t>(length);
    const double amplitude = double(level) * 32767.0;
    std::vector<int16_t> ramp(n);
    std::vector<int16_t> steady(n);
    for (size_t i = 0; i < n; ++i) {
      const double wave = std::sin(2.0 * M_PI * frequency * double(i) / kSampleRate);
      ramp[i] = clampToSample(std::round(double(i) / double(n) * amplitude * wave));
      steady[i] = clampToSample(std::round(amplitude * wave));
    }
    rampBuffer = makeBuffer(ramp);
    steadyBuffer = makeBuffer(steady);
  }
  prepare(device, [this, rampBuffer, steadyBuffer,
                   done = std::move(done)](const std::optional<PlaybackError>& error) {
    if (!error && rampBuffer && steadyBuffer) {
      schedule(rampBuffer);
      schedule(steadyBuffer, true);
      play();
    }
    if (done) done(error);
  });
}
