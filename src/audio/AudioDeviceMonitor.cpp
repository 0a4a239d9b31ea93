#include "audio/AudioDeviceMonitor.h"

#include <QThread>

#include "audio/AudioLog.h"
#include "audio/pulse/PulseSubscription.h"

AudioDeviceMonitor::AudioDeviceMonitor(QObject* parent) : QObject(parent) {
  debounce_.setSingleShot(true);
  debounce_.setInterval(kDebounceMs);
  connect(&debounce_, &QTimer::timeout, this, &AudioDeviceMonitor::changed);
  reconnect_.setSingleShot(true);
  reconnect_.setInterval(kReconnectMs);
  connect(&reconnect_, &QTimer::timeout, this, &AudioDeviceMonitor::connectToServer);
}

AudioDeviceMonitor::~AudioDeviceMonitor() { stop(); }

void AudioDeviceMonitor::start() {
  Q_ASSERT(QThread::currentThread() == thread());
  if (started_) return;
  started_ = true;
  reportWhenBack_ = false;
  connectToServer();
}

void AudioDeviceMonitor::stop() {
  started_ = false;
  debounce_.stop();
  reconnect_.stop();
  connecting_.reset();
  // Stops the mainloop thread: no notice can be posted after this, and queued ones die with
  // their context object or find started_ false.
  subscription_.reset();
}

bool AudioDeviceMonitor::isListening() const { return subscription_ != nullptr; }

void AudioDeviceMonitor::connectToServer() {
  if (!started_) return;
  const uint64_t attempt = ++attempts_;
  // The callbacks run on the mainloop thread; they only post to this object's thread, and the
  // subscription goes before this object does.
  connecting_ = std::make_unique<pulse::Subscription>(
      [this] {
        QMetaObject::invokeMethod(this, &AudioDeviceMonitor::notice, Qt::QueuedConnection);
      },
      [this](int) {
        QMetaObject::invokeMethod(this, &AudioDeviceMonitor::lost, Qt::QueuedConnection);
      });
  const int error = connecting_->start([this, attempt](int result) {
    QMetaObject::invokeMethod(
        this, [this, attempt, result] { connected(attempt, result); }, Qt::QueuedConnection);
  });
  if (error != 0) connected(attempt, error);
}

void AudioDeviceMonitor::connected(uint64_t attempt, int pulseError) {
  if (attempt != attempts_ || !connecting_) return;
  std::unique_ptr<pulse::Subscription> subscription = std::move(connecting_);
  if (pulseError != 0) {
    if (!reportWhenBack_) {
      qCWarning(lcAudio).noquote() << "Couldn't watch audio devices:"
                                   << QString::fromStdString(pulse::errorText(pulseError));
    }
    reportWhenBack_ = true;
    reconnect_.start();
    return;
  }
  subscription_ = std::move(subscription);
  if (reportWhenBack_) {
    reportWhenBack_ = false;
    notice();
  }
}

void AudioDeviceMonitor::notice() {
  if (!started_) return;
  debounce_.start();
}

void AudioDeviceMonitor::lost() {
  if (!started_ || !subscription_) return;
  qCWarning(lcAudio) << "Lost the audio server; watching for it to come back";
  subscription_.reset();
  reportWhenBack_ = true;
  notice();
  reconnect_.start();
}
