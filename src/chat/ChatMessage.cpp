#include "chat/ChatMessage.h"

#include <QHashFunctions>

bool operator==(const ChatMessage& a, const ChatMessage& b) {
  return a.id == b.id && a.text == b.text && a.isSent == b.isSent &&
         a.decodeState == b.decodeState && a.date == b.date && a.bestSnrDb == b.bestSnrDb;
}

size_t qHash(ChatMessage::DecodeState state, size_t seed) noexcept {
  return ::qHash(static_cast<int>(state), seed);
}
