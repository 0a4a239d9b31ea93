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
#include "chat/RigQueue.h"

namespace {

constexpr std::size_t kSpectrumFftSize = 16384;

float linearGain(double db) { return float(std::pow(10.0, db / 20.0)); }

}  // namespace

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
      rigQueue_(std::make_unique<RigQueue>()),
      capture_(std::make_unique<CaptureEngine>()) {
  qRegisterMetaType<ChatViewModel::ReceiveQuality>();
  sweepTimer_->setInterval(timing_.sweepInterval);
  connect(sweepTimer_, &QTimer::timeout, this, &ChatViewModel::sweepStalledBubbles);
  outputMeterTimer_->setInterval(timing_.outputMeterInterval);
  rigPollTimer_->setSingleShot(true);
  connect(rigPollTimer_, &QTimer::timeout, this, &ChatViewModel::pollRigStatusLoop);

  decoder_->onMessageUpdated = [this](const KvolDecoder::Update& update) {
    postDecoderUpdate(update);
  };
  startAudio();
  const float outputGain = linearGain(settings_.audioOutputGainDb());
  playback_->setGain(outputGain);
  deviceMonitor_->onChange = [this] { handleAudioDeviceChange(); };
  deviceMonitor_->start();
  pollRigStatusLoop();
}

ChatViewModel::~ChatViewModel() {
  // The capture thread must leave the handler before the decoder and spectrum go.
  capture_->stop();
}

AudioLevels& ChatViewModel::levels() { return *levels_; }
WaterfallBitmap& ChatViewModel::waterfall() { return *waterfall_; }
LiveGain& ChatViewModel::inputGain() { return *inputGain_; }
PlaybackEngine& ChatViewModel::playbackEngine() { return *playback_; }

void ChatViewModel::setAlertMessage(const std::optional<QString>& text) {
  if (alertMessage_ == text) return;
  alertMessage_ = text;
  emit alertMessageChanged();
}

void ChatViewModel::setPreviewedOutputDeviceUID(const std::optional<QString>& uid) {
  previewedOutputDeviceUID_ = uid;
}

bool ChatViewModel::isCapturing() const { return capture_->isRunning(); }

void ChatViewModel::startAudio() {
  inputGain_->setLinear(linearGain(settings_.audioInputGainDb()));
  capture_->onSamples = [this](std::span<const int16_t> samples) {
    handleCapturedSamples(samples);
  };
  // Posted, not run in place: the restart replaces this very callback and stops the engine
  // that is calling it.
  capture_->onNeedsRestart = [this] {
    QMetaObject::invokeMethod(this, &ChatViewModel::restartAudio, Qt::QueuedConnection);
  };
  startListening(timing_.captureRetries, ++captureChain_);
}

void ChatViewModel::startListening(int retriesLeft, uint64_t chain) {
  // A later start owns capture now: an older chain must neither restart what it began nor
  // report a failure while it runs.
  if (chain != captureChain_) return;
  const std::optional<AudioDeviceInfo> device = AudioDevices::device(
      settings_.audioInputDeviceUID(), AudioDevices::defaultDevice(AudioDirection::input));
  ++captureStartAttempts_;
  const std::optional<CaptureError> error = capture_->start(device);
  if (!error) return;
  if (retriesLeft >= 1) {
    QTimer::singleShot(timing_.captureRetryInterval, this,
                       [this, retriesLeft, chain] { startListening(retriesLeft - 1, chain); });
    return;
  }
  QString text = QStringLiteral("Couldn't start listening on the audio input: ") +
                 error->description + QStringLiteral(" Check the input device in Settings.");
  if (error->carriesDiagnostics()) text += QStringLiteral("\n\nDetails: ") + error->diagnostics;
  setAlertMessage(text);
}

void ChatViewModel::restartAudio() {
  Q_ASSERT(QThread::currentThread() == thread());
  capture_->stop();
  // Updates still queued from before this point belong to audio that is being thrown away.
  receiveGeneration_.fetch_add(1, std::memory_order_acq_rel);
  // Capture has stopped, so the capture thread is not inside the decoder; it empties its
  // buffer and resets the receiver before its next block.
  decoder_->requestReset();
  finalizeAllLiveBubbles();
  startAudio();
}

void ChatViewModel::handleAudioDeviceChange() {
  Q_ASSERT(QThread::currentThread() == thread());
  playback_->setStale();
  restartAudio();
}
