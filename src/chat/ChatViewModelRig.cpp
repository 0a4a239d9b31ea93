// Rig status polling and tuning: every rig call on the rig queue, results back on the main thread.
#include <QThread>
#include <QTimer>

#include "chat/AppSettings.h"
#include "chat/ChatViewModel.h"
#include "chat/SerialQueue.h"
#include "rig/RigControl.h"

namespace {

const QString kRigNotResponding = QStringLiteral("Rig not responding");
const QString kTuneUnansweredPrefix = QStringLiteral("The frequency change is still waiting: ");

}  // namespace

void ChatViewModel::readRigSettings() {
  const std::optional<RigTxSettings> rig = settings_.rigTxSettings();
  if (rig == rig_) return;
  rig_ = rig;
  // The old rig's release is not tried again: the operator has moved on from it.
  if (pttRig_ != rig_) releaseRetryTimer_->stop();
}

void ChatViewModel::setRigStatus(const std::optional<QString>& status) {
  if (rigStatus_ == status) return;
  rigStatus_ = status;
  emit rigStatusChanged();
}

// A poll that has not come back in a whole interval waits behind a rig call that is stuck.
void ChatViewModel::showRigNotResponding() { setRigStatus(kRigNotResponding); }

// The next poll comes a whole interval after this one ended, never on a fixed grid.
void ChatViewModel::pollRigStatusLoop() {
  refreshRigStatus([this] {
    if (!exiting_) rigPollTimer_->start(timing_.rigPollInterval);
  });
}

void ChatViewModel::refreshRigStatusNow() { refreshRigStatus({}); }

void ChatViewModel::refreshRigStatus(std::function<void()> done) {
  Q_ASSERT(QThread::currentThread() == thread());
  if (!rig_) {
    setRigStatus(std::nullopt);
  } else if (!isSending_ && !exiting_) {  // no status reads while a transmission runs
    const std::optional<std::string> mode =
        needsRigModeSet_ ? std::optional<std::string>(rig_->mode) : std::nullopt;
    if (!rigStallTimer_->isActive()) rigStallTimer_->start();
    rigQueue_->call<RigConnectionResult>(
        [rig = *rig_, mode] {
          return RigControl::readStatus(rig.model, rig.port, rig.serial, mode);
        },
        [this, done, setMode = mode.has_value()](RigConnectionResult result) {
          rigStallTimer_->stop();
          if (result.success) {
            setRigStatus(QString::fromStdString(result.message));
            // Only a poll that carried the mode settles it: a request made while a poll
            // without it was on its way still stands.
            if (setMode) needsRigModeSet_ = false;
          } else {
            setRigStatus(kRigNotResponding);
          }
          if (done) done();
        });
    return;
  }
  if (done) done();
}

void ChatViewModel::tune(double mhz) {
  Q_ASSERT(QThread::currentThread() == thread());
  if (!rig_) {
    setAlertMessage(QStringLiteral("Configure a rig model and port in Settings first."));
    return;
  }
  if (exiting_) return;
  // Never retune a transmitter that may be keyed: the tune waits for the release, which comes
  // once the transmission ends.
  if (pttRig_ == rig_) {
    deferredTuneMHz_ = mhz;
    if (!isSending_) deferredTuneTimer_->start();
    return;
  }
  deferredTuneTimer_->stop();
  const double hz = mhz * 1'000'000.0;
  struct Progress {
    bool answered = false;
    bool saidUnanswered = false;
  };
  auto progress = std::make_shared<Progress>();
  const std::shared_ptr<SerialQueue::Start> start =
      rigQueue_->callUnlessWithdrawn<std::optional<std::string>>(
          [rig = *rig_, hz] { return RigControl::setFrequency(rig, hz); },
          [this, progress](std::optional<std::string> error) {
            progress->answered = true;
            if (progress->saidUnanswered) withdrawAlert(kTuneUnansweredPrefix);
            if (error) setAlertMessage(QString::fromStdString(*error));
            // Once the operator was told the change may still come, the status line shows
            // whether it did.
            if (!error || progress->saidUnanswered) refreshRigStatus({});
          });
  // Behind a rig call that hangs, the pick would be carried out whenever the rig answers again,
  // perhaps minutes later. A call that has started cannot be taken back: the rig may still act
  // on it, and the operator is told so.
  QTimer::singleShot(timing_.tuneWait, this, [this, start, progress] {
    if (start->withdraw()) {
      tuneDropped();
    } else if (!progress->answered && !exiting_) {
      progress->saidUnanswered = true;
      setAlertMessage(kTuneUnansweredPrefix + rigSilentFor(timing_.tuneWait) +
                      QStringLiteral(", and it may still change frequency when it does."));
    }
  });
}

void ChatViewModel::tuneDropped() {
  deferredTuneMHz_.reset();
  if (exiting_) return;
  setAlertMessage(QStringLiteral("Couldn't change the frequency: ") +
                  rigSilentFor(timing_.tuneWait) + u'.');
}

QString ChatViewModel::rigSilentFor(std::chrono::milliseconds wait) {
  return QStringLiteral("the rig did not answer within %1 seconds").arg(wait.count() / 1000.0);
}
