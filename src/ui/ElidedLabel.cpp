#include "ui/ElidedLabel.h"

#include <QEvent>
#include <QFontMetricsF>
#include <cmath>

namespace {
const QString kEllipsis(QChar(0x2026));
}  // namespace

ElidedLabel::ElidedLabel(QWidget* parent) : QLabel(parent) {
  setTextFormat(Qt::PlainText);
  setWordWrap(false);
}

void ElidedLabel::setFullText(const QString& text) {
  if (text == fullText_) return;
  fullText_ = text;
  setAccessibleName(text);
  elide();
  updateGeometry();
}

QSize ElidedLabel::sizeHint() const {
  return sizeFor(QFontMetricsF(font()).horizontalAdvance(fullText_));
}

QSize ElidedLabel::minimumSizeHint() const {
  return sizeFor(QFontMetricsF(font()).horizontalAdvance(kEllipsis));
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
  QLabel::resizeEvent(event);
  elide();
}

void ElidedLabel::changeEvent(QEvent* event) {
  QLabel::changeEvent(event);
  if (event->type() == QEvent::FontChange) {
    elide();
    updateGeometry();
  }
}

void ElidedLabel::elide() {
  const int room = contentsRect().width() - 2 * margin();
  setText(QFontMetricsF(font()).elidedText(fullText_, Qt::ElideRight, room));
}

QSize ElidedLabel::sizeFor(qreal textWidth) const {
  const QMargins margins = contentsMargins();
  // Rounded up, so that the text given its asked-for width is never shortened.
  return {static_cast<int>(std::ceil(textWidth)) + 2 * margin() + margins.left() + margins.right(),
          QLabel::sizeHint().height()};
}
