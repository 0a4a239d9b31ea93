// The controller's construction, audio start with its retries, restarts and device changes.
#include "chat/ChatViewModel.h"

#include <QThread>
#include <QTimer>
#include <cmath>

#include "audio/AudioDeviceMonitor.h"
#include "audio/AudioLevels.h"
#include "audio/AudioSpectrum.h"
#include "audio/CaptureEngine.h"
#include "audio/NewMessageSound.h"
#include "audio/PlaybackEngine.h"
#include "audio/TransmitMonitor.h"
#include "audio/WaterfallBitmap.h"
#include "chat/AppSettings.h"
#include "chat/DisplayMailbox.h"
#include "chat/SerialQueue.h"

namespace {

constexpr std::size_t kSpectrumFftSize = 16384;

}  // namespace

// What an attempt to start capture came back with.
struct ChatViewModel::ListeningStart {
  std::optional<CaptureError> error;
  std::optional<QString> deviceUID;  // the device the engine was asked to open
};

ChatViewModel::ChatViewModel(AppSettings& settings, Timing timing, std::function<QDateTime()> now,
                             QObject* parent)
    : QObject(parent),
      settings_(settings),
      timing_(timing),
      now_(std::move(now)),
      waterfall_(std::make_unique<WaterfallBitmap>()),
      levels_(std::make_unique<AudioLevels>()),
      inputGain_(std::make_unique<LiveGain>()),
      decoder_(std::make_unique<KvolDecoder>()),
      spectrum_(std::make_unique<AudioSpectrum>(kSpectrumFftSize, int(CaptureEngine::kOutputRate))),
      playback_(std::make_unique<PlaybackEngine>()),
      transmitMonitor_(std::make_unique<TransmitMonitor>()),
      deviceMonitor_(std::make_unique<AudioDeviceMonitor>()),
      newMessageSound_(std::make_unique<NewMessageSound>()),
      displayMailbox_(std::make_unique<DisplayMailbox>()),
      sweepTimer_(new QTimer(this)),
      outputMeterTimer_(new QTimer(this)),
      rigPollTimer_(new QTimer(this)),
      rigStallTimer_(new QTimer(this)),
      releaseRetryTimer_(new QTimer(this)),
      releaseWaitTimer_(new QTimer(this)),
      transmitOverdueTimer_(new QTimer(this)),
      deferredTuneTimer_(new QTimer(this)),
      rigQueue_(std::make_unique<SerialQueue>(QStringLiteral("Palavrix.rig"))),
      audioQueue_(std::make_unique<SerialQueue>(QStringLiteral("Palavrix.audio"))),
      capture_(std::make_unique<CaptureEngine>()),
      deviceQueue_(std::make_unique<SerialQueue>(QStringLiteral("Palavrix.devices"))) {
  qRegisterMetaType<ChatViewModel::ReceiveQuality>();
  sweepTimer_->setInterval(timing_.sweepInterval);
  connect(sweepTimer_, &QTimer::timeout, this, &ChatViewModel::sweepStalledBubbles);
  outputMeterTimer_->setInterval(timing_.outputMeterInterval);
  rigPollTimer_->setSingleShot(true);
  connect(rigPollTimer_, &QTimer::timeout, this, &ChatViewModel::pollRigStatusLoop);
  rigStallTimer_->setSingleShot(true);
  rigStallTimer_->setInterval(timing_.rigPollInterval);
  connect(rigStallTimer_, &QTimer::timeout, this, &ChatViewModel::showRigNotResponding);
  releaseRetryTimer_->setSingleShot(true);
  releaseRetryTimer_->setInterval(timing_.releaseRetryInterval);
  connect(releaseRetryTimer_, &QTimer::timeout, this, &ChatViewModel::releasePushToTalk);
  releaseWaitTimer_->setSingleShot(true);
  releaseWaitTimer_->setInterval(timing_.releaseWait);
  connect(releaseWaitTimer_, &QTimer::timeout, this, [this] {
    if (pttRig_ && !exiting_) reportReleaseTrouble(rigSilentFor(timing_.releaseWait) + u'.');
  });
  transmitOverdueTimer_->setSingleShot(true);
  transmitOverdueTimer_->setTimerType(Qt::PreciseTimer);
  connect(transmitOverdueTimer_, &QTimer::timeout, this,
          [this] { transmitAudioOverdue(transmission_); });
  deferredTuneTimer_->setSingleShot(true);
  deferredTuneTimer_->setInterval(timing_.tuneWait);
  connect(deferredTuneTimer_, &QTimer::timeout, this, [this] {
    if (deferredTuneMHz_) tuneDropped();
  });
  // Otherwise the window opens on the defaults, without the rig, and says nothing.
  if (!settings_.startAlert().isEmpty()) setAlertMessage(settings_.startAlert());
  readRigSettings();
  connect(&settings_, &AppSettings::saved, this, &ChatViewModel::readRigSettings);

  decoder_->onMessageUpdated = [this](const KvolDecoder::Update& update) {
    postDecoderUpdate(update);
  };
  // Set once, before the engine moves to its thread, which may call them from then on.
  capture_->onSamples = [this](std::span<const int16_t> samples) {
    handleCapturedSamples(samples);
  };
  // Queued: the restart runs on the main thread, and stops the engine that is emitting.
  connect(capture_.get(), &CaptureEngine::needsRestart, this, &ChatViewModel::restartAudio,
          Qt::QueuedConnection);
  capture_->moveToThread(&audioQueue_->thread());
  startAudio();
  const float outputGain = linearGain(settings_.audioOutputGainDb());
  playback_->setGain(outputGain);
  connect(deviceMonitor_.get(), &AudioDeviceMonitor::changed, this,
          &ChatViewModel::handleAudioDeviceChange);
  deviceMonitor_->start();
  pollRigStatusLoop();
}

ChatViewModel::~ChatViewModel() {
  // Stopped and destroyed on its own thread; the capture thread leaves the handler before the
  // decoder and spectrum go.
  audioQueue_->runAndWait([this] { capture_.reset(); });
}

AudioLevels& ChatViewModel::levels() { return *levels_; }
WaterfallBitmap& ChatViewModel::waterfall() { return *waterfall_; }
LiveGain& ChatViewModel::inputGain() { return *inputGain_; }
PlaybackEngine& ChatViewModel::playbackEngine() { return *playback_; }

void ChatViewModel::setAlertMessage(const std::optional<QString>& text) {
  if (!text) {
    alertParts_.clear();
  } else if (!alertParts_.contains(*text)) {
    // A failure often follows from the one before (a release after a failed key call): the
    // first one's cause stays, the latest follows it.
    if (alertParts_.size() == 2) alertParts_.removeLast();
    alertParts_.append(*text);
  }
  showAlertParts();
}

void ChatViewModel::withdrawAlert(const QString& prefix) {
  alertParts_.removeIf([&](const QString& part) { return part.startsWith(prefix); });
  showAlertParts();
}

void ChatViewModel::replaceAlert(const QString& prefix, const QString& text) {
  for (QString& part : alertParts_) {
    if (part.startsWith(prefix)) part = text;
  }
  showAlertParts();
}

void ChatViewModel::showAlertParts() {
  const std::optional<QString> shown =
      alertParts_.isEmpty() ? std::nullopt : std::optional(alertParts_.join(u"\n\n"));
  if (alertMessage_ == shown) return;
  alertMessage_ = shown;
  emit alertMessageChanged();
}

void ChatViewModel::setPreviewedOutputDeviceUID(const std::optional<QString>& uid) {
  previewedOutputDeviceUID_ = uid;
}

void ChatViewModel::startAudio() {
  inputGain_->setLinear(linearGain(settings_.audioInputGainDb()));
  startListening(timing_.captureRetries, ++captureChain_);
}

void ChatViewModel::startListening(int retriesLeft, uint64_t chain) {
  // A later start owns capture now: an older chain must neither restart what it began nor
  // report a failure while it runs.
  if (chain != captureChain_) return;
  const std::optional<QString> uid = settings_.audioInputDeviceUID();
  listeningInputUID_ = uid;
  CaptureEngine* engine = capture_.get();
  // Device lookup and start each wait for the server: on the audio queue, not here.
  audioQueue_->call<ListeningStart>(
      [engine, uid] {
        const std::optional<AudioDeviceInfo> device =
            AudioDevices::device(uid, AudioDevices::defaultDevice(AudioDirection::input));
        return ListeningStart{engine->start(device),
                              device ? std::optional(device->uid) : std::nullopt};
      },
      [this, retriesLeft, chain](const ListeningStart& start) {
        listeningAttempted(retriesLeft, chain, start);
      });
}

void ChatViewModel::listeningAttempted(int retriesLeft, uint64_t chain,
                                       const ListeningStart& start) {
  const std::optional<CaptureError>& error = start.error;
  ++captureStartAttempts_;
  // A restart came after this attempt; the newer chain's attempts decide.
  if (chain != captureChain_) return;
  if (!error) {
    capturing_ = true;
    capturingDeviceUID_ = start.deviceUID;
    if (captureAlert_) withdrawAlert(*captureAlert_);
    captureAlert_.reset();
    return;
  }
  if (retriesLeft > 0) {
    QTimer::singleShot(timing_.captureRetryInterval, this,
                       [this, retriesLeft, chain] { startListening(retriesLeft - 1, chain); });
    return;
  }
  if (retriesLeft == 0) {
    QString text =
        QStringLiteral("Couldn't start listening on the audio input: ") + error->description;
    if (error->concernsTheDevice()) text += QStringLiteral(" Check the input device in Settings.");
    if (error->carriesDiagnostics()) text += QStringLiteral("\n\nDetails: ") + error->diagnostics;
    captureAlert_ = text;
    setAlertMessage(text);
  }
  // Having said so, keep trying, slowly and without saying it again: a frozen server gives no
  // notice when it thaws.
  QTimer::singleShot(timing_.captureLateRetryInterval, this,
                     [this, chain] { startListening(-1, chain); });
}

void ChatViewModel::restartAudio() {
  Q_ASSERT(QThread::currentThread() == thread());
  capturing_ = false;
  // Updates from before this point belong to audio that is being thrown away.
  const uint64_t generation = ++acceptedGeneration_;
  CaptureEngine* engine = capture_.get();
  KvolDecoder* decoder = decoder_.get();
  audioQueue_->post([this, engine, decoder, generation] {
    // Once stopped, the capture thread is out of the decoder: what it decodes from now on
    // comes from the new start, and it empties its buffer and resets the receiver first.
    engine->stop();
    captureGeneration_.store(generation, std::memory_order_release);
    decoder->requestReset();
  });
  finalizeAllLiveBubbles();
  startAudio();
}

void ChatViewModel::applyAudioSettings() {
  Q_ASSERT(QThread::currentThread() == thread());
  // The gain is applied to each block as it comes: no restart for it.
  inputGain_->setLinear(linearGain(settings_.audioInputGainDb()));
  const std::optional<QString> wanted = settings_.audioInputDeviceUID();
  // The default device, named now that the operator confirmed it, is the one already open.
  const bool sameInput = wanted == listeningInputUID_ || (wanted && wanted == capturingDeviceUID_);
  // A restart throws away what is being received: only when it brings something.
  if (capturing_ && sameInput) return;
  restartAudio();
}

void ChatViewModel::handleAudioDeviceChange() {
  Q_ASSERT(QThread::currentThread() == thread());
  // The output is looked up afresh at the next send.
  playback_->setStale();
  const uint64_t chain = captureChain_;
  // Behind any start still under way, so the devices read are those it will have found.
  audioQueue_->call<AudioDeviceSnapshot>(
      [] { return AudioDeviceSnapshot::read(); },
      [this, chain](const AudioDeviceSnapshot& devices) { inputDevicesChecked(chain, devices); });
}

void ChatViewModel::inputDevicesChecked(uint64_t chain, const AudioDeviceSnapshot& devices) {
  ++audioDeviceChecks_;
  // A start since the change has chosen its device from what is there now.
  if (chain != captureChain_) return;
  // A restart cuts the message being received: a headset or a monitor's output coming or going
  // elsewhere must not do that. Nor a server too busy to answer: capture whose server is gone or
  // frozen asks for its own restart.
  if (capturing_ && (devices.failure() || !inputChangedUnderCapture(devices))) return;
  restartAudio();
}

bool ChatViewModel::inputChangedUnderCapture(const AudioDeviceSnapshot& devices) const {
  // The device a start would open now, chosen as startListening chooses it.
  const std::optional<AudioDeviceInfo> wanted =
      devices.device(settings_.audioInputDeviceUID(), devices.defaultDevice(AudioDirection::input));
  const std::optional<QString> wantedUID = wanted ? std::optional(wanted->uid) : std::nullopt;
  return wantedUID != capturingDeviceUID_;
}
