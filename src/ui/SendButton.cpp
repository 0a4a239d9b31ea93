#include "ui/SendButton.h"

#include <QPainter>
#include <cmath>

#include "ui/UiLook.h"

const QColor SendButton::enabledColor(11, 147, 246);
const QColor SendButton::disabledColor(168, 212, 251);

namespace {
constexpr qreal kTextPoints = 14;
constexpr int kPaddingX = 18;
constexpr int kPaddingY = 8;
const QColor kTextColor = Qt::white;
constexpr qreal kFocusRingWidth = 2;
constexpr qreal kFocusRingInset = 3;
}  // namespace

SendButton::SendButton(QWidget* parent) : QPushButton(tr("Send"), parent) {
  setFont(UiLook::systemFont(kTextPoints, QFont::DemiBold));
  setAccessibleName(tr("Send"));
  // A click leaves the focus, and the selection, in the message field.
  setFocusPolicy(Qt::TabFocus);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize SendButton::sizeHint() const {
  const QFontMetrics metrics(font());
  return {metrics.horizontalAdvance(text()) + 2 * kPaddingX, metrics.height() + 2 * kPaddingY};
}

void SendButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF capsule(rect());
  const qreal radius = capsule.height() / 2;
  painter.setPen(Qt::NoPen);
  painter.setBrush(isEnabled() ? enabledColor : disabledColor);
  painter.drawRoundedRect(capsule, radius, radius);
  painter.setPen(kTextColor);
  painter.drawText(capsule, Qt::AlignCenter, text());
  if (hasFocus()) {
    // The desktop's highlight is a blue much like the button's own: a white ring inside the
    // capsule shows on it.
    painter.setPen(QPen(kTextColor, kFocusRingWidth));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(
        capsule.adjusted(kFocusRingInset, kFocusRingInset, -kFocusRingInset, -kFocusRingInset),
        radius - kFocusRingInset, radius - kFocusRingInset);
  }
}
