// One entry of the chat transcript: a message this station sent, or one it received, complete
// or still being decoded. A plain value; the chat controller creates and changes messages on the
// main thread only.
#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>
#include <QUuid>
#include <optional>

struct ChatMessage {
  enum class DecodeState {
    inProgress,  // received, still being decoded
    complete,    // every sent message, and a received one the decoder reported complete
    incomplete,  // received, stalled or cut off by an audio restart with at least 7 characters
  };

  QUuid id;  // made fresh when the message is created; never changes
  QString text;
  bool isSent = false;
  DecodeState decodeState = DecodeState::complete;
  QDateTime date;                // creation (for a received message: its first update with text)
  std::optional<int> bestSnrDb;  // best SNR reported so far; none for sent messages

  // Every field, compared in declaration order; a missing SNR never equals a value.
  friend bool operator==(const ChatMessage&, const ChatMessage&) = default;
};

size_t qHash(ChatMessage::DecodeState state, size_t seed = 0) noexcept;

Q_DECLARE_METATYPE(ChatMessage)
