// The receive path: the captured-samples handler on the capture thread, and the live bubbles
// that decoder updates fill in on the main thread.
#include <QThread>
#include <QTimer>

#include "audio/AudioLevels.h"
#include "audio/AudioSpectrum.h"
#include "audio/NewMessageSound.h"
#include "audio/TransmitMonitor.h"
#include "audio/WaterfallBitmap.h"
#include "chat/AppSettings.h"
#include "chat/ChatViewModel.h"
#include "chat/DisplayMailbox.h"
#include "chat/MessageCase.h"
#include "chat/TextCharacters.h"

namespace {

// The waterfall's band.
// A closed bubble with fewer characters than this says nothing useful and goes.
constexpr int kMinimumKeptCharacters = 7;

}  // namespace

void ChatViewModel::handleCapturedSamples(std::span<const int16_t> samples) {
  const float levelDb = peakLevelDb(samples);  // as captured, before the gain
  gainedBlock_.assign(samples.begin(), samples.end());
  applyGainInPlace(gainedBlock_, inputGain_->linear());
  // One's own transmission shows on the waterfall only; the decoder never hears it.
  mixedBlock_.assign(gainedBlock_.begin(), gainedBlock_.end());
  transmitMonitor_->mix(mixedBlock_);
  const bool rowDue =
      spectrum_->process(mixedBlock_, kWaterfallLowHz, kWaterfallHighHz, spectrumRow_);
  if (displayMailbox_->put(
          levelDb, rowDue ? std::span<const float>(spectrumRow_) : std::span<const float>())) {
    QMetaObject::invokeMethod(this, &ChatViewModel::drainDisplayMailbox, Qt::QueuedConnection);
  }
  decoder_->append(gainedBlock_);
  decoder_->decodePending();
}

void ChatViewModel::drainDisplayMailbox() {
  displayMailbox_->take([this](float db) { levels_->updateInput(db); },
                        [this](std::span<const float> row) { waterfall_->push(row); });
}

void ChatViewModel::postDecoderUpdate(const KvolDecoder::Update& update) {
  const uint64_t generation = captureGeneration_.load(std::memory_order_acquire);
  QMetaObject::invokeMethod(
      this,
      [this, update, generation] {
        if (generation != acceptedGeneration_) return;  // made before the latest restart
        handleDecoderUpdate(update);
      },
      Qt::QueuedConnection);
}

void ChatViewModel::handleDecoderUpdate(const KvolDecoder::Update& update) {
  Q_ASSERT(QThread::currentThread() == thread());
  QString text = QString::fromStdString(update.text);
  if (settings_.capitalizeMessages()) text = MessageCase::apply(text);

  const auto entry = liveBubbles_.constFind(update.messageId);
  if (text.isEmpty()) {
    // A message that ends with nothing left to show is closed as a stalled one would be,
    // rather than left "in progress" for ever.
    if (update.isComplete && entry != liveBubbles_.cend()) {
      finalizeLiveBubble(*entry);
      removeLiveBubble(update.messageId);
    }
    return;
  }

  setReceiveQuality({update.snrDb, update.symbolErrors, update.symbolsChecked});

  const qsizetype row = entry != liveBubbles_.cend() ? messages_.rowOf(entry->bubbleID) : -1;
  if (row >= 0) {
    ChatMessage message = messages_.at(row);
    if (message.text != text) liveBubbles_[update.messageId].lastProgress = now_();
    if (update.isComplete && message.decodeState != ChatMessage::DecodeState::complete) {
      playNewMessageSound();
    }
    message.text = text;
    message.decodeState = update.isComplete ? ChatMessage::DecodeState::complete
                                            : ChatMessage::DecodeState::inProgress;
    message.bestSnrDb = std::max(message.bestSnrDb.value_or(update.snrDb), update.snrDb);
    messages_.replace(row, message);
    if (update.isComplete) removeLiveBubble(update.messageId);
    return;
  }

  const QDateTime now = now_();
  const ChatMessage message{
      QUuid::createUuid(),
      text,
      false,
      update.isComplete ? ChatMessage::DecodeState::complete : ChatMessage::DecodeState::inProgress,
      now,
      update.snrDb};
  messages_.append(message);
  if (update.isComplete) {
    playNewMessageSound();
    removeLiveBubble(update.messageId);
  } else {
    liveBubbles_.insert(update.messageId, LiveBubble{message.id, now});
    startPartialDecodeSweep();
  }
}

void ChatViewModel::setReceiveQuality(const ReceiveQuality& quality) {
  if (receiveQuality_ == quality) return;
  receiveQuality_ = quality;
  emit receiveQualityChanged();
}

void ChatViewModel::removeLiveBubble(int64_t messageId) {
  liveBubbles_.remove(messageId);
  stopPartialDecodeSweepIfIdle();
}

void ChatViewModel::startPartialDecodeSweep() {
  if (!sweepTimer_->isActive()) sweepTimer_->start();
}

void ChatViewModel::stopPartialDecodeSweepIfIdle() {
  if (liveBubbles_.isEmpty()) sweepTimer_->stop();
}

void ChatViewModel::sweepStalledBubbles() {
  Q_ASSERT(QThread::currentThread() == thread());
  const QDateTime cutoff = now_().addMSecs(-timing_.stallTimeout.count());
  QList<int64_t> stalled;
  for (auto it = liveBubbles_.cbegin(); it != liveBubbles_.cend(); ++it) {
    if (it->lastProgress < cutoff) stalled.append(it.key());
  }
  for (const int64_t messageId : stalled) {
    finalizeLiveBubble(liveBubbles_.value(messageId));
    liveBubbles_.remove(messageId);
  }
  stopPartialDecodeSweepIfIdle();
}

void ChatViewModel::finalizeLiveBubble(const LiveBubble& bubble) {
  const qsizetype row = messages_.rowOf(bubble.bubbleID);
  if (row < 0) return;
  ChatMessage message = messages_.at(row);
  if (TextCharacters::count(message.text) < kMinimumKeptCharacters) {
    messages_.removeAt(row);
    return;
  }
  message.decodeState = ChatMessage::DecodeState::incomplete;
  messages_.replace(row, message);
}

void ChatViewModel::finalizeAllLiveBubbles() {
  if (liveBubbles_.isEmpty()) return;
  for (const LiveBubble& bubble : std::as_const(liveBubbles_)) finalizeLiveBubble(bubble);
  liveBubbles_.clear();
  stopPartialDecodeSweepIfIdle();
}

void ChatViewModel::playNewMessageSound() {
  if (!settings_.playNewMessageSound()) return;
  playSound([this](const QString& status) { emit newMessageSoundPlayed(status); });
}
