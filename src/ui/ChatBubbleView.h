// One message of the transcript laid out and drawn as a bubble with its footer: sent messages
// right in blue with white text, received ones left in light grey with black text; while a
// message is still being decoded, half transparent with a dashed border and a caret. Made for a
// message and a width limit, used by TranscriptView to measure and paint rows and to find the
// text under the mouse. It keeps no state beyond the message's own. Main thread.
#pragma once

#include <QColor>
#include <QDateTime>
#include <QFont>
#include <QRectF>
#include <QString>
#include <QTextLayout>
#include <optional>

#include "chat/ChatMessage.h"

class QPainter;
class QPalette;

class ChatBubbleView {
 public:
  static const QColor sentBubbleColor;
  static const QColor receivedBubbleColor;

  // The fonts every bubble uses; made once by the transcript.
  struct Fonts {
    QFont text;
    QFont footer;
  };
  static Fonts defaultFonts();

  // A part of the message text: start and length in UTF-16 units of the text.
  struct TextRange {
    int start = 0;
    int length = 0;
  };

  // Lays the message out with its text at most maxBubbleWidth wide; `now` decides whether the
  // footer shows the time alone or the date as well.
  ChatBubbleView(const ChatMessage& message, qreal maxBubbleWidth, const Fonts& fonts,
                 const QDateTime& now);
  ChatBubbleView(const ChatBubbleView&) = delete;
  ChatBubbleView& operator=(const ChatBubbleView&) = delete;

  // The row's height, padding included.
  int height() const;
  // Where the bubble and its text stand in a row of that width (row coordinates).
  QRectF bubbleRect(qreal rowWidth) const;
  QRectF textRect(qreal rowWidth) const;
  QRectF footerRect(qreal rowWidth) const;
  const QString& footer() const { return footer_; }

  // Paints the row with its top left at the painter's origin. The caret is drawn only while
  // the message is in progress and caretVisible; `selection` is highlighted in the text.
  void paint(QPainter& painter, qreal rowWidth, const QPalette& palette, bool caretVisible,
             std::optional<TextRange> selection) const;

  // The text position nearest to a point of the row; onCharacter gives the position of the
  // character under the point rather than the gap nearest to it.
  int textPositionAt(QPointF point, qreal rowWidth, bool onCharacter = false) const;

  static QString footerText(const ChatMessage& message, const QDateTime& now);
  static QString timeText(const QDateTime& date, const QDateTime& now);
  static QString snrText(std::optional<int> bestSnrDb);

 private:
  bool inProgress() const;
  qreal columnWidth() const;
  qreal bubbleWidth() const;
  qreal bubbleHeight() const;
  qreal columnLeft(qreal rowWidth) const;

  bool isSent_;
  ChatMessage::DecodeState state_;
  QString footer_;
  QFont footerFont_;
  QTextLayout textLayout_;
  QSizeF textSize_;
  qreal footerWidth_ = 0;
  qreal footerHeight_ = 0;
};
