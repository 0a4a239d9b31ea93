// Plays transmit audio (16-bit mono 48 000 Hz) and the settings window's test tone on a chosen
// PulseAudio sink. The stream is kept between transmissions and rebuilt only when it went stale,
// another device is asked for, or the server moved it off the requested one. The "player" is a
// queue of buffers drained by the stream's write callback on the PulseAudio mainloop thread;
// everything else runs on the main thread, which never waits for the server: a stream is built
// in the background and the owner told when it is ready.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "audio/AudioDevices.h"

namespace pulse {
class Connection;
class PlaybackStream;
}  // namespace pulse

// Transmit samples, shared so that the mainloop thread can play them while the owner lets go.
using PlaybackBuffer = std::shared_ptr<const std::vector<int16_t>>;

struct PlaybackError {
  QString description;  // PulseAudio's error text, as a sentence
  int pulseError = 0;
};

// What the owner of a buffer is told, on the main thread. Each buffer ends in exactly one of
// two ways: onPlayedBack once its own last sample has been played (never for a looping one),
// or onFailed with the reason when the server or the device goes away first. Before that,
// onUnderrun each time the server ran out of audio and then played on, so that a gap went in
// before the rest of this buffer. Buffers cleared by stopPlayer() or prepare() report nothing
// more: their owner asked for it.
struct PlaybackReports {
  std::function<void()> onPlayedBack{};
  std::function<void(const PlaybackError&)> onFailed{};
  std::function<void()> onUnderrun{};
  // Each time the server starts playing with this buffer the first not yet heard: at first (a
  // sink waking from suspend may take seconds to begin) and after an underrun.
  std::function<void()> onStarted{};
};

class PlaybackEngine final : public QObject {
  Q_OBJECT

 public:
  static constexpr uint32_t kSampleRate = 48000;
  // The test tone's loop: a whole number of cycles in about this many samples (0.1 s).
  static constexpr double kToneLoopSamples = 4800.0;
  // How far ahead of the sink a looping buffer is written (0.1 s).
  static constexpr size_t kLoopWriteAheadFrames = 4800;

  explicit PlaybackEngine(QObject* parent = nullptr);
  ~PlaybackEngine() override;

  // What prepare and playTone tell their caller, on the main thread: nothing on success.
  using Prepared = std::function<void(const std::optional<PlaybackError>&)>;

  // Stops the player and readies the stream for the device (an output; none: the server's
  // default) without waiting, then tells done: at once (queued) when the stream can stay, else
  // once it is rebuilt or has failed. A later prepare, playTone or stopPlayer() comes first and
  // done is never called.
  void prepare(const std::optional<AudioDeviceInfo>& device, Prepared done);

  // A buffer of the samples; null when there are none or more than 32 bits can count.
  static PlaybackBuffer makeBuffer(std::span<const int16_t> samples);


  // The player. schedule queues a buffer after those already queued; a looping buffer repeats
  // until the player stops. A buffer is handed to the server seconds ahead of the sink (a
  // looping one only a little, so that a gain change is soon heard).
  void schedule(PlaybackBuffer buffer, bool loop = false, PlaybackReports reports = {});
  void play();
  // Clears the queue and silences the stream at once.
  void stopPlayer();
  // Whether a buffer is queued and not yet played to its end (or a looping one plays).
  bool isPlaying() const;

  // A tone of the frequency at the level (1.0 is full scale), rising over its first 0.1 s and
  // then looping seamlessly until stopPlayer(); it starts once the stream is ready, as prepare
  // says, and done is told the same. A frequency that is not positive and finite plays nothing.
  void playTone(const std::optional<AudioDeviceInfo>& device, double frequency, float level,
                Prepared done);

  // Linear gain applied to everything played, from the next samples written on.
  float gain() const;
  void setGain(float linear);

  // After a device change the next prepare rebuilds.
  bool isStale() const { return isStale_; }
  void setStale() { isStale_ = true; }

 private:
  struct Scheduled {
    PlaybackBuffer samples;
    bool loop = false;
    uint64_t ticket = 0;
    uint64_t endFrame = 0;  // the stream's frame index just past its last sample, once written
    bool written = false;
    bool played = false;  // its end has been heard and reported
  };

  void rebuild(const std::optional<AudioDeviceInfo>& device);
  void connected(uint64_t generation, int pulseError);
  void built(uint64_t generation, int pulseError);
  void answer(uint64_t request, const std::optional<PlaybackError>& error);
  void clearPlayer();
  void playedBack(uint64_t ticket);
  void failAll(int pulseError);
  void startedPlaying(uint64_t ticket, bool afterGap);
  // The mainloop thread's side, with the lock held.
  size_t fill(void* destination, size_t maxFrames);
  void afterWrite();
  void underflowed();
  void started();
  bool reportPlayed(uint64_t playedFrames);
  void dropFinished();

  std::unique_ptr<pulse::Connection> connection_;
  std::unique_ptr<pulse::PlaybackStream> stream_;
  std::optional<QString> configuredUid_;  // the device of the last rebuild; none: the default
  bool isStale_ = true;
  uint64_t generation_ = 0;
  // The rebuild under way: the stream exists but is not ready yet.
  bool building_ = false;
  QByteArray buildingSink_;
  bool buildingNamed_ = false;
  // The prepare waiting to be answered; a newer request or a stop replaces or drops it.
  uint64_t requests_ = 0;
  uint64_t waitingRequest_ = 0;
  Prepared waiting_;

  // Guarded by the connection's lock once a stream exists.
  std::vector<Scheduled> queue_;
  size_t current_ = 0;   // the buffer playing now
  size_t position_ = 0;  // the next sample of it
  bool playing_ = false;
  bool awaitingEnd_ = false;    // a written buffer's end has not been heard yet
  bool flowing_ = false;        // the server has played since the player last stopped
  bool ranDry_ = false;         // and then ran out of audio
  uint64_t writtenFrames_ = 0;  // frames handed to the stream since it was made
  float gain_ = 1.0f;

  std::map<uint64_t, PlaybackReports> owners_;  // main thread only
  uint64_t nextTicket_ = 0;
};
