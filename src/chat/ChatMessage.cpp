#include "chat/ChatMessage.h"

#include <QHashFunctions>

size_t qHash(ChatMessage::DecodeState state, size_t seed) noexcept {
  return ::qHash(static_cast<int>(state), seed);
}
