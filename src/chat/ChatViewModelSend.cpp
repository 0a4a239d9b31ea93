// Sending: the composer, encoding, push-to-talk timing, the output meter, the test tone and
// the sound preview. Main thread; push-to-talk runs on the rig queue.
#include <QThread>
#include <QTimer>
#include <cmath>

#include "audio/AudioLevels.h"
#include "audio/NewMessageSound.h"
#include "audio/PlaybackEngine.h"
#include "audio/TransmitMonitor.h"
#include "chat/AppSettings.h"
#include "chat/ChatViewModel.h"
#include "chat/MessageCase.h"
#include "chat/SerialQueue.h"
#include "chat/TextCharacters.h"
#include "rig/RigBridge.h"
#include "rig/RigControl.h"

namespace {

// 50 ms of transmit audio per output-meter step.
constexpr std::size_t kMeterChunkSamples = 2400;
constexpr double kTestToneHz = 1000.0;
constexpr float kTestToneLevel = 0.97f;
constexpr int kRigErrorBufferSize = 256;

const QString kTransmitAudioFailedPrefix = QStringLiteral("Couldn't play the transmit audio: ");
const QString kTransmissionInterruptedText = QStringLiteral(
    "The transmission was interrupted for a moment, so the message may not have arrived whole.");
const QString kNotEncodableText = QStringLiteral(
    "This message couldn't be encoded for KVOL (it may need more than 16 frames' worth of "
    "compact atoms to send).");

// Rig thread. None on success, else the bridge's reason.
std::optional<std::string> setPushToTalk(const RigTxSettings& rig, bool on) {
  const std::optional<int> model = RigControl::bridgeModel(rig.model);
  if (!model) return std::string("Could not initialize this rig model.");
  char error[kRigErrorBufferSize] = {};
  const std::string conf = rig.serial.hamlibConfig();
  if (rigbridge_set_ptt(*model, rig.port.c_str(), conf.c_str(), on ? 1 : 0, error,
                        kRigErrorBufferSize)) {
    return std::nullopt;
  }
  return RigControl::stringFromCBuffer(error, kRigErrorBufferSize);
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

std::optional<AudioDeviceInfo> ChatViewModel::transmitDevice() const {
  const std::optional<QString> uid =
      previewedOutputDeviceUID_ ? previewedOutputDeviceUID_ : settings_.audioOutputDeviceUID();
  return AudioDevices::device(uid, AudioDevices::defaultDevice(AudioDirection::output));
}

void ChatViewModel::transmit(std::vector<int16_t> samples) {
  if (samples.empty()) return;
  setIsSending(true);
  const uint64_t transmission = ++transmission_;
  const std::optional<RigTxSettings> rig = settings_.rigTxSettings();
  const std::optional<AudioDeviceInfo> device = transmitDevice();
  keyedRig_ = rig;
  if (rig) postPushToTalk(*rig, true);
  const std::chrono::milliseconds lead = rig ? timing_.pttLead : std::chrono::milliseconds(0);
  const std::chrono::milliseconds duration(int64_t(samples.size()) * 1000 /
                                           int64_t(PlaybackEngine::kSampleRate));
  auto shared = std::make_shared<const std::vector<int16_t>>(std::move(samples));
  QTimer::singleShot(lead, Qt::PreciseTimer, this, [this, shared, device, transmission] {
    playTransmitAudio(*shared, device, transmission);
  });
  // Push-to-talk goes off by the clock, not by the player's report.
  QTimer::singleShot(lead + duration + timing_.pttTail, Qt::PreciseTimer, this,
                     [this, transmission] { finishTransmit(transmission); });
}

void ChatViewModel::playTransmitAudio(std::span<const int16_t> samples,
                                      const std::optional<AudioDeviceInfo>& device,
                                      uint64_t transmission) {
  if (!samples.empty()) {
    if (const std::optional<PlaybackError> error = playback_->prepare(device)) {
      transmitAudioFailed(transmission, *error);
      return;
    }
    if (PlaybackBuffer buffer = PlaybackEngine::makeBuffer(samples)) {
      PlaybackEngine::Reports reports;
      reports.onFailed = [this, transmission](const PlaybackError& error) {
        transmitAudioFailed(transmission, error);
      };
      reports.onUnderrun = [this, transmission] {
        if (transmission == transmission_) setAlertMessage(kTransmissionInterruptedText);
      };
      playback_->schedule(std::move(buffer), false, std::move(reports));
      playback_->play();
    }
  }
  transmitMonitor_->load(applyGain({samples.begin(), samples.end()}, playback_->gain()));
  startOutputMeter(samples);
}

void ChatViewModel::transmitAudioFailed(uint64_t transmission, const PlaybackError& error) {
  if (transmission != transmission_) return;
  setAlertMessage(kTransmitAudioFailedPrefix + error.description);
  // Nothing more goes on the air: unkey now rather than at the planned end, and let the
  // transcript say the message did not go out whole.
  const qsizetype row = messages_.rowOf(transmittedMessage_);
  if (row >= 0) {
    ChatMessage message = messages_.at(row);
    message.decodeState = ChatMessage::DecodeState::incomplete;
    messages_.replace(row, message);
  }
  finishTransmit(transmission);
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
  outputMeterTimer_->stop();
  outputMeterTimer_->disconnect(this);
  levels_->setOutputDb(kLevelFloorDb);
}

void ChatViewModel::finishTransmit(uint64_t transmission) {
  if (transmission != transmission_ || !isSending_) return;
  if (keyedRig_) postPushToTalk(*std::exchange(keyedRig_, std::nullopt), false);
  transmitMonitor_->clear();
  stopOutputMeter();
  setIsSending(false);
}

void ChatViewModel::postPushToTalk(const RigTxSettings& rig, bool on) {
  rigQueue_->call<std::optional<std::string>>(
      [rig, on] { return setPushToTalk(rig, on); },
      [this, on](std::optional<std::string> error) {
        // A transcript that says a message went out, or a transmitter left keyed, must not
        // pass in silence.
        if (!error) return;
        setAlertMessage((on ? QStringLiteral("Couldn't key the transmitter: ")
                            : QStringLiteral("Couldn't release push-to-talk: ")) +
                        QString::fromStdString(*error).trimmed());
      });
}

void ChatViewModel::releasePushToTalkBeforeExit() {
  Q_ASSERT(QThread::currentThread() == thread());
  if (!isSending_ || !keyedRig_) return;
  const RigTxSettings rig = *std::exchange(keyedRig_, std::nullopt);
  // Behind the queue, so that a push-to-talk on still waiting there cannot key it again after.
  rigQueue_->runAndWait([rig] { setPushToTalk(rig, false); });
}

void ChatViewModel::playTestTone() {
  if (isSending_) return;
  if (const std::optional<PlaybackError> error =
          playback_->playTone(transmitDevice(), kTestToneHz, kTestToneLevel)) {
    setAlertMessage(QStringLiteral("Couldn't play the test tone: ") + error->description);
    return;
  }
  const float toneDb = 20.0f * std::log10(kTestToneLevel);
  outputMeterTimer_->stop();
  outputMeterTimer_->disconnect(this);
  connect(outputMeterTimer_, &QTimer::timeout, this,
          [this, toneDb] { levels_->updateOutput(toneDb); });
  outputMeterTimer_->start();
}

QString ChatViewModel::previewNewMessageSound() {
  const std::optional<AudioDeviceInfo> device = transmitDevice();
  return newMessageSound_->play(device ? std::optional<QString>(device->uid) : std::nullopt);
}
