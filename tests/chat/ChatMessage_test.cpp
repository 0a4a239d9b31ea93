#include "chat/ChatMessage.h"

#include <gtest/gtest.h>

namespace {

ChatMessage received(const QString& text) {
  return ChatMessage{QUuid::createUuid(),
                     text,
                     false,
                     ChatMessage::DecodeState::inProgress,
                     QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC),
                     std::nullopt};
}

TEST(ChatMessage, EqualOnlyWhenEveryFieldIsEqual) {
  const ChatMessage original = received("CQ CQ DE DL1ABC");
  EXPECT_EQ(original, original);

  ChatMessage other = original;
  other.id = QUuid::createUuid();
  EXPECT_NE(other, original) << "same text and date, different id";

  other = original;
  other.text += "K";
  EXPECT_NE(other, original);

  other = original;
  other.isSent = true;
  EXPECT_NE(other, original);

  other = original;
  other.decodeState = ChatMessage::DecodeState::incomplete;
  EXPECT_NE(other, original);

  other = original;
  other.date = original.date.addMSecs(1);
  EXPECT_NE(other, original);
}

TEST(ChatMessage, MissingSnrNeverEqualsAValue) {
  const ChatMessage original = received("TEST");
  ChatMessage updated = original;
  updated.bestSnrDb = 0;
  EXPECT_NE(updated, original) << "nil to 0 is a change";

  ChatMessage again = updated;
  EXPECT_EQ(again, updated);
  again.bestSnrDb = -3;
  EXPECT_NE(again, updated);
}

TEST(ChatMessage, DecodeStatesHashByCase) {
  QSet<ChatMessage::DecodeState> states{
      ChatMessage::DecodeState::inProgress, ChatMessage::DecodeState::complete,
      ChatMessage::DecodeState::incomplete, ChatMessage::DecodeState::complete};
  EXPECT_EQ(states.size(), 3);
  EXPECT_TRUE(states.contains(ChatMessage::DecodeState::incomplete));
}

}  // namespace
