#include "ui/MessageField.h"

#include <QKeyEvent>
#include <QPainter>

#include "ui/UiLook.h"

namespace {
constexpr qreal kTextPoints = 13;
// QLineEdit keeps 2 of its own on each side; together they make the capsule's 14 and 8.
constexpr int kPaddingX = 12;
constexpr int kPaddingY = 7;
constexpr qreal kOutlineWhite = 0.78;
constexpr qreal kOutlineWidth = 1;
}  // namespace

MessageField::MessageField(QWidget* parent) : QLineEdit(parent) {
  setPlaceholderText(tr("Text Message"));
  setAccessibleName(tr("Text Message"));
  setFrame(false);
  setTextMargins(kPaddingX, kPaddingY, kPaddingX, kPaddingY);
  setFont(UiLook::systemFont(kTextPoints));
  QPalette palette = UiLook::lightPalette();
  // The capsule is painted here; the field itself draws no background.
  palette.setColor(QPalette::Base, Qt::transparent);
  palette.setColor(QPalette::Disabled, QPalette::Base, Qt::transparent);
  setPalette(palette);
}

void MessageField::paintEvent(QPaintEvent* event) {
  {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal inset = kOutlineWidth / 2;
    const QRectF capsule = QRectF(rect()).adjusted(inset, inset, -inset, -inset);
    const qreal radius = capsule.height() / 2;
    painter.setBrush(Qt::white);
    painter.setPen(QPen(UiLook::whiteLevel(kOutlineWhite), kOutlineWidth));
    painter.drawRoundedRect(capsule, radius, radius);
  }
  QLineEdit::paintEvent(event);
}

void MessageField::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Up && event->modifiers() == Qt::NoModifier && upArrowHandler_ &&
      upArrowHandler_()) {
    event->accept();
    return;
  }
  QLineEdit::keyPressEvent(event);
}
