#include "ui/HoldButton.h"

#include <QPainter>
#include <QPainterPath>

namespace {

constexpr int kHorizontalPadding = 14;
constexpr int kVerticalPadding = 3;
constexpr qreal kCornerRadius = 5;
constexpr qreal kBorderWidth = 1;
constexpr qreal kFocusBorderWidth = 2;
constexpr qreal kDisabledOpacity = 0.5;

}  // namespace

HoldButton::HoldButton(const QString& text, QWidget* parent) : QAbstractButton(parent) {
  setText(text);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize HoldButton::sizeHint() const {
  const QFontMetrics metrics = fontMetrics();
  return {metrics.horizontalAdvance(text()) + 2 * kHorizontalPadding,
          metrics.height() + 2 * kVerticalPadding};
}

void HoldButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setOpacity(isEnabled() ? 1.0 : kDisabledOpacity);
  const bool held = isDown();
  // The border lies inside the shape.
  const QRectF shape = QRectF(rect()).adjusted(kBorderWidth / 2, kBorderWidth / 2,
                                               -kBorderWidth / 2, -kBorderWidth / 2);
  QPainterPath path;
  path.addRoundedRect(shape, kCornerRadius, kCornerRadius);
  painter.fillPath(path, palette().color(held ? QPalette::Highlight : QPalette::Button));
  // With the keyboard's focus, the border turns into the desktop's focus colour.
  painter.setPen(hasFocus() ? QPen(palette().color(QPalette::Highlight), kFocusBorderWidth)
                            : QPen(palette().color(QPalette::Mid), kBorderWidth));
  painter.drawPath(path);
  painter.setPen(held ? QColor(Qt::white) : palette().color(QPalette::ButtonText));
  painter.drawText(rect(), Qt::AlignCenter, text());
}
