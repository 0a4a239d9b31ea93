// Sending: the composer, encoding, push-to-talk timing, the output meter, the test tone and
// the sound preview. Main thread; push-to-talk runs on the rig queue.
#include <QThread>
#include <QTimer>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "audio/AudioLevels.h"
#include "audio/NewMessageSound.h"
#include "audio/PlaybackEngine.h"
#include "audio/TransmitMonitor.h"
#include "chat/AppSettings.h"
#include "chat/ChatViewModel.h"
#include "chat/MessageCase.h"
#include "chat/SerialQueue.h"
#include "chat/TextCharacters.h"
#include "rig/RigControl.h"

namespace {

// 50 ms of transmit audio per output-meter step.
constexpr std::size_t kMeterChunkSamples = 2400;
constexpr double kTestToneHz = 1000.0;
constexpr float kTestToneLevel = 0.97f;
// How long after its expected end a transmission may wait for the player's report.
constexpr std::chrono::milliseconds kPlayedBackAllowance{3000};
// Between the exit's attempts to release push-to-talk.
constexpr std::chrono::milliseconds kExitReleasePause{200};

const QString kReleaseFailedText = QStringLiteral("Couldn't release push-to-talk: ");
const QString kMayStillBeKeyedText =
    QStringLiteral("\n\nThe transmitter may still be keyed. Palavrix keeps trying to release it.");

const QString kTransmitAudioFailedPrefix = QStringLiteral("Couldn't play the transmit audio: ");
const QString kTestToneFailedPrefix = QStringLiteral("Couldn't play the test tone: ");
const QString kTransmissionInterruptedText = QStringLiteral(
    "The transmission was interrupted for a moment, so the message may not have arrived whole.");
const QString kTransmissionCutOffText = QStringLiteral(
    "The transmission was cut off: the audio output stopped playing it, so push-to-talk was "
    "released before the whole message had gone out.");
const QString kNotEncodableText = QStringLiteral(
    "This message couldn't be encoded for KVOL (it may need more than 16 frames' worth of "
    "compact atoms to send).");

// Rig thread. Releases push-to-talk, trying again until it is released or the deadline passed.
bool releaseUntil(const RigTxSettings& rig, std::chrono::steady_clock::time_point deadline) {
  while (RigControl::setPushToTalk(rig, false)) {
    if (std::chrono::steady_clock::now() + kExitReleasePause >= deadline) return false;
    std::this_thread::sleep_for(kExitReleasePause);
  }
  return true;
}

}  // namespace

void ChatViewModel::setInputText(const QString& text) {
  const QString capped = TextCharacters::first(text, kMaxMessageCharacters);
  const bool wasCut = capped.size() != text.size();
  if (capped == inputText_ && !wasCut) return;
  inputText_ = capped;
  // Also when cut back to the text already held, so that a view showing the longer text
  // reads it again.
  emit inputTextChanged();
}

void ChatViewModel::setIsSending(bool sending) {
  if (isSending_ == sending) return;
  isSending_ = sending;
  emit isSendingChanged();
}

std::optional<QString> ChatViewModel::textWithCallsign(const QString& text) const {
  const QString callsign = TextCharacters::trimmedBlanksAndTabs(settings_.callsign());
  if (!settings_.appendCallsign() || callsign.isEmpty()) return std::nullopt;
  const QString candidate = text + QStringLiteral(" de ") + callsign;
  if (TextCharacters::count(candidate) > kMaxMessageCharacters) return std::nullopt;
  return candidate;
}

void ChatViewModel::send() {
  Q_ASSERT(QThread::currentThread() == thread());
  const QString text = TextCharacters::trimmedBlanksAndTabs(inputText_);
  if (text.isEmpty() || isSending_) return;
  // Encoding shares nothing with a decode in progress on the capture thread, so it never waits.
  KvolDecoder::Encoded encoded = decoder_->encode(text.toStdString(), float(kTransmitToneHz));
  if (const std::optional<QString> withCallsign = textWithCallsign(text)) {
    KvolDecoder::Encoded suffixed =
        decoder_->encode(withCallsign->toStdString(), float(kTransmitToneHz));
    if (suffixed.ok) encoded = std::move(suffixed);
  }
  if (!encoded.ok) {
    setAlertMessage(kNotEncodableText);
    return;
  }
  QString shown = QString::fromStdString(encoded.sentText);
  if (settings_.capitalizeMessages()) shown = MessageCase::apply(shown);
  transmittedMessage_ = QUuid::createUuid();
  messages_.append(ChatMessage{transmittedMessage_, shown, true, ChatMessage::DecodeState::complete,
                               now_(), std::nullopt});
  lastSentText_ = text;
  setInputText(QString());
  transmit(std::move(encoded.samples));
}

std::optional<QString> ChatViewModel::transmitDeviceUID() const {
  return previewedOutputDeviceUID_ ? previewedOutputDeviceUID_ : settings_.audioOutputDeviceUID();
}

void ChatViewModel::transmitDevice(std::function<void(TransmitDevice)> done) {
  deviceQueue_->call<TransmitDevice>(
      [uid = transmitDeviceUID()] {
        const AudioDeviceSnapshot devices = AudioDeviceSnapshot::read();
        return TransmitDevice(devices.device(uid, devices.defaultDevice(AudioDirection::output)),
                              devices.failure());
      },
      std::move(done));
}

void ChatViewModel::transmit(std::vector<int16_t> samples) {
  if (samples.empty() || exiting_) return;
  setIsSending(true);
  const uint64_t transmission = ++transmission_;
  transmitAudioPlayedBack_ = false;
  auto shared = std::make_shared<const std::vector<int16_t>>(std::move(samples));
  if (!rig_) {
    QTimer::singleShot(0, Qt::PreciseTimer, this,
                       [this, transmission, shared] { startTransmitAudio(transmission, *shared); });
    return;
  }
  // The lead counts from the moment the rig has keyed, not from when the call was posted: a
  // poll ahead of it or a slow rig would otherwise cut the start of the audio.
  const std::optional<RigTxSettings> before = pttRig_;
  awaitingKey_ = true;
  const std::shared_ptr<SerialQueue::Start> key =
      keyPushToTalk(*rig_, [this, transmission, shared](std::optional<std::string> error) {
        // A key that comes back after the send gave up is released by the call posted then,
        // which runs right behind it; nothing is played for it.
        if (transmission != transmission_ || !isSending_) return;
        keyAnswered(transmission, shared, error);
      });
  QTimer::singleShot(timing_.keyWait, Qt::PreciseTimer, this, [this, transmission, key, before] {
    if (transmission != transmission_ || !isSending_ || !awaitingKey_) return;
    // A rig call ahead of it, or the key call itself, hangs: the operator is not kept waiting.
    awaitingKey_ = false;
    if (key->withdraw()) pttRig_ = before;  // nothing was keyed
    setAlertMessage(QStringLiteral("Couldn't key the transmitter: ") +
                    rigSilentFor(timing_.keyWait) +
                    QStringLiteral(", so the message was not sent."));
    markTransmittedMessageIncomplete();
    finishTransmit(transmission);
  });
}

void ChatViewModel::keyAnswered(uint64_t transmission,
                                std::shared_ptr<const std::vector<int16_t>> samples,
                                const std::optional<std::string>& error) {
  awaitingKey_ = false;
  if (error) {
    setAlertMessage(QStringLiteral("Couldn't key the transmitter: ") +
                    QString::fromStdString(*error).trimmed());
    markTransmittedMessageIncomplete();
    finishTransmit(transmission);
    return;
  }
  QTimer::singleShot(timing_.pttLead, Qt::PreciseTimer, this,
                     [this, transmission, samples] { startTransmitAudio(transmission, *samples); });
}

void ChatViewModel::startTransmitAudio(uint64_t transmission, std::span<const int16_t> samples) {
  if (transmission != transmission_ || !isSending_ || exiting_) return;
  // Push-to-talk stays on until the player has played the last sample, plus the tail; the clock
  // only guards against a report that never comes. It counts again from each moment the audio
  // gets further: handed to the player, and started at the sink (which, waking from suspend,
  // may take seconds), so that a late start is not taken for a report that never comes.
  transmitDuration_ = std::chrono::milliseconds(int64_t(samples.size()) * 1000 /
                                                int64_t(PlaybackEngine::kSampleRate));
  restartOverdueClock();
  playTransmitAudio(samples, transmission, [this, transmission] {
    if (transmission == transmission_) transmitAudioPlayedBack_ = true;
    QTimer::singleShot(timing_.pttTail, Qt::PreciseTimer, this,
                       [this, transmission] { finishTransmit(transmission); });
  });
}

void ChatViewModel::playTransmitAudio(std::span<const int16_t> samples, uint64_t transmission,
                                      std::function<void()> playedBack) {
  PlaybackBuffer buffer = PlaybackEngine::makeBuffer(samples);
  if (!buffer) return;  // nothing to play: the transmission ends on the clock
  // The output is looked up and readied without waiting; the audio, the waterfall's copy and
  // the meter start together once it is ready, unless the transmission has ended meanwhile.
  auto current = [this, transmission] { return transmission == transmission_ && isSending_; };
  transmitDevice([this, current, transmission, buffer,
                  playedBack = std::move(playedBack)](TransmitDevice output) {
    if (!current()) return;
    if (output.second) {
      transmitAudioFailed(transmission, PlaybackError{*output.second});
      return;
    }
    playback_->prepare(output.first, [this, current, transmission, buffer,
                                      playedBack](const std::optional<PlaybackError>& error) {
      if (!current()) return;
      if (error) {
        transmitAudioFailed(transmission, *error);
        return;
      }
      PlaybackReports reports;
      reports.onPlayedBack = playedBack;
      reports.onFailed = [this, transmission](const PlaybackError& failure) {
        transmitAudioFailed(transmission, failure);
      };
      reports.onUnderrun = [this, transmission] {
        if (transmission == transmission_) setAlertMessage(kTransmissionInterruptedText);
      };
      reports.onStarted = [this, transmission] {
        if (transmission == transmission_ && isSending_) restartOverdueClock();
      };
      restartOverdueClock();
      playback_->schedule(buffer, false, std::move(reports));
      playback_->play();
      transmitMonitor_->load(applyGain(*buffer, playback_->gain()));
      startOutputMeter(*buffer);
    });
  });
}

void ChatViewModel::transmitAudioFailed(uint64_t transmission, const PlaybackError& error) {
  if (transmission != transmission_) return;
  setAlertMessage(kTransmitAudioFailedPrefix + error.description);
  // Nothing more goes on the air: unkey now rather than at the planned end, and let the
  // transcript say the message did not go out whole.
  markTransmittedMessageIncomplete();
  finishTransmit(transmission);
}

void ChatViewModel::restartOverdueClock() {
  transmitOverdueTimer_->start(transmitDuration_ + timing_.pttTail + kPlayedBackAllowance);
}

void ChatViewModel::transmitAudioOverdue(uint64_t transmission) {
  if (transmission != transmission_ || !isSending_ || transmitAudioPlayedBack_) return;
  // The server stalled or lost track: the rest of the message must not go out unkeyed later.
  setAlertMessage(kTransmissionCutOffText);
  markTransmittedMessageIncomplete();
  finishTransmit(transmission);
}

void ChatViewModel::markTransmittedMessageIncomplete() {
  const qsizetype row = messages_.rowOf(transmittedMessage_);
  if (row < 0) return;
  ChatMessage message = messages_.at(row);
  message.decodeState = ChatMessage::DecodeState::incomplete;
  messages_.replace(row, message);
}

void ChatViewModel::startOutputMeter(std::span<const int16_t> samples) {
  meterLevels_.clear();
  for (std::size_t at = 0; at < samples.size(); at += kMeterChunkSamples) {
    meterLevels_.push_back(
        peakLevelDb(samples.subspan(at, std::min(kMeterChunkSamples, samples.size() - at))));
  }
  meterStep_ = 0;
  outputMeterTimer_->disconnect(this);
  connect(outputMeterTimer_, &QTimer::timeout, this, [this] {
    if (meterStep_ < meterLevels_.size()) {
      levels_->updateOutput(meterLevels_[meterStep_++]);
    } else {
      stopOutputMeter();
    }
  });
  outputMeterTimer_->start();
}

void ChatViewModel::stopOutputMeter() {
  ++testTones_;  // a test tone still on its way is not wanted any more
  outputMeterTimer_->stop();
  outputMeterTimer_->disconnect(this);
  levels_->setOutputDb(kLevelFloorDb);
}

void ChatViewModel::finishTransmit(uint64_t transmission) {
  if (transmission != transmission_ || !isSending_) return;
  // Nothing of the message may be heard once push-to-talk is off: the player stops and drops
  // what the server still holds (a frozen server does so when it thaws) before the release.
  playback_->stopPlayer();
  transmitOverdueTimer_->stop();
  if (pttRig_) releasePushToTalk();
  if (deferredTuneMHz_) deferredTuneTimer_->start();
  transmitMonitor_->clear();
  stopOutputMeter();
  setIsSending(false);
}

std::shared_ptr<SerialQueue::Start> ChatViewModel::keyPushToTalk(
    const RigTxSettings& rig, std::function<void(std::optional<std::string>)> keyed) {
  releaseRetryTimer_->stop();
  releaseWaitTimer_->stop();
  // A new transmission: a release that fails after it is news again.
  releaseFailureReported_ = false;
  // May be on from now: the call may key the rig and still fail (a reply that came too late).
  const std::optional<RigTxSettings> before = std::exchange(pttRig_, rig);
  const uint64_t keyCall = ++keyCalls_;
  struct Outcome {
    std::optional<std::string> error;
    bool sent = false;
  };
  const std::shared_ptr<SerialQueue::Start> start = rigQueue_->callUnlessWithdrawn<Outcome>(
      [rig] {
        Outcome outcome;
        outcome.error = RigControl::setPushToTalk(rig, true, &outcome.sent);
        return outcome;
      },
      [this, before, keyCall, keyed = std::move(keyed)](Outcome outcome) {
        // A key command that never went out to the rig keyed nothing: nothing to release.
        if (outcome.error && !outcome.sent && keyCall == keyCalls_ && !exiting_) pttRig_ = before;
        keyed(std::move(outcome.error));
      });
  keyStart_ = start;
  pttRigBeforeKey_ = before;
  return start;
}

void ChatViewModel::releasePushToTalk() {
  if (!pttRig_ || exiting_) return;
  releaseRetryTimer_->stop();
  // A release stuck in the rig's connection may take minutes to come back: the operator hears
  // of it long before.
  releaseWaitTimer_->start();
  const RigTxSettings rig = *pttRig_;
  rigQueue_->call<std::optional<std::string>>(
      [rig] { return RigControl::setPushToTalk(rig, false); },
      [this, rig, keyCall = keyCalls_](std::optional<std::string> error) {
        // A key call posted since, or the exit's own release, settles it now.
        if (keyCall != keyCalls_ || exiting_) return;
        releaseWaitTimer_->stop();
        if (!error) {
          pttRig_.reset();
          releaseFailureReported_ = false;
          withdrawAlert(kReleaseFailedText);
          if (const std::optional<double> mhz = std::exchange(deferredTuneMHz_, std::nullopt))
            tune(*mhz);
          return;
        }
        reportReleaseTrouble(QString::fromStdString(*error).trimmed());
        if (rig == rig_) releaseRetryTimer_->start();
      });
}

// A transmitter left keyed must not pass in silence, and is released as soon as the rig answers
// again. Said once: the retries only bring the standing alert up to date, and an operator who
// dismissed it is not interrupted again for the same trouble.
void ChatViewModel::reportReleaseTrouble(const QString& reason) {
  const QString text = kReleaseFailedText + reason + kMayStillBeKeyedText;
  if (std::exchange(releaseFailureReported_, true)) {
    replaceAlert(kReleaseFailedText, text);
  } else {
    withdrawAlert(kReleaseFailedText);
    setAlertMessage(text);
  }
}

// Stops everything that would still talk to the rig: the exit's release goes next.
void ChatViewModel::stopRigCallsForExit() {
  exiting_ = true;
  releaseRetryTimer_->stop();
  releaseWaitTimer_->stop();
  rigPollTimer_->stop();
  deferredTuneMHz_.reset();
  // A key call that has not started never will: it keyed nothing, and nothing waits for it.
  if (keyStart_ && keyStart_->withdraw()) pttRig_ = pttRigBeforeKey_;
  keyStart_.reset();
  rigQueue_->dropPending();
  if (isSending_) {
    ++transmission_;
    playback_->stopPlayer();
    transmitMonitor_->clear();
    stopOutputMeter();
    setIsSending(false);
  }
}

void ChatViewModel::releasePushToTalkForExit(std::chrono::milliseconds limit,
                                             std::function<void(bool)> done) {
  Q_ASSERT(QThread::currentThread() == thread());
  stopRigCallsForExit();
  if (!pttRig_) {
    QMetaObject::invokeMethod(
        this, [done] { done(true); }, Qt::QueuedConnection);
    return;
  }
  // Whichever comes first, the release or the limit, answers; the other finds it answered.
  auto answered = std::make_shared<bool>(false);
  auto answer = [this, answered, done](bool released) {
    if (std::exchange(*answered, true)) return;
    if (released) pttRig_.reset();
    done(released);
  };
  QTimer::singleShot(limit, this, [answer] { answer(false); });
  const auto deadline = std::chrono::steady_clock::now() + limit;
  rigQueue_->call<bool>([rig = *pttRig_, deadline] { return releaseUntil(rig, deadline); }, answer,
                        true);
}

bool ChatViewModel::releasePushToTalkAndWait(std::chrono::milliseconds limit) {
  Q_ASSERT(QThread::currentThread() == thread());
  stopRigCallsForExit();
  if (!pttRig_) return true;
  struct Outcome {
    std::mutex mutex;
    std::condition_variable ended;
    std::optional<bool> released;
  };
  auto outcome = std::make_shared<Outcome>();
  const auto deadline = std::chrono::steady_clock::now() + limit;
  rigQueue_->postNext([rig = *pttRig_, deadline, outcome] {
    const bool released = releaseUntil(rig, deadline);
    std::lock_guard lock(outcome->mutex);
    outcome->released = released;
    outcome->ended.notify_all();
  });
  std::unique_lock lock(outcome->mutex);
  outcome->ended.wait_until(lock, deadline, [&] { return outcome->released.has_value(); });
  if (!outcome->released.value_or(false)) return false;
  pttRig_.reset();
  return true;
}

QString ChatViewModel::pushToTalkWarning() const {
  const RigTxSettings rig = pttRig_.value_or(RigTxSettings{});
  return QStringLiteral(
             "Push-to-talk may still be keyed on the rig of Hamlib model %1 at \"%2\": it was "
             "not released before the program ended.")
      .arg(rig.model)
      .arg(QString::fromStdString(rig.port));
}

void ChatViewModel::playTestTone() {
  if (isSending_) return;
  const uint64_t tone = ++testTones_;
  transmitDevice([this, tone](TransmitDevice output) {
    if (tone != testTones_ || isSending_) return;
    if (output.second) {
      setAlertMessage(kTestToneFailedPrefix + *output.second);
      return;
    }
    playback_->playTone(output.first, kTestToneHz, kTestToneLevel,
                        [this, tone](const std::optional<PlaybackError>& error) {
                          if (tone != testTones_) return;
                          if (error) {
                            setAlertMessage(kTestToneFailedPrefix + error->description);
                            return;
                          }
                          const float toneDb = 20.0f * std::log10(kTestToneLevel);
                          outputMeterTimer_->stop();
                          outputMeterTimer_->disconnect(this);
                          connect(outputMeterTimer_, &QTimer::timeout, this,
                                  [this, toneDb] { levels_->updateOutput(toneDb); });
                          outputMeterTimer_->start();
                        });
  });
}

uint64_t ChatViewModel::previewNewMessageSound() {
  const uint64_t request = ++soundPreviews_;
  playSound(
      [this, request](const QString& status) { emit newMessageSoundPreviewed(request, status); });
  return request;
}

void ChatViewModel::playSound(std::function<void(const QString&)> told) {
  // Which devices there are, and the decoded sound, come from the device queue.
  deviceQueue_->call<NewMessageSound::Pick>(
      [uid = transmitDeviceUID(), file = newMessageSound_->soundFile()] {
        const AudioDeviceSnapshot devices = AudioDeviceSnapshot::read();
        const std::optional<AudioDeviceInfo> transmit =
            devices.device(uid, devices.defaultDevice(AudioDirection::output));
        return NewMessageSound::pick(file, devices,
                                     transmit ? std::optional(transmit->uid) : std::nullopt);
      },
      [this, told = std::move(told)](NewMessageSound::Pick pick) {
        newMessageSound_->play(pick, told);
      });
}
