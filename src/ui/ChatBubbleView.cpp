#include "ui/ChatBubbleView.h"

#include <QFontMetricsF>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QRegularExpression>
#include <QTextOption>
#include <algorithm>
#include <cmath>

#include "ui/UiLook.h"

const QColor ChatBubbleView::sentBubbleColor(11, 147, 246);
const QColor ChatBubbleView::receivedBubbleColor(229, 229, 234);

namespace {
constexpr qreal kTextPoints = 14;
constexpr qreal kFooterPoints = 10;
const QColor kSentTextColor = Qt::white;
const QColor kReceivedTextColor = Qt::black;
// Row: the bubble keeps this far from the other side and sits inside this padding.
constexpr qreal kRowPaddingX = 8;
constexpr qreal kRowPaddingY = 2;
constexpr qreal kColumnSpacing = 2;  // between bubble and footer
constexpr qreal kBubblePaddingX = 12;
constexpr qreal kBubblePaddingY = 8;
constexpr qreal kCornerRadius = 14;
constexpr qreal kInProgressOpacity = 0.5;
constexpr qreal kBorderWidth = 1;
constexpr qreal kBorderOpacity = 0.35;
const QList<qreal> kBorderDashes{4, 3};  // in line widths, which are 1
constexpr qreal kCaretSpacing = 3;
constexpr qreal kCaretWidth = 2;
constexpr qreal kCaretHeight = 15;
constexpr qreal kCaretRadius = 1;
constexpr qreal kCaretOpacity = 0.6;
constexpr qreal kFooterPaddingX = 4;
constexpr qreal kSelectionOpacity = 0.35;

const QString kReceivingText = QStringLiteral("Receiving\u2026");
const QString kSnrPrefix = QStringLiteral(" \u00b7 SNR ");
const QString kIncompleteSuffix = QStringLiteral(" \u00b7 incomplete");

// The locale's short time with hours and minutes only ("20:26", "8:26 PM"), and its long date
// with the weekday left out and the month abbreviated ("Dec 6, 2026"). Made once per locale:
// every row's footer needs them.
struct DateFormats {
  QLocale locale;
  QString time;
  QString date;
};

const DateFormats& dateFormats() {
  static DateFormats formats{QLocale(QLocale::C), {}, {}};
  const QLocale locale;
  if (formats.time.isEmpty() || formats.locale != locale) {
    static const QRegularExpression seconds(QStringLiteral("[:.]?s+"));
    static const QRegularExpression weekday(QStringLiteral("d{4}[,.]?\\s*"));
    formats.locale = locale;
    formats.time = locale.timeFormat(QLocale::ShortFormat).remove(seconds).trimmed();
    formats.date = locale.dateFormat(QLocale::LongFormat)
                       .remove(weekday)
                       .replace(QStringLiteral("MMMM"), QStringLiteral("MMM"))
                       .trimmed();
  }
  return formats;
}
}  // namespace

ChatBubbleView::Fonts ChatBubbleView::defaultFonts() {
  return {UiLook::systemFont(kTextPoints), UiLook::systemFont(kFooterPoints)};
}

ChatBubbleView::ChatBubbleView(const ChatMessage& message, qreal maxBubbleWidth, const Fonts& fonts,
                               const QDateTime& now)
    : isSent_(message.isSent),
      state_(message.decodeState),
      footer_(footerText(message, now)),
      footerFont_(fonts.footer) {
  // Shown verbatim; a line break in a macro's text still breaks the line.
  QString text = message.text;
  text.replace(u'\n', QChar::LineSeparator);
  textLayout_.setText(text);
  textLayout_.setFont(fonts.text);
  textLayout_.setCacheEnabled(true);
  QTextOption option(Qt::AlignLeft);
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  textLayout_.setTextOption(option);
  qreal y = 0;
  qreal widest = 0;
  textLayout_.beginLayout();
  for (QTextLine line = textLayout_.createLine(); line.isValid(); line = textLayout_.createLine()) {
    line.setLineWidth(maxBubbleWidth);
    line.setPosition(QPointF(0, y));
    y += line.height();
    widest = std::max(widest, line.naturalTextWidth());
  }
  textLayout_.endLayout();
  textSize_ = QSizeF(std::ceil(std::min(widest, maxBubbleWidth)), std::ceil(y));

  const QFontMetricsF footerMetrics(footerFont_);
  footerWidth_ = std::ceil(footerMetrics.horizontalAdvance(footer_)) + 2 * kFooterPaddingX;
  footerHeight_ = std::ceil(footerMetrics.height());
}

bool ChatBubbleView::inProgress() const { return state_ == ChatMessage::DecodeState::inProgress; }

qreal ChatBubbleView::bubbleWidth() const {
  const qreal caret = inProgress() ? kCaretSpacing + kCaretWidth : 0;
  return textSize_.width() + caret + 2 * kBubblePaddingX;
}

qreal ChatBubbleView::bubbleHeight() const {
  const qreal content = std::max(textSize_.height(), inProgress() ? kCaretHeight : 0);
  return content + 2 * kBubblePaddingY;
}

qreal ChatBubbleView::columnWidth() const { return std::max(bubbleWidth(), footerWidth_); }

qreal ChatBubbleView::columnLeft(qreal rowWidth) const {
  return isSent_ ? rowWidth - kRowPaddingX - columnWidth() : kRowPaddingX;
}

int ChatBubbleView::height() const {
  return static_cast<int>(
      std::ceil(kRowPaddingY + bubbleHeight() + kColumnSpacing + footerHeight_ + kRowPaddingY));
}

QRectF ChatBubbleView::bubbleRect(qreal rowWidth) const {
  const qreal left = columnLeft(rowWidth);
  const qreal x = isSent_ ? left + columnWidth() - bubbleWidth() : left;
  return {x, kRowPaddingY, bubbleWidth(), bubbleHeight()};
}

QRectF ChatBubbleView::textRect(qreal rowWidth) const {
  const QRectF bubble = bubbleRect(rowWidth);
  // Bottom-aligned with the caret, which may be the taller of the two.
  const qreal y = bubble.bottom() - kBubblePaddingY - textSize_.height();
  return {bubble.left() + kBubblePaddingX, y, textSize_.width(), textSize_.height()};
}

QRectF ChatBubbleView::footerRect(qreal rowWidth) const {
  const qreal left = columnLeft(rowWidth);
  const qreal x = isSent_ ? left + columnWidth() - footerWidth_ : left;
  const QRectF bubble = bubbleRect(rowWidth);
  return {x, bubble.bottom() + kColumnSpacing, footerWidth_, footerHeight_};
}

void ChatBubbleView::paint(QPainter& painter, qreal rowWidth, const QPalette& palette,
                           bool caretVisible, std::optional<TextRange> selection) const {
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF bubble = bubbleRect(rowWidth);
  QPainterPath outline;
  outline.addRoundedRect(bubble, kCornerRadius, kCornerRadius);
  QColor fill = isSent_ ? sentBubbleColor : receivedBubbleColor;
  if (inProgress()) fill.setAlphaF(kInProgressOpacity);
  painter.fillPath(outline, fill);

  const QColor textColor = isSent_ ? kSentTextColor : kReceivedTextColor;
  const QRectF text = textRect(rowWidth);
  QList<QTextLayout::FormatRange> selections;
  if (selection && selection->length > 0) {
    QColor highlight = isSent_ ? QColor(Qt::white) : palette.color(QPalette::Highlight);
    highlight.setAlphaF(kSelectionOpacity);
    QTextLayout::FormatRange range;
    range.start = selection->start;
    range.length = selection->length;
    range.format.setBackground(highlight);
    selections.append(range);
  }
  painter.setPen(textColor);
  textLayout_.draw(&painter, text.topLeft(), selections);

  if (inProgress()) {
    if (caretVisible) {
      QColor caret = textColor;
      caret.setAlphaF(kCaretOpacity);
      QPainterPath caretPath;
      caretPath.addRoundedRect(
          QRectF(text.right() + kCaretSpacing, bubble.bottom() - kBubblePaddingY - kCaretHeight,
                 kCaretWidth, kCaretHeight),
          kCaretRadius, kCaretRadius);
      painter.fillPath(caretPath, caret);
    }
    // Stroked inside the outline, so the whole border lies within the bubble.
    QColor border = palette.color(QPalette::PlaceholderText);
    border.setAlphaF(border.alphaF() * kBorderOpacity);
    QPen pen(border, kBorderWidth, Qt::CustomDashLine, Qt::FlatCap, Qt::MiterJoin);
    pen.setDashPattern(kBorderDashes);
    pen.setMiterLimit(10);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    const qreal inset = kBorderWidth / 2;
    painter.drawRoundedRect(bubble.adjusted(inset, inset, -inset, -inset), kCornerRadius - inset,
                            kCornerRadius - inset);
  }

  painter.setFont(footerFont_);
  painter.setPen(palette.color(QPalette::PlaceholderText));
  painter.drawText(footerRect(rowWidth), Qt::AlignCenter, footer_);
  painter.restore();
}

int ChatBubbleView::textPositionAt(QPointF point, qreal rowWidth, bool onCharacter) const {
  const QPointF local = point - textRect(rowWidth).topLeft();
  if (textLayout_.lineCount() == 0) return 0;
  if (local.y() < 0) return 0;
  for (int i = 0; i < textLayout_.lineCount(); ++i) {
    const QTextLine line = textLayout_.lineAt(i);
    if (local.y() < line.y() + line.height()) {
      return line.xToCursor(local.x(), onCharacter ? QTextLine::CursorOnCharacter
                                                   : QTextLine::CursorBetweenCharacters);
    }
  }
  return textLayout_.text().size();
}

QString ChatBubbleView::footerText(const ChatMessage& message, const QDateTime& now) {
  switch (message.decodeState) {
    case ChatMessage::DecodeState::inProgress:
      return kReceivingText;
    case ChatMessage::DecodeState::complete:
      return timeText(message.date, now) + snrText(message.bestSnrDb);
    case ChatMessage::DecodeState::incomplete:
      return timeText(message.date, now) + snrText(message.bestSnrDb) + kIncompleteSuffix;
  }
  Q_UNREACHABLE();
}

QString ChatBubbleView::timeText(const QDateTime& date, const QDateTime& now) {
  const DateFormats& formats = dateFormats();
  const QDateTime local = date.toLocalTime();
  const QString time = formats.locale.toString(local.time(), formats.time);
  if (local.date() == now.toLocalTime().date()) return time;
  return formats.locale.toString(local.date(), formats.date) + QStringLiteral(", ") + time;
}

QString ChatBubbleView::snrText(std::optional<int> bestSnrDb) {
  if (!bestSnrDb) return {};
  const QString sign = *bestSnrDb > 0 ? QStringLiteral("+") : QString();
  return kSnrPrefix + sign + QString::number(*bestSnrDb) + QStringLiteral(" dB");
}
