// The one controller of the program: it owns the decoder, the audio engines, the spectrum and
// waterfall, the rig thread and the transcript, and it is the only writer of the state the
// windows show. Received audio becomes live chat messages, typed text goes on the air with
// push-to-talk timing, the rig is polled and tuned, and the transcript can be exported.
//
// Lives on the main thread; every property is read and written there. The captured-samples
// handler and the decoder run on the capture thread, rig calls on the rig thread, the capture
// engine is started and stopped on an audio thread and the output devices are looked up on a
// thread of their own (the server may take seconds to answer); all of them hand their results
// to the main thread with queued calls.
#pragma once

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "audio/AudioDevices.h"
#include "chat/ChatMessageList.h"
#include "chat/SerialQueue.h"
#include "modem/KvolDecoder.h"
#include "rig/RigTypes.h"

class AppSettings;
class AudioDeviceMonitor;
class AudioLevels;
class AudioSpectrum;
class CaptureEngine;
struct CaptureError;
class DisplayMailbox;
class LiveGain;
class NewMessageSound;
class PlaybackEngine;
struct PlaybackError;
class TransmitMonitor;
class WaterfallBitmap;
class QTimer;

// Asks the operator where to save the transcript. The windows supply the real dialog; tests
// supply their own answer. Main thread.
class ExportFileChooser {
 public:
  virtual ~ExportFileChooser() = default;
  // The chosen file, or none when the operator cancelled.
  virtual std::optional<QString> chooseFile(const QString& title, const QString& suggestedName) = 0;
};

// The intervals the controller runs on (ChatViewModel::Timing). Tests shorten them; the program
// uses the defaults. Outside the class so that it can be a default argument of its constructor.
struct ChatViewModelTiming {
  std::chrono::milliseconds captureRetryInterval{2000};
  int captureRetries = 15;
  // Once the retries are spent and the alert is up: a frozen server may thaw at any time.
  std::chrono::milliseconds captureLateRetryInterval{30000};
  std::chrono::milliseconds sweepInterval{2000};
  std::chrono::milliseconds stallTimeout{15104};
  std::chrono::milliseconds rigPollInterval{5000};
  std::chrono::milliseconds pttLead{150};
  std::chrono::milliseconds pttTail{200};
  // How long a send waits for the rig to key, and a tune for its call to start, before giving
  // up: a healthy rig keys within a second or two even behind a status poll. A tune whose call
  // has started and not come back by then, and a release that has not come back within
  // releaseWait, are said while they go on.
  std::chrono::milliseconds keyWait{5000};
  std::chrono::milliseconds tuneWait{5000};
  std::chrono::milliseconds releaseWait{5000};
  // A failed release of push-to-talk is tried again this often.
  std::chrono::milliseconds releaseRetryInterval{1000};
  std::chrono::milliseconds outputMeterInterval{50};
};

class ChatViewModel final : public QObject {
  Q_OBJECT
  Q_PROPERTY(ChatMessageList* messages READ messages CONSTANT)
  Q_PROPERTY(QString inputText READ inputText WRITE setInputText NOTIFY inputTextChanged)
  Q_PROPERTY(bool isSending READ isSending NOTIFY isSendingChanged)
  Q_PROPERTY(std::optional<QString> alertMessage READ alertMessage WRITE setAlertMessage NOTIFY
                 alertMessageChanged)
  Q_PROPERTY(std::optional<ChatViewModel::ReceiveQuality> receiveQuality READ receiveQuality NOTIFY
                 receiveQualityChanged)
  Q_PROPERTY(std::optional<QString> rigStatus READ rigStatus NOTIFY rigStatusChanged)

 public:
  // The composer's cap, in characters as a reader counts them.
  static constexpr int kMaxMessageCharacters = 80;
  // The audio band the waterfall shows, and the tone every transmission is made on, in Hz.
  static constexpr int kWaterfallLowHz = 1400;
  static constexpr int kWaterfallHighHz = 1700;
  static constexpr int kTransmitToneHz = 1500;

  struct ReceiveQuality {
    int snrDb = 0;
    int symbolErrors = 0;
    int symbolsChecked = 0;
    friend bool operator==(const ReceiveQuality&, const ReceiveQuality&) = default;
  };

  // A received message still being decoded: its transcript entry and when its text last changed.
  struct LiveBubble {
    QUuid bubbleID;
    QDateTime lastProgress;
  };

  // The intervals the controller runs on. Tests shorten them; the program uses the defaults.
  using Timing = ChatViewModelTiming;

  // Builds everything and starts capture (on the audio thread), the device monitor and rig
  // polling at once. Main thread. `now` is the clock the bubbles' progress is measured on.
  explicit ChatViewModel(AppSettings& settings, Timing timing = {},
                         std::function<QDateTime()> now = &QDateTime::currentDateTime,
                         QObject* parent = nullptr);
  ~ChatViewModel() override;

  // Observable state.
  ChatMessageList* messages() { return &messages_; }
  QString inputText() const { return inputText_; }
  // Values over kMaxMessageCharacters keep their first kMaxMessageCharacters characters.
  void setInputText(const QString& text);
  bool isSending() const { return isSending_; }
  std::optional<QString> alertMessage() const { return alertMessage_; }
  // A second alert while one stands keeps the first one's text above it, so that its cause stays
  // in view; none dismisses both.
  void setAlertMessage(const std::optional<QString>& text);
  std::optional<ReceiveQuality> receiveQuality() const { return receiveQuality_; }
  std::optional<QString> rigStatus() const { return rigStatus_; }

  // State the windows read or preview through.
  AppSettings& settings() { return settings_; }
  AudioLevels& levels();
  WaterfallBitmap& waterfall();
  LiveGain& inputGain();
  PlaybackEngine& playbackEngine();
  std::optional<QString> lastSentText() const { return lastSentText_; }
  // While set, this output takes the place of the saved one for transmit audio, the test tone
  // and the new-message sound.
  std::optional<QString> previewedOutputDeviceUID() const { return previewedOutputDeviceUID_; }
  void setPreviewedOutputDeviceUID(const std::optional<QString>& uid);
  bool needsRigModeSet() const { return needsRigModeSet_; }
  void setNeedsRigModeSet(bool needed) { needsRigModeSet_ = needed; }

  // Audio start.
  void restartAudio();
  // The settings window's OK: applies the saved input gain, and restarts capture only when
  // capture is not running or the saved input device is not the one it runs on. Nothing else
  // saved reaches capture or the decoder, so a message being received goes on arriving.
  void applyAudioSettings();
  void handleAudioDeviceChange();
  // Whether the latest start of capture succeeded and no restart came since. Capture starts
  // on the audio queue's thread, so it is false at first and turns true a moment later.
  bool isCapturing() const { return capturing_; }
  // Attempts to start capture that have come back (failed or not) since the controller was made.
  int captureStartAttempts() const { return captureStartAttempts_; }
  // Device changes whose bearing on capture has been weighed (and capture restarted or not).
  int audioDeviceChecks() const { return audioDeviceChecks_; }

  // Receiving. The handler runs on the capture thread; the rest on the main thread.
  void handleCapturedSamples(std::span<const int16_t> samples);
  // The decoder's callback, on the capture thread (or any thread): hands the update to the main
  // thread, where it is dropped when an audio restart came in between.
  void postDecoderUpdate(const KvolDecoder::Update& update);
  void handleDecoderUpdate(const KvolDecoder::Update& update);
  void sweepStalledBubbles();

  // Sending.
  void send();
  std::optional<QString> textWithCallsign(const QString& text) const;
  // The settings window's test tone, once the output is known and ready; it plays until the
  // player is stopped. stopOutputMeter() calls off a tone still on its way.
  void playTestTone();
  void stopOutputMeter();
  // The settings window's sound test: the sound as a received message would play it. Gives the
  // request's number, which newMessageSoundPreviewed carries with its status a moment later.
  uint64_t previewNewMessageSound();

  // Whether push-to-talk may be on at the rig: from the moment a key call is posted until a
  // release has come back without error.
  bool pushToTalkMayBeOn() const { return pttRig_.has_value(); }
  // For the program's exit: stops every transmission and rig call that has not started and, when
  // push-to-talk may be on, releases it next, trying again until it is released or `limit` has
  // passed. done(released) on the main thread at the latest after `limit`; released is false
  // only while push-to-talk may still be on.
  void releasePushToTalkForExit(std::chrono::milliseconds limit, std::function<void(bool)> done);
  // The same for an exit already under way, where no event loop runs: waits on the main thread
  // for at most `limit`. True once push-to-talk is known off.
  bool releasePushToTalkAndWait(std::chrono::milliseconds limit);
  // "Push-to-talk may still be keyed on ..." with the rig it was keyed on, for the exit's report.
  QString pushToTalkWarning() const;

  // Rig status and tuning.
  void refreshRigStatusNow();
  void tune(double mhz);

  // Export.
  void setExportFileChooser(std::unique_ptr<ExportFileChooser> chooser);
  void exportMessages();
  QString exportText() const;
  static QString exportLine(const ChatMessage& message);
  static QString suggestedExportFileName(const QDateTime& nowUtc);

 signals:
  void inputTextChanged();
  void isSendingChanged();
  void alertMessageChanged();
  void receiveQualityChanged();
  void rigStatusChanged();
  // A received message completed with the sound option on; the sound's status line.
  void newMessageSoundPlayed(const QString& status);
  void newMessageSoundPreviewed(uint64_t request, const QString& status);

 private:
  // Audio start.
  void startAudio();
  void startListening(int retriesLeft, uint64_t chain);
  struct ListeningStart;
  void listeningAttempted(int retriesLeft, uint64_t chain, const ListeningStart& start);
  // Restarts capture after a device change only when capture is not running or the input it
  // would open now is not the one it has open: the chosen input went away or came back, or the
  // server's default input changed while capture runs on it.
  void inputDevicesChecked(uint64_t chain, const AudioDeviceSnapshot& devices);
  bool inputChangedUnderCapture(const AudioDeviceSnapshot& devices) const;
  // Where transmit audio and the test tone go, as the server knows it now: the previewed or saved
  // output, else the default one; or why the server could not say. Asked on the device queue;
  // done on the main thread.
  using TransmitDevice = std::pair<std::optional<AudioDeviceInfo>, std::optional<QString>>;
  void transmitDevice(std::function<void(TransmitDevice)> done);
  std::optional<QString> transmitDeviceUID() const;
  // Receiving.
  void drainDisplayMailbox();
  void finalizeLiveBubble(const LiveBubble& bubble);
  void finalizeAllLiveBubbles();
  void removeLiveBubble(int64_t messageId);
  void startPartialDecodeSweep();
  void stopPartialDecodeSweepIfIdle();
  void playNewMessageSound();
  void playSound(std::function<void(const QString&)> told);
  void setReceiveQuality(const ReceiveQuality& quality);
  // Sending.
  void setIsSending(bool sending);
  void transmit(std::vector<int16_t> samples);
  // playedBack runs on the main thread once the player has played the last sample.
  void playTransmitAudio(std::span<const int16_t> samples, uint64_t transmission,
                         std::function<void()> playedBack);
  void transmitAudioFailed(uint64_t transmission, const PlaybackError& error);
  // The safety clock: the player never said it had played the last sample.
  void restartOverdueClock();
  void transmitAudioOverdue(uint64_t transmission);
  void markTransmittedMessageIncomplete();
  void startOutputMeter(std::span<const int16_t> samples);
  void startTransmitAudio(uint64_t transmission, std::span<const int16_t> samples);
  void finishTransmit(uint64_t transmission);
  void keyAnswered(uint64_t transmission, std::shared_ptr<const std::vector<int16_t>> samples,
                   const std::optional<std::string>& error);
  // The key call, which the caller may withdraw until it starts.
  std::shared_ptr<SerialQueue::Start> keyPushToTalk(
      const RigTxSettings& rig, std::function<void(std::optional<std::string>)> keyed);
  void releasePushToTalk();
  // A release failed, or has not come back in time: the standing alert says why, once.
  void reportReleaseTrouble(const QString& reason);
  void stopRigCallsForExit();
  // Rig.
  void readRigSettings();
  // Takes back the standing alert's parts that begin with prefix.
  void withdrawAlert(const QString& prefix);
  // Brings a standing part that begins with prefix up to date; one dismissed stays dismissed.
  void replaceAlert(const QString& prefix, const QString& text);
  void showAlertParts();
  void pollRigStatusLoop();
  void refreshRigStatus(std::function<void()> done);
  void setRigStatus(const std::optional<QString>& status);
  void showRigNotResponding();
  // A tune that could not start in time, or whose release did not come, is forgotten.
  void tuneDropped();
  // "the rig did not answer within N seconds", for the alerts of calls that wait too long.
  static QString rigSilentFor(std::chrono::milliseconds wait);

  AppSettings& settings_;
  Timing timing_;
  std::function<QDateTime()> now_;
  ChatMessageList messages_;
  QString inputText_;
  bool isSending_ = false;
  std::optional<QString> alertMessage_;
  // The standing alert's parts: the first one raised and the latest after it.
  QStringList alertParts_;
  std::optional<ReceiveQuality> receiveQuality_;
  std::optional<QString> rigStatus_;
  bool needsRigModeSet_ = true;
  std::optional<QString> lastSentText_;
  std::optional<QString> previewedOutputDeviceUID_;
  QHash<int64_t, LiveBubble> liveBubbles_;

  std::unique_ptr<WaterfallBitmap> waterfall_;
  std::unique_ptr<AudioLevels> levels_;
  std::unique_ptr<LiveGain> inputGain_;
  std::unique_ptr<KvolDecoder> decoder_;
  std::unique_ptr<AudioSpectrum> spectrum_;
  std::unique_ptr<PlaybackEngine> playback_;
  std::unique_ptr<TransmitMonitor> transmitMonitor_;
  std::unique_ptr<AudioDeviceMonitor> deviceMonitor_;
  std::unique_ptr<NewMessageSound> newMessageSound_;
  std::unique_ptr<DisplayMailbox> displayMailbox_;
  std::unique_ptr<ExportFileChooser> exportFileChooser_;
  QTimer* sweepTimer_ = nullptr;
  QTimer* outputMeterTimer_ = nullptr;
  QTimer* rigPollTimer_ = nullptr;
  // Runs while a status poll is out; when it fires, the rig queue is blocked.
  QTimer* rigStallTimer_ = nullptr;
  QTimer* releaseRetryTimer_ = nullptr;
  // Runs while a release is out.
  QTimer* releaseWaitTimer_ = nullptr;
  QTimer* transmitOverdueTimer_ = nullptr;
  // Runs from the end of a transmission while a tune waits for the release.
  QTimer* deferredTuneTimer_ = nullptr;

  // Each start of audio begins a retry chain; an older chain stops at its next attempt.
  uint64_t captureChain_ = 0;
  // The alert of a chain that gave up, withdrawn once capture runs again.
  std::optional<QString> captureAlert_;
  int captureStartAttempts_ = 0;
  int audioDeviceChecks_ = 0;
  bool capturing_ = false;
  // The input device setting of the latest start, and the device that start opened.
  std::optional<QString> listeningInputUID_;
  std::optional<QString> capturingDeviceUID_;
  // Counts audio restarts. Decoder updates carry the count of the audio they were made from
  // (set on the audio queue's thread once capture has stopped) and are dropped on the main
  // thread unless they belong to the latest restart.
  uint64_t acceptedGeneration_ = 0;
  std::atomic<uint64_t> captureGeneration_{0};

  // Capture thread only: the handler's working blocks, reused so that it allocates nothing.
  std::vector<int16_t> gainedBlock_;
  std::vector<int16_t> mixedBlock_;
  std::vector<float> spectrumRow_;

  // The output meter's levels, one per 50 ms of the transmission; empty for the test tone.
  std::vector<float> meterLevels_;
  size_t meterStep_ = 0;
  // Counts test tones asked for; one still on its way plays only while it is the latest.
  uint64_t testTones_ = 0;
  // Counts sound tests asked for; each status is told with its own number.
  uint64_t soundPreviews_ = 0;
  uint64_t transmission_ = 0;
  bool transmitAudioPlayedBack_ = false;
  std::chrono::milliseconds transmitDuration_{0};
  // The latest transmission's key call has not come back yet.
  bool awaitingKey_ = false;
  // The transcript entry of the latest transmission.
  QUuid transmittedMessage_;
  // The rig in use, as last saved: read at creation and after each save, not per call.
  std::optional<RigTxSettings> rig_;
  // The rig push-to-talk may be on at; none once a release came back without error.
  std::optional<RigTxSettings> pttRig_;
  // Key calls posted so far: a release settles only the keying posted before it.
  uint64_t keyCalls_ = 0;
  // The latest key call, until the exit withdraws it, and what push-to-talk was before it.
  std::shared_ptr<SerialQueue::Start> keyStart_;
  std::optional<RigTxSettings> pttRigBeforeKey_;
  // A failed release has been reported since the last key call or successful release.
  bool releaseFailureReported_ = false;
  // A tune asked for while push-to-talk may be on, run once it is released.
  std::optional<double> deferredTuneMHz_;
  bool exiting_ = false;

  // Declared late so that they go first: no rig or audio call runs once the rest is gone.
  std::unique_ptr<SerialQueue> rigQueue_;
  // Talking to the audio server can take seconds when it hangs: the capture engine lives on
  // this queue's thread, where it is started, stopped and finally destroyed.
  std::unique_ptr<SerialQueue> audioQueue_;
  std::unique_ptr<CaptureEngine> capture_;
  // Reads which output devices there are (and decodes the new-message sound) for the output
  // side, which must not wait behind a capture start.
  std::unique_ptr<SerialQueue> deviceQueue_;
};

Q_DECLARE_METATYPE(ChatViewModel::ReceiveQuality)
