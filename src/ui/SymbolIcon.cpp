#include "ui/SymbolIcon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace SymbolIcon {

namespace {

constexpr int kSizes[] = {16, 24, 32, 48, 64};
// Drawings are made on a 16 by 16 grid and scaled.
constexpr qreal kGrid = 16;
constexpr qreal kStroke = 1.4;

void draw(QPainter& painter, Symbol symbol) {
  switch (symbol) {
    case Symbol::person:
      painter.drawEllipse(QPointF(8, 5), 3, 3);
      painter.drawArc(QRectF(2.5, 9.5, 11, 9), 0, 180 * 16);
      break;
    case Symbol::speaker: {
      QPainterPath cone;
      cone.moveTo(1.5, 6);
      cone.lineTo(4.5, 6);
      cone.lineTo(8, 2.5);
      cone.lineTo(8, 13.5);
      cone.lineTo(4.5, 10);
      cone.lineTo(1.5, 10);
      cone.closeSubpath();
      painter.drawPath(cone);
      painter.drawArc(QRectF(6, 5, 6, 6), -50 * 16, 100 * 16);
      painter.drawArc(QRectF(5, 2, 10, 12), -50 * 16, 100 * 16);
      break;
    }
    case Symbol::antenna:
      painter.drawLine(QPointF(8, 6), QPointF(8, 15));
      painter.drawEllipse(QPointF(8, 5.5), 1, 1);
      for (qreal radius : {3.5, 6.5}) {
        const QRectF ring(8 - radius, 5.5 - radius, 2 * radius, 2 * radius);
        painter.drawArc(ring, 135 * 16, 90 * 16);
        painter.drawArc(ring, -45 * 16, 90 * 16);
      }
      break;
    case Symbol::arrowDownToLine:
      painter.drawLine(QPointF(8, 1.5), QPointF(8, 10.5));
      painter.drawPolyline(QPolygonF({{4, 6.5}, {8, 10.5}, {12, 6.5}}));
      painter.drawLine(QPointF(2.5, 14), QPointF(13.5, 14));
      break;
    case Symbol::copy:
      painter.drawRoundedRect(QRectF(2, 4.5, 8, 10), 1.5, 1.5);
      painter.drawPolyline(QPolygonF({{6, 3}, {6, 1.5}, {14, 1.5}, {14, 11.5}, {11.5, 11.5}}));
      break;
    case Symbol::save:
      painter.drawLine(QPointF(8, 1.5), QPointF(8, 9.5));
      painter.drawPolyline(QPolygonF({{5, 6.5}, {8, 9.5}, {11, 6.5}}));
      painter.drawPolyline(
          QPolygonF({{5.5, 4.5}, {2, 4.5}, {2, 14.5}, {14, 14.5}, {14, 4.5}, {10.5, 4.5}}));
      break;
    case Symbol::trash:
      painter.drawLine(QPointF(2, 4), QPointF(14, 4));
      painter.drawPolyline(QPolygonF({{6, 4}, {6, 2}, {10, 2}, {10, 4}}));
      painter.drawPolyline(QPolygonF({{3.5, 4}, {4.5, 14.5}, {11.5, 14.5}, {12.5, 4}}));
      painter.drawLine(QPointF(6.5, 7), QPointF(6.5, 12));
      painter.drawLine(QPointF(9.5, 7), QPointF(9.5, 12));
      break;
    case Symbol::chevronDown:
      painter.drawEllipse(QPointF(8, 8), 6.5, 6.5);
      painter.drawPolyline(QPolygonF({{5, 6.8}, {8, 9.8}, {11, 6.8}}));
      break;
  }
}

}  // namespace

QIcon icon(Symbol symbol, const QString& themeName, const QColor& colour) {
  const QIcon themed = QIcon::fromTheme(themeName);
  if (!themed.isNull()) return themed;
  QIcon drawn;
  for (int size : kSizes) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / kGrid, size / kGrid);
    painter.setPen(QPen(colour, kStroke, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    draw(painter, symbol);
    painter.end();
    drawn.addPixmap(pixmap);
  }
  return drawn;
}

}  // namespace SymbolIcon
