// The chat transcript: one bubble (ChatBubbleView) per message of the controller's message list,
// oldest on top, on a white background. Reads ChatMessageList and follows its row changes; a
// growing bubble costs one row's relayout, not the whole list's. Every change of the list scrolls
// to the end, animated; the first showing does not scroll. The text of a bubble can be selected
// and copied: by dragging, a double click for a word, a triple click for the bubble's text, and
// from the keyboard (Tab to the transcript, Up and Down to a bubble, Ctrl+A for its text,
// Shift+Left and Shift+Right for part of it). A selection also becomes the X11 primary
// selection. Main thread.
#pragma once

#include <QAbstractScrollArea>
#include <QDateTime>
#include <QElapsedTimer>
#include <QSet>
#include <QTimer>
#include <QUuid>
#include <optional>
#include <utility>
#include <vector>

#include "ui/ChatBubbleView.h"

class ChatMessageList;
class QPropertyAnimation;

class TranscriptView final : public QAbstractScrollArea {
  Q_OBJECT

 public:
  static constexpr qreal kBubbleWidthFraction = 0.7;
  static constexpr qreal kMinBubbleWidth = 100;
  static constexpr int kCaretBlinkMs = 500;

  explicit TranscriptView(ChatMessageList& messages, QWidget* parent = nullptr);

  // The widest a bubble's text is laid out: 70 % of the view's width, at least 100.
  qreal maxBubbleWidth() const;
  // Where a message's row stands, in viewport coordinates.
  QRect rowRect(int row) const;
  // The same message laid out as it is drawn now.
  std::unique_ptr<ChatBubbleView> bubbleAt(int row) const;
  bool caretVisible() const { return caretVisible_; }
  QString selectedText() const;
  void copySelection() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  struct Selection {
    QUuid id;
    int anchor = 0;
    int cursor = 0;
  };

  void insertRows(int first, int last);
  void removeRows(int first, int last);
  void changeRows(int first, int last);
  void rebuildRows();
  void measureRow(int row);
  void updateTops(int fromRow);
  void updateScrollRange();
  void scrollToEndAnimated();
  void toggleCaret();
  void noteDecodeState(int row);
  int rowAt(int contentY) const;
  int rowOfSelection() const;
  // The bubble the keyboard stands on: the one chosen last, else the newest.
  int currentRow() const;
  void setCurrentRow(int row);
  void scrollRowIntoView(int row);
  // The row and text position under a point of the viewport, if it is on a bubble.
  std::optional<std::pair<int, int>> bubbleTextAt(QPointF point, bool onCharacter) const;
  void select(int row, int anchor, int cursor);
  void offerPrimarySelection() const;
  qreal rowWidth() const;
  int contentHeight() const;
  QDateTime now() const;

  ChatMessageList& messages_;
  ChatBubbleView::Fonts fonts_;
  std::vector<int> heights_;  // per row, padding included
  std::vector<int> tops_;     // per row, in content coordinates
  qreal laidOutBubbleWidth_ = 0;
  QPropertyAnimation* scrollAnimation_;
  QTimer caretBlink_;
  bool caretVisible_ = true;
  QSet<QUuid> inProgress_;  // messages still being decoded, which carry the caret
  std::optional<Selection> selection_;
  bool selecting_ = false;
  std::optional<QUuid> current_;
  // A press soon after a double click on the same bubble is a triple click.
  QElapsedTimer sinceDoubleClick_;
  QPoint doubleClickPosition_;
};
