#include "ui/UiLook.h"

#include <QApplication>
#include <QLabel>
#include <QLayout>

namespace UiLook {

namespace {
// The system font size the windows' point sizes are given against.
constexpr qreal kReferenceSystemFontPoints = 13.0;
}  // namespace

QFont systemFont(qreal points, QFont::Weight weight) {
  QFont font = QApplication::font();
  const qreal base = font.pointSizeF() > 0 ? font.pointSizeF() : kReferenceSystemFontPoints;
  font.setPointSizeF(points * base / kReferenceSystemFontPoints);
  font.setWeight(weight);
  return font;
}

QPalette lightPalette() {
  // Button colour first, window second: the other roles, the disabled group's included, are
  // derived from these two.
  QPalette palette(whiteLevel(0.98), whiteLevel(0.95));
  for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    palette.setColor(group, QPalette::Base, Qt::white);
    palette.setColor(group, QPalette::PlaceholderText, QColor(0, 0, 0, 128));
  }
  for (auto group : {QPalette::Active, QPalette::Inactive}) {
    palette.setColor(group, QPalette::Text, Qt::black);
    palette.setColor(group, QPalette::WindowText, Qt::black);
    palette.setColor(group, QPalette::ButtonText, Qt::black);
  }
  palette.setColor(QPalette::Disabled, QPalette::Text, QColor(0, 0, 0, 90));
  palette.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0, 0, 0, 90));
  palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0, 0, 0, 90));
  palette.setColor(QPalette::Disabled, QPalette::PlaceholderText, QColor(0, 0, 0, 70));
  return palette;
}

QColor whiteLevel(qreal white) { return QColor::fromRgbF(white, white, white); }

QLabel* makeErrorLabel(QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(true);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, kErrorColour);
  label->setPalette(palette);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  label->hide();
  return label;
}

void fitHeightToContent(QWidget* window, int width) {
  QLayout* content = window->layout();
  Q_ASSERT(content);
  content->activate();
  window->setFixedHeight(content->hasHeightForWidth() ? content->totalHeightForWidth(width)
                                                      : content->totalSizeHint().height());
}

}  // namespace UiLook
