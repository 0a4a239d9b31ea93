#include "audio/CaptureEngine.h"

#include <pthread.h>
#include <pulse/error.h>

#include <QDBusConnection>
#include <QThread>
#include <QTimer>
#include <cmath>
#include <thread>
#include <vector>

#include "audio/AudioLog.h"
#include "audio/CaptureBlockQueue.h"
#include "audio/CaptureConverter.h"
#include "audio/pulse/PulseConnection.h"
#include "audio/pulse/PulseDevices.h"
#include "audio/pulse/PulseRecordStream.h"

namespace {

QString pulseText(int error) { return QString::fromStdString(pulse::errorText(error)); }

}  // namespace

// One start's pipeline: the queue between the mainloop thread and the capture thread, the
// converter and the capture thread itself.
struct CaptureEngine::Run {
  Run(uint32_t inputRate, uint32_t inputChannels, size_t queueBlocks,
      std::function<void(std::span<const int16_t>)> handler)
      : rate(inputRate),
        channels(inputChannels),
        queue(queueBlocks, kBlockFrames),
        converter(inputRate, kBlockFrames),
        onSamples(std::move(handler)) {}

  ~Run() { finish(); }

  // Waits until the capture thread has left onSamples and ended.
  void finish() {
    queue.close();
    if (thread.joinable()) thread.join();
  }

  void begin() {
    thread = std::thread([this] { loop(); });
  }

  void loop() {
    pthread_setname_np(pthread_self(), "palavrix-rx");
    bool first = true;
    uint64_t droppedReported = 0;
    for (;;) {
      const std::span<const float> block = queue.waitForBlock();
      if (block.empty()) return;
      if (first) {
        first = false;
        qCInfo(lcAudio).noquote()
            << QStringLiteral("Receiving audio: %1 Hz, %2 ch").arg(rate).arg(channels);
      }
      const std::span<const int16_t> samples = converter.convert(block);
      queue.pop();
      // soxr holds back its filter delay at first: an early block may give nothing.
      if (!samples.empty() && onSamples) onSamples(samples);

      const uint64_t dropped = queue.dropped();
      if (dropped != droppedReported) {
        qCWarning(lcAudio).noquote()
            << QStringLiteral("Dropped %1 captured blocks in all: the sample handler fell behind")
                   .arg(dropped);
        droppedReported = dropped;
      }
    }
  }

  const uint32_t rate;
  const uint32_t channels;
  CaptureBlockQueue queue;
  CaptureConverter converter;
  std::function<void(std::span<const int16_t>)> onSamples;
  std::thread thread;
};

CaptureEngine::CaptureEngine(size_t queueBlocks, QObject* parent)
    : QObject(parent),
      queueBlocks_(queueBlocks < 1 ? 1 : queueBlocks),
      stallTimer_(new QTimer(this)) {
  connect(stallTimer_, &QTimer::timeout, this, &CaptureEngine::checkForStall);
}

CaptureEngine::~CaptureEngine() { stop(); }

CaptureEngine::Statistics CaptureEngine::statistics() const {
  if (!run_) return lastStatistics_;
  return {run_->queue.pushed(), run_->queue.popped(), run_->queue.dropped()};
}

QString CaptureEngine::diagnostics(std::optional<int> pulseError) const {
  QStringList parts;
  if (source_) {
    parts << QStringLiteral("Device: %1 (%2, index %3) at %4 Hz")
                 .arg(QString::fromStdString(source_->description.empty() ? "unknown"
                                                                          : source_->description),
                      QString::fromStdString(source_->name))
                 .arg(source_->index)
                 .arg(source_->rate);
    parts << QStringLiteral("hardware stream: %1 Hz, %2 ch")
                 .arg(source_->rate)
                 .arg(source_->channels);
  } else {
    parts << QStringLiteral("Device: none");
  }
  parts
      << QStringLiteral("engine input format: %1 Hz, %2 ch").arg(streamRate_).arg(streamChannels_);
  if (pulseError) {
    parts
        << QStringLiteral("error PulseAudio %1 (%2)").arg(*pulseError).arg(pulseText(*pulseError));
  }
  return parts.join(QStringLiteral("; ")) + '.';
}

CaptureError CaptureEngine::fail(CaptureError::Kind kind, int pulseError, uint32_t rate,
                                 uint32_t channels) {
  CaptureError error;
  if (kind == CaptureError::Kind::startFailed) {
    switch (pulse::serverProblem(pulseError)) {
      case pulse::ServerProblem::notRunning:
        kind = CaptureError::Kind::noAudioServer;
        break;
      case pulse::ServerProblem::notAnswering:
        kind = CaptureError::Kind::serverNotAnswering;
        break;
      case pulse::ServerProblem::none:
        break;
    }
  }
  error.kind = kind;
  error.pulseError = pulseError;
  if (kind == CaptureError::Kind::unusableInputFormat) {
    error.description =
        QStringLiteral("The audio input reported an unusable format (%1 Hz, %2 ch).")
            .arg(QString::number(double(rate), 'f', 1))
            .arg(channels);
  } else if (kind == CaptureError::Kind::noInputDevice) {
    error.description =
        QStringLiteral("The audio input device is gone (the audio server offers none).");
  } else if (kind == CaptureError::Kind::noAudioServer) {
    error.description = QStringLiteral("No audio server is running.");
  } else if (kind == CaptureError::Kind::serverNotAnswering) {
    error.description = QStringLiteral("The audio server does not answer.");
  } else {
    error.description = QString::fromStdString(pulse::errorSentence(pulseError));
  }
  if (error.carriesDiagnostics()) {
    error.diagnostics = diagnostics(
        kind == CaptureError::Kind::startFailed ? std::optional<int>(pulseError) : std::nullopt);
  }
  qCWarning(lcAudio).noquote() << "Capture start failed:" << error.description << error.diagnostics;
  stop();  // nothing of a failed start stays behind
  return error;
}

std::optional<CaptureError> CaptureEngine::start(const std::optional<AudioDeviceInfo>& device) {
  Q_ASSERT(QThread::currentThread() == thread());
  stop();
  const uint64_t generation = ++generation_;
  restartRequested_ = false;
  source_.reset();
  streamRate_ = 0;
  streamChannels_ = 0;
  lastStatistics_ = {};

  // The mainloop thread only queues blocks and posts events to this thread.
  auto post = [this, generation](pulse::RecordEvent event, int error) {
    QMetaObject::invokeMethod(
        this, [this, generation, event, error] { handleStreamEvent(generation, event, error); },
        Qt::QueuedConnection);
  };
  connection_ = std::make_unique<pulse::Connection>("Palavrix capture");
  // Before connecting: from then on the mainloop thread may call it.
  connection_->onLost = [post](int error) { post(pulse::RecordEvent::failed, error); };
  if (const int error = connection_->connect(); error != 0) {
    return fail(CaptureError::Kind::startFailed, error);
  }

  const auto deadline = pulse::Clock::now() + pulse::kStepTimeout;
  const QByteArray deviceName = device ? device->uid.toUtf8() : QByteArray();
  std::optional<pulse::Device> source;
  int error = 0;
  {
    pulse::Connection::Lock lock(*connection_);
    if (device) {
      source = pulse::readSource(*connection_, deviceName.constData(), deadline, &error);
    } else {
      pulse::ServerSnapshot defaults;
      error = pulse::readServerDefaults(*connection_, defaults, deadline);
      if (error == 0 && !defaults.defaultSourceName.empty()) {
        source =
            pulse::readSource(*connection_, defaults.defaultSourceName.c_str(), deadline, &error);
        if (error == PA_ERR_NOENTITY) error = 0;  // no default source: an unusable input
      }
    }
  }
  if (error != 0 && !source) {
    return fail(error == PA_ERR_NOENTITY ? CaptureError::Kind::deviceNotSelectable
                                         : CaptureError::Kind::startFailed,
                error);
  }
  // A server without inputs makes a sink's monitor the default source: no input device at all.
  if (!source || (!device && source->isMonitor)) {
    return fail(CaptureError::Kind::noInputDevice, 0);
  }
  source_ = std::make_unique<pulse::Device>(*source);
  const uint32_t rate = source->rate;
  const uint32_t channels = source->channels;
  if (rate == 0 || channels == 0) {
    return fail(CaptureError::Kind::unusableInputFormat, 0, rate, channels);
  }

  run_ = std::make_unique<Run>(rate, channels, queueBlocks_, onSamples);
  if (!run_->converter.isValid()) {
    return fail(CaptureError::Kind::unusableInputFormat, 0, rate, channels);
  }
  streamRate_ = rate;
  streamChannels_ = channels;

  Run* run = run_.get();
  pulse::RecordStream::Callbacks callbacks;
  callbacks.onBlock = [run](const float* channel0, uint32_t frames) {
    run->queue.push(std::span<const float>(channel0, frames));
  };
  callbacks.onEvent = post;
  stream_ = std::make_unique<pulse::RecordStream>(*connection_, std::move(callbacks));
  run_->begin();
  error = stream_->connect(device ? deviceName.constData() : nullptr, rate,
                           static_cast<uint8_t>(channels), kBlockFrames, device.has_value());
  if (error != 0) {
    // A named source that vanished between the query and the connect cannot be selected.
    const auto kind = error == PA_ERR_NOENTITY && device ? CaptureError::Kind::deviceNotSelectable
                                                         : CaptureError::Kind::startFailed;
    return fail(kind, error);
  }
  qCInfo(lcAudio).noquote() << "Capture started:" << diagnostics();
  watchForWake(true);
  suspended_ = false;
  capturedAtLastCheck_ = 0;
  sinceProgress_.start();
  stallTimer_->start(
      std::max<std::chrono::milliseconds>(stallTimeout / 4, std::chrono::milliseconds(50)));
  return std::nullopt;
}

void CaptureEngine::stop() {
  Q_ASSERT(QThread::currentThread() == thread());
  watchForWake(false);
  stallTimer_->stop();
  // Server side first, so no block arrives once the capture thread is told to finish.
  stream_.reset();
  connection_.reset();
  if (run_) {
    run_->finish();
    lastStatistics_ = statistics();
  }
  run_.reset();
}

void CaptureEngine::handleStreamEvent(uint64_t generation, pulse::RecordEvent event,
                                      int pulseError) {
  if (generation != generation_ || !run_) return;
  switch (event) {
    case pulse::RecordEvent::suspended:
      qCInfo(lcAudio) << "Audio input suspended by the server";
      suspended_ = true;
      return;
    case pulse::RecordEvent::resumed:
      suspended_ = false;
      sinceProgress_.start();
      qCInfo(lcAudio)
          << "Audio engine configuration changed but input is unchanged; resumed in place";
      return;
    case pulse::RecordEvent::moved:
      qCInfo(lcAudio) << "Audio engine configuration changed; restarting capture";
      break;
    case pulse::RecordEvent::failed:
      qCWarning(lcAudio).noquote()
          << QStringLiteral("Audio input lost (%1); restarting capture").arg(pulseText(pulseError));
      break;
  }
  requestRestart();
}

void CaptureEngine::requestRestart() {
  if (restartRequested_) return;
  restartRequested_ = true;
  emit needsRestart();
}

void CaptureEngine::checkForStall() {
  if (!run_) return;
  const uint64_t captured = run_->queue.pushed();
  if (captured != capturedAtLastCheck_ || suspended_) {
    capturedAtLastCheck_ = captured;
    sinceProgress_.start();
    return;
  }
  if (std::chrono::milliseconds(sinceProgress_.elapsed()) < stallTimeout) return;
  qCWarning(lcAudio).noquote() << QStringLiteral(
                                      "Audio input delivered nothing for %1 ms; restarting capture")
                                      .arg(sinceProgress_.elapsed());
  stallTimer_->stop();
  requestRestart();
}

void CaptureEngine::handleWakeFromSleep() {
  QTimer::singleShot(kWakeRestartDelayMs, Qt::PreciseTimer, this, &CaptureEngine::needsRestart);
}

void CaptureEngine::onPrepareForSleep(bool goingToSleep) {
  if (!goingToSleep) handleWakeFromSleep();
}

void CaptureEngine::watchForWake(bool watch) {
  if (watch == watchingWake_) return;
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected()) return;  // no system bus here: no wake notices either
  const QString service = QStringLiteral("org.freedesktop.login1");
  const QString path = QStringLiteral("/org/freedesktop/login1");
  const QString interface = QStringLiteral("org.freedesktop.login1.Manager");
  const QString name = QStringLiteral("PrepareForSleep");
  if (watch) {
    watchingWake_ =
        bus.connect(service, path, interface, name, this, SLOT(onPrepareForSleep(bool)));
  } else {
    bus.disconnect(service, path, interface, name, this, SLOT(onPrepareForSleep(bool)));
    watchingWake_ = false;
  }
}
