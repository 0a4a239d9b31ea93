#include "ui/LengthWarning.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>

#include "ui/UiLook.h"

namespace {
constexpr int kSpacing = 6;
constexpr int kPaddingX = 12;
constexpr int kPaddingTop = 6;
constexpr qreal kFontPoints = 11;
constexpr qreal kBackgroundWhite = 0.95;
const QColor kWarningColor = QColor::fromRgbF(0.7, 0.35, 0.0);
const QString kIconName = QStringLiteral("dialog-warning");

// A filled warning triangle with the exclamation mark cut out, for desktops without an icon
// theme.
QIcon drawnWarningIcon(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath triangle;
  triangle.moveTo(size / 2.0, 0.5);
  triangle.lineTo(size - 0.5, size - 1.0);
  triangle.lineTo(0.5, size - 1.0);
  triangle.closeSubpath();
  painter.fillPath(triangle, kWarningColor);
  painter.setCompositionMode(QPainter::CompositionMode_Clear);
  const qreal bar = std::max(1.5, size / 8.0);
  painter.fillRect(QRectF(size / 2.0 - bar / 2, size * 0.35, bar, size * 0.32), Qt::transparent);
  painter.fillRect(QRectF(size / 2.0 - bar / 2, size * 0.74, bar, bar), Qt::transparent);
  return QIcon(pixmap);
}
}  // namespace

LengthWarning::LengthWarning(int limit, QWidget* parent)
    : QWidget(parent), text_(tr("Messages are limited to %1 characters").arg(limit)) {
  QPalette palette = UiLook::lightPalette();
  palette.setColor(QPalette::Window, UiLook::whiteLevel(kBackgroundWhite));
  palette.setColor(QPalette::WindowText, kWarningColor);
  setPalette(palette);
  setAutoFillBackground(true);
  setFont(UiLook::systemFont(kFontPoints));

  const int iconSize = fontMetrics().height();
  auto* icon = new QLabel(this);
  icon->setPixmap(QIcon::fromTheme(kIconName, drawnWarningIcon(iconSize)).pixmap(iconSize));
  auto* label = new QLabel(text_, this);

  auto* layout = new QHBoxLayout(this);
  layout->setSpacing(kSpacing);
  layout->setContentsMargins(kPaddingX, kPaddingTop, kPaddingX, 0);
  layout->addWidget(icon);
  layout->addWidget(label);
  layout->addStretch();
}
