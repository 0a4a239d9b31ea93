// Captures the receiver's audio from one PulseAudio source and hands it on as 16-bit mono
// 12 000 Hz blocks. The server's fragments are gathered into exact 2048-frame blocks on the
// PulseAudio mainloop thread and queued; a capture thread of our own converts each block and
// calls onSamples, so a slow handler (the decoder) never starves playback on the mainloop.
// Everything but onSamples runs on the thread the engine lives on: the main thread, or a
// thread of the owner's where waiting for the server harms no one.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "audio/AudioDevices.h"
#include "audio/CaptureConverter.h"

class QTimer;

namespace pulse {
class Connection;
class RecordStream;
struct Device;
enum class RecordEvent;
}  // namespace pulse

struct CaptureError {
  enum class Kind {
    // The input has no usable rate or channel count.
    unusableInputFormat,
    // The server offers no input at all: the device is gone.
    noInputDevice,
    // Connecting or starting the stream failed; description is PulseAudio's error text.
    startFailed,
    // The named device cannot be selected (it is gone); description is PulseAudio's text.
    deviceNotSelectable,
    // No audio server is running, or the one there does not answer: nothing in Settings helps.
    noAudioServer,
    serverNotAnswering,
  };
  Kind kind = Kind::startFailed;
  QString description;
  // The one-line diagnostic the owner adds to its alert; empty when there is no device to
  // describe.
  QString diagnostics;
  int pulseError = 0;  // PulseAudio's error code, 0 when the error is not PulseAudio's

  bool carriesDiagnostics() const {
    return kind == Kind::unusableInputFormat || kind == Kind::startFailed;
  }
  // Whether choosing another input device could help.
  bool concernsTheDevice() const {
    return kind != Kind::noAudioServer && kind != Kind::serverNotAnswering;
  }
};

class CaptureEngine final : public QObject {
  Q_OBJECT

 public:
  static constexpr uint32_t kBlockFrames = 2048;
  static constexpr uint32_t kOutputRate = CaptureConverter::kOutputRate;
  // Blocks that may wait for a busy handler before one is dropped: about 5 s at 48 000 Hz,
  // well beyond a long decode in a busy band.
  static constexpr size_t kDefaultQueueBlocks = 128;
  // A wake from sleep asks for a restart this long after it.
  static constexpr int kWakeRestartDelayMs = 2000;
  // Capture that has gathered nothing for this long while running (and not suspended by the
  // server) asks for a restart: the server is frozen or the stream silently died.
  static constexpr std::chrono::milliseconds kDefaultStallTimeout{5000};

  struct Statistics {
    uint64_t captured = 0;  // blocks gathered from the server since the last start
    uint64_t handled = 0;   // blocks the capture thread has converted
    uint64_t dropped = 0;   // blocks lost because the queue was full
  };

  explicit CaptureEngine(size_t queueBlocks = kDefaultQueueBlocks, QObject* parent = nullptr);
  ~CaptureEngine() override;

  // Called on the capture thread with each converted block; the samples are valid only during
  // the call. Set before start: start takes its own copy. A plain callback, not a signal: it
  // runs on the capture thread, where nothing may queue or allocate per block.
  std::function<void(std::span<const int16_t>)> onSamples;
  // How long a running capture may deliver nothing; set before start.
  std::chrono::milliseconds stallTimeout = kDefaultStallTimeout;

  // Starts capture from the device (an input) or, without one, from the server's default
  // source; a default source that only monitors a sink is no input (capture would hear our own
  // transmissions). Returns the error, or nothing on success. Blocks for about one device query.
  std::optional<CaptureError> start(const std::optional<AudioDeviceInfo>& device);
  // Ends capture and waits until the capture thread has left onSamples; blocks queued but not
  // yet handled are dropped. Never call it from onSamples.
  void stop();
  bool isRunning() const { return run_ != nullptr; }

  // The diagnostic line of errors and log lines, with PulseAudio's error when one is given.
  QString diagnostics(std::optional<int> pulseError = std::nullopt) const;
  // Of the running capture, or of the last one. The engine's thread.
  Statistics statistics() const;

  // The reaction to a wake from sleep: a restart request kWakeRestartDelayMs later. The system
  // bus calls it through logind's PrepareForSleep(false) when there is a bus.
  void handleWakeFromSleep();

 signals:
  // The owner should stop and start capture again: the device was lost, the stream failed,
  // moved or stalled, or the machine woke from sleep. Emitted on the engine's thread.
  void needsRestart();

 private slots:
  void onPrepareForSleep(bool goingToSleep);

 private:
  struct Run;

  CaptureError fail(CaptureError::Kind kind, int pulseError, uint32_t rate = 0,
                    uint32_t channels = 0);
  void handleStreamEvent(uint64_t generation, pulse::RecordEvent event, int pulseError);
  void requestRestart();
  void checkForStall();
  void watchForWake(bool watch);

  size_t queueBlocks_;
  uint64_t generation_ = 0;
  bool restartRequested_ = false;
  bool watchingWake_ = false;
  bool suspended_ = false;
  QTimer* stallTimer_ = nullptr;
  QElapsedTimer sinceProgress_;
  uint64_t capturedAtLastCheck_ = 0;
  // What the last start found, for the diagnostics.
  std::unique_ptr<pulse::Device> source_;
  uint32_t streamRate_ = 0;
  uint32_t streamChannels_ = 0;

  std::unique_ptr<pulse::Connection> connection_;
  std::unique_ptr<Run> run_;
  std::unique_ptr<pulse::RecordStream> stream_;

  Statistics lastStatistics_;  // of the last run, once it has ended
};
