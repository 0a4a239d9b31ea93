#include "ui/TranscriptView.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QEasingCurve>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPropertyAnimation>
#include <QScrollBar>
#include <QTextBoundaryFinder>
#include <algorithm>

#include "chat/ChatMessageList.h"
#include "ui/UiLook.h"

namespace {
constexpr int kListPaddingX = 4;
constexpr int kListPaddingY = 8;
constexpr int kRowSpacing = 4;
// The invisible row at the end that scrolling aligns with the bottom edge.
constexpr int kBottomSpacerHeight = 1;
constexpr int kScrollAnimationMs = 250;
constexpr int kScrollStep = 20;
constexpr qreal kFocusRingWidth = 2;
constexpr qreal kFocusRingRadius = 15;
}  // namespace

TranscriptView::TranscriptView(ChatMessageList& messages, QWidget* parent)
    : QAbstractScrollArea(parent),
      messages_(messages),
      fonts_(ChatBubbleView::defaultFonts()),
      scrollAnimation_(new QPropertyAnimation(verticalScrollBar(), "value", this)) {
  setPalette(UiLook::lightPalette());
  viewport()->setPalette(UiLook::lightPalette());
  viewport()->setBackgroundRole(QPalette::Base);
  viewport()->setAutoFillBackground(true);
  viewport()->setCursor(Qt::IBeamCursor);
  setFrameShape(QFrame::NoFrame);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setFocusPolicy(Qt::StrongFocus);
  verticalScrollBar()->setSingleStep(kScrollStep);
  scrollAnimation_->setDuration(kScrollAnimationMs);
  scrollAnimation_->setEasingCurve(QEasingCurve::OutCubic);

  caretBlink_.setInterval(kCaretBlinkMs);
  connect(&caretBlink_, &QTimer::timeout, this, &TranscriptView::toggleCaret);

  connect(&messages_, &QAbstractItemModel::rowsInserted, this,
          [this](const QModelIndex&, int first, int last) { insertRows(first, last); });
  connect(&messages_, &QAbstractItemModel::rowsAboutToBeRemoved, this,
          [this](const QModelIndex&, int first, int last) {
            for (int row = first; row <= last; ++row) inProgress_.remove(messages_.at(row).id);
          });
  connect(&messages_, &QAbstractItemModel::rowsRemoved, this,
          [this](const QModelIndex&, int first, int last) { removeRows(first, last); });
  connect(&messages_, &QAbstractItemModel::dataChanged, this,
          [this](const QModelIndex& topLeft, const QModelIndex& bottomRight) {
            changeRows(topLeft.row(), bottomRight.row());
          });
  connect(&messages_, &QAbstractItemModel::modelReset, this, [this] {
    rebuildRows();
    scrollToEndAnimated();
  });
  connect(&messages_, &QAbstractItemModel::layoutChanged, this, [this] {
    rebuildRows();
    scrollToEndAnimated();
  });
  connect(&messages_, &QAbstractItemModel::rowsMoved, this, [this] {
    rebuildRows();
    scrollToEndAnimated();
  });
  // What is there at the first showing stays where it is: no scrolling.
  rebuildRows();
}

qreal TranscriptView::maxBubbleWidth() const {
  return std::max(width() * kBubbleWidthFraction, kMinBubbleWidth);
}

qreal TranscriptView::rowWidth() const { return viewport()->width() - 2 * kListPaddingX; }

QDateTime TranscriptView::now() const { return QDateTime::currentDateTime(); }

std::unique_ptr<ChatBubbleView> TranscriptView::bubbleAt(int row) const {
  return std::make_unique<ChatBubbleView>(messages_.at(row), laidOutBubbleWidth_, fonts_, now());
}

QRect TranscriptView::rowRect(int row) const {
  return {kListPaddingX, tops_[row] - verticalScrollBar()->value(), static_cast<int>(rowWidth()),
          heights_[row]};
}

void TranscriptView::measureRow(int row) { heights_[row] = bubbleAt(row)->height(); }

void TranscriptView::updateTops(int fromRow) {
  tops_.resize(heights_.size());
  for (size_t row = std::max(fromRow, 0); row < heights_.size(); ++row) {
    tops_[row] = row == 0 ? kListPaddingY : tops_[row - 1] + heights_[row - 1] + kRowSpacing;
  }
}

int TranscriptView::contentHeight() const {
  const int rows = heights_.empty() ? kListPaddingY : tops_.back() + heights_.back() + kRowSpacing;
  return rows + kBottomSpacerHeight + kListPaddingY;
}

void TranscriptView::updateScrollRange() {
  const int visible = viewport()->height();
  verticalScrollBar()->setPageStep(visible);
  verticalScrollBar()->setRange(0, std::max(0, contentHeight() - visible));
}

void TranscriptView::noteDecodeState(int row) {
  const ChatMessage& message = messages_.at(row);
  if (message.decodeState != ChatMessage::DecodeState::inProgress) {
    inProgress_.remove(message.id);
  } else if (!inProgress_.contains(message.id)) {
    inProgress_.insert(message.id);
    // A new caret begins visible.
    caretVisible_ = true;
    caretBlink_.start();
  }
  if (inProgress_.isEmpty()) caretBlink_.stop();
}

void TranscriptView::insertRows(int first, int last) {
  laidOutBubbleWidth_ = maxBubbleWidth();
  heights_.insert(heights_.begin() + first, last - first + 1, 0);
  for (int row = first; row <= last; ++row) {
    measureRow(row);
    noteDecodeState(row);
  }
  updateTops(first);
  updateScrollRange();
  viewport()->update();
  scrollToEndAnimated();
}

void TranscriptView::removeRows(int first, int last) {
  heights_.erase(heights_.begin() + first, heights_.begin() + last + 1);
  if (inProgress_.isEmpty()) caretBlink_.stop();
  if (selection_ && messages_.rowOf(selection_->id) < 0) selection_.reset();
  updateTops(first);
  updateScrollRange();
  viewport()->update();
  scrollToEndAnimated();
}

void TranscriptView::changeRows(int first, int last) {
  bool heightChanged = false;
  for (int row = first; row <= last; ++row) {
    const int before = heights_[row];
    measureRow(row);
    heightChanged |= heights_[row] != before;
    noteDecodeState(row);
  }
  if (selection_) {
    const int row = rowOfSelection();
    if (row >= first && row <= last) {
      const int size = messages_.at(row).text.size();
      selection_->anchor = std::min(selection_->anchor, size);
      selection_->cursor = std::min(selection_->cursor, size);
    }
  }
  if (heightChanged) {
    updateTops(first);
    updateScrollRange();
    viewport()->update();
  } else {
    for (int row = first; row <= last; ++row) viewport()->update(rowRect(row));
  }
  scrollToEndAnimated();
}

void TranscriptView::rebuildRows() {
  laidOutBubbleWidth_ = maxBubbleWidth();
  heights_.assign(messages_.size(), 0);
  inProgress_.clear();
  for (int row = 0; row < static_cast<int>(heights_.size()); ++row) {
    measureRow(row);
    noteDecodeState(row);
  }
  if (inProgress_.isEmpty()) caretBlink_.stop();
  if (selection_ && messages_.rowOf(selection_->id) < 0) selection_.reset();
  updateTops(0);
  updateScrollRange();
  viewport()->update();
}

void TranscriptView::scrollToEndAnimated() {
  QScrollBar* bar = verticalScrollBar();
  scrollAnimation_->stop();
  if (!isVisible()) {
    bar->setValue(bar->maximum());
    return;
  }
  scrollAnimation_->setStartValue(bar->value());
  scrollAnimation_->setEndValue(bar->maximum());
  scrollAnimation_->start();
}

void TranscriptView::toggleCaret() {
  caretVisible_ = !caretVisible_;
  const int top = verticalScrollBar()->value();
  for (int row = rowAt(top); row >= 0 && row < static_cast<int>(heights_.size()); ++row) {
    if (tops_[row] > top + viewport()->height()) break;
    if (inProgress_.contains(messages_.at(row).id)) viewport()->update(rowRect(row));
  }
}

int TranscriptView::rowAt(int contentY) const {
  // The first row whose bottom lies below contentY.
  const auto it = std::upper_bound(tops_.begin(), tops_.end(), contentY);
  int row = static_cast<int>(it - tops_.begin()) - 1;
  if (row < 0) return tops_.empty() ? -1 : 0;
  return row;
}

int TranscriptView::rowOfSelection() const {
  return selection_ ? static_cast<int>(messages_.rowOf(selection_->id)) : -1;
}

void TranscriptView::paintEvent(QPaintEvent* event) {
  QPainter painter(viewport());
  const int top = verticalScrollBar()->value();
  const QRect dirty = event->rect();
  const int selectedRow = rowOfSelection();
  const int focusedRow = hasFocus() ? currentRow() : -1;
  for (int row = rowAt(top + dirty.top()); row >= 0 && row < static_cast<int>(heights_.size());
       ++row) {
    if (tops_[row] - top > dirty.bottom()) break;
    std::optional<ChatBubbleView::TextRange> range;
    if (row == selectedRow) {
      const int start = std::min(selection_->anchor, selection_->cursor);
      range = ChatBubbleView::TextRange{start, std::abs(selection_->cursor - selection_->anchor)};
    }
    painter.save();
    painter.translate(rowRect(row).topLeft());
    const auto bubble = bubbleAt(row);
    bubble->paint(painter, rowWidth(), palette(), caretVisible_, range);
    if (row == focusedRow) {
      painter.setRenderHint(QPainter::Antialiasing);
      painter.setPen(QPen(palette().color(QPalette::Highlight), kFocusRingWidth));
      painter.setBrush(Qt::NoBrush);
      painter.drawRoundedRect(bubble->bubbleRect(rowWidth()).adjusted(-1, -1, 1, 1),
                              kFocusRingRadius, kFocusRingRadius);
    }
    painter.restore();
  }
}

void TranscriptView::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  if (maxBubbleWidth() != laidOutBubbleWidth_) {
    rebuildRows();
  } else {
    updateScrollRange();
  }
}

void TranscriptView::scrollContentsBy(int, int) { viewport()->update(); }

std::optional<std::pair<int, int>> TranscriptView::bubbleTextAt(QPointF point,
                                                                bool onCharacter) const {
  const int contentY = static_cast<int>(point.y()) + verticalScrollBar()->value();
  const int row = rowAt(contentY);
  if (row < 0 || contentY >= tops_[row] + heights_[row]) return std::nullopt;
  const auto bubble = bubbleAt(row);
  const QPointF inRow = point - rowRect(row).topLeft();
  if (!bubble->bubbleRect(rowWidth()).contains(inRow)) return std::nullopt;
  return std::pair{row, bubble->textPositionAt(inRow, rowWidth(), onCharacter)};
}

void TranscriptView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mousePressEvent(event);
  selection_.reset();
  const auto hit = bubbleTextAt(event->position(), false);
  if (hit) {
    setCurrentRow(hit->first);
    const bool tripleClick =
        sinceDoubleClick_.isValid() &&
        sinceDoubleClick_.elapsed() < QApplication::doubleClickInterval() &&
        (event->position().toPoint() - doubleClickPosition_).manhattanLength() <
            QApplication::startDragDistance();
    sinceDoubleClick_.invalidate();
    if (tripleClick) {
      select(hit->first, 0, static_cast<int>(messages_.at(hit->first).text.size()));
      offerPrimarySelection();
      return;
    }
    selection_ = Selection{messages_.at(hit->first).id, hit->second, hit->second};
    selecting_ = true;
  }
  viewport()->update();
}

void TranscriptView::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mouseDoubleClickEvent(event);
  const auto hit = bubbleTextAt(event->position(), true);
  if (!hit) return;
  selecting_ = false;
  sinceDoubleClick_.start();
  doubleClickPosition_ = event->position().toPoint();
  // The word under the pointer, as the desktop's text fields count words.
  const QString& text = messages_.at(hit->first).text;
  QTextBoundaryFinder words(QTextBoundaryFinder::Word, text);
  words.setPosition(std::min(hit->second, static_cast<int>(text.size())));
  const bool atStart =
      words.isAtBoundary() && (words.boundaryReasons() & QTextBoundaryFinder::StartOfItem);
  const int start = atStart ? hit->second : std::max<int>(words.toPreviousBoundary(), 0);
  words.setPosition(start);
  const int end = std::max<int>(words.toNextBoundary(), start);
  select(hit->first, start, end);
  offerPrimarySelection();
}

void TranscriptView::mouseMoveEvent(QMouseEvent* event) {
  const int row = rowOfSelection();
  if (!selecting_ || row < 0) return QAbstractScrollArea::mouseMoveEvent(event);
  const QPointF inRow = event->position() - rowRect(row).topLeft();
  selection_->cursor = bubbleAt(row)->textPositionAt(inRow, rowWidth());
  viewport()->update(rowRect(row));
}

void TranscriptView::mouseReleaseEvent(QMouseEvent* event) {
  if (std::exchange(selecting_, false)) offerPrimarySelection();
  QAbstractScrollArea::mouseReleaseEvent(event);
}

QString TranscriptView::selectedText() const {
  const int row = rowOfSelection();
  if (row < 0) return {};
  const int start = std::min(selection_->anchor, selection_->cursor);
  return messages_.at(row).text.mid(start, std::abs(selection_->cursor - selection_->anchor));
}

void TranscriptView::select(int row, int anchor, int cursor) {
  selection_ = Selection{messages_.at(row).id, anchor, cursor};
  viewport()->update();
}

void TranscriptView::offerPrimarySelection() const {
  // Middle-click pastes it elsewhere, where the desktop has such a selection.
  QClipboard* clipboard = QApplication::clipboard();
  const QString text = selectedText();
  if (clipboard->supportsSelection() && !text.isEmpty()) {
    clipboard->setText(text, QClipboard::Selection);
  }
}

int TranscriptView::currentRow() const {
  const int row = current_ ? static_cast<int>(messages_.rowOf(*current_)) : -1;
  return row >= 0 ? row : static_cast<int>(messages_.size()) - 1;
}

void TranscriptView::setCurrentRow(int row) {
  if (row < 0 || row >= static_cast<int>(messages_.size())) return;
  current_ = messages_.at(row).id;
  scrollRowIntoView(row);
  viewport()->update();
}

void TranscriptView::scrollRowIntoView(int row) {
  const QRect rect = rowRect(row);
  QScrollBar* bar = verticalScrollBar();
  if (rect.top() < 0) {
    scrollAnimation_->stop();
    bar->setValue(bar->value() + rect.top());
  } else if (rect.bottom() > viewport()->height()) {
    scrollAnimation_->stop();
    bar->setValue(bar->value() + rect.bottom() - viewport()->height());
  }
}

void TranscriptView::copySelection() const {
  const QString text = selectedText();
  if (!text.isEmpty()) QApplication::clipboard()->setText(text);
}

void TranscriptView::keyPressEvent(QKeyEvent* event) {
  const int row = currentRow();
  if (event->matches(QKeySequence::Copy)) {
    copySelection();
  } else if (row < 0) {
    QAbstractScrollArea::keyPressEvent(event);
  } else if (event->matches(QKeySequence::SelectAll)) {
    select(row, 0, static_cast<int>(messages_.at(row).text.size()));
    offerPrimarySelection();
  } else if (event->matches(QKeySequence::SelectNextChar) ||
             event->matches(QKeySequence::SelectPreviousChar)) {
    const bool forward = event->matches(QKeySequence::SelectNextChar);
    const int size = static_cast<int>(messages_.at(row).text.size());
    if (rowOfSelection() != row) {
      const int start = forward ? 0 : size;
      select(row, start, start);
    }
    select(row, selection_->anchor, std::clamp(selection_->cursor + (forward ? 1 : -1), 0, size));
    offerPrimarySelection();
  } else if (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier) {
    // The menu key reaches contextMenuEvent by itself; Shift+F10 does not.
    QContextMenuEvent menu(QContextMenuEvent::Keyboard, QPoint(), mapToGlobal(QPoint()));
    contextMenuEvent(&menu);
  } else if (event->key() == Qt::Key_Up || event->key() == Qt::Key_Down) {
    setCurrentRow(row + (event->key() == Qt::Key_Up ? -1 : 1));
  } else if (event->key() == Qt::Key_Home || event->key() == Qt::Key_End) {
    setCurrentRow(event->key() == Qt::Key_Home ? 0 : static_cast<int>(messages_.size()) - 1);
  } else {
    QAbstractScrollArea::keyPressEvent(event);
  }
}

void TranscriptView::focusInEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusInEvent(event);
  // Coming by Tab, show where the keyboard stands; a click chooses its own bubble.
  const bool byTab =
      event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason;
  const int row = currentRow();
  if (byTab && row >= 0) setCurrentRow(row);
  viewport()->update();
}

void TranscriptView::focusOutEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusOutEvent(event);
  viewport()->update();
}

void TranscriptView::contextMenuEvent(QContextMenuEvent* event) {
  auto* menu = new QMenu(this);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  QAction* copy = menu->addAction(tr("Copy"), this, &TranscriptView::copySelection);
  copy->setEnabled(!selectedText().isEmpty());
  // From the keyboard, at the bubble it stands on.
  const int row = currentRow();
  QPoint at = event->globalPos();
  if (event->reason() == QContextMenuEvent::Keyboard && row >= 0) {
    at = viewport()->mapToGlobal(rowRect(row).topLeft() +
                                 bubbleAt(row)->bubbleRect(rowWidth()).center().toPoint());
  }
  menu->popup(at);
}
