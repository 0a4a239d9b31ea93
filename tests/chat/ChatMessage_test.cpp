#include "chat/ChatMessage.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

// Every field counts, and a missing SNR never equals a value.
TEST(ChatMessage, EqualOnlyWhenEveryFieldIsEqual) {
  const ChatMessage original{QUuid::createUuid(),
                             "CQ CQ DE DL1ABC",
                             false,
                             ChatMessage::DecodeState::inProgress,
                             QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC),
                             std::nullopt};
  EXPECT_EQ(ChatMessage(original), original);
  const std::pair<const char*, std::function<void(ChatMessage&)>> changes[] = {
      {"id", [](ChatMessage& m) { m.id = QUuid::createUuid(); }},
      {"text", [](ChatMessage& m) { m.text += "K"; }},
      {"isSent", [](ChatMessage& m) { m.isSent = true; }},
      {"decodeState", [](ChatMessage& m) { m.decodeState = ChatMessage::DecodeState::incomplete; }},
      {"date", [](ChatMessage& m) { m.date = m.date.addMSecs(1); }},
      {"no SNR to 0", [](ChatMessage& m) { m.bestSnrDb = 0; }},
  };
  for (const auto& [field, change] : changes) {
    ChatMessage other = original;
    change(other);
    EXPECT_NE(other, original) << field;
  }
}

}  // namespace
