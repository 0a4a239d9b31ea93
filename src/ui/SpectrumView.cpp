#include "ui/SpectrumView.h"

#include <QPainter>

#include "audio/WaterfallBitmap.h"

namespace {
// The colour of the quietest level, so the strip looks the same before the first row.
const QColor kBackgroundColor(8, 10, 30);
const QColor kMarkerColor = QColor::fromRgbF(1.0, 1.0, 1.0, 0.27);
constexpr qreal kMarkerLineWidth = 1.0;
}  // namespace

SpectrumView::SpectrumView(WaterfallBitmap& bitmap, int lowHz, int highHz, int defaultToneHz,
                           QWidget* parent)
    : QWidget(parent),
      bitmap_(&bitmap),
      lowHz_(lowHz),
      highHz_(highHz),
      defaultToneHz_(defaultToneHz) {
  setFixedHeight(kHeight);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  // Every pixel is painted, so Qt need not clear the background first.
  setAttribute(Qt::WA_OpaquePaintEvent);
  connect(&bitmap, &WaterfallBitmap::imageChanged, this, qOverload<>(&QWidget::update));
}

QSize SpectrumView::sizeHint() const { return {420, kHeight}; }

std::optional<qreal> SpectrumView::markerX(qreal width, int lowHz, int highHz, int toneHz) {
  if (toneHz < lowHz || toneHz > highHz || highHz == lowHz) return std::nullopt;
  return width * (toneHz - lowHz) / static_cast<qreal>(highHz - lowHz);
}

void SpectrumView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), kBackgroundColor);
  if (bitmap_) {
    const QImage image = bitmap_->image();
    if (!image.isNull()) {
      painter.setRenderHint(QPainter::SmoothPixmapTransform);
      painter.drawImage(QRectF(rect()), image);
    }
  }
  if (const auto x = markerX(width(), lowHz_, highHz_, defaultToneHz_)) {
    painter.setPen(QPen(kMarkerColor, kMarkerLineWidth));
    painter.drawLine(QPointF(*x, 0), QPointF(*x, height()));
  }
}
