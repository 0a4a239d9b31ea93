#include "ui/UiLook.h"

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QLayout>
#include <QScreen>
#include <QWindow>
#include <algorithm>

namespace UiLook {

namespace {
// The system font size the windows' point sizes are given against.
constexpr qreal kReferenceSystemFontPoints = 13.0;

// The free area of the screen a window opens on (a dialog on its parent's), less the window's
// frame where the platform has said how wide that is.
QSize roomOnScreen(const QWidget* window) {
  const QWidget* anchor = window->parentWidget() ? window->parentWidget()->window() : window;
  const QScreen* screen = anchor->screen();
  if (!screen) return {QWIDGETSIZE_MAX, QWIDGETSIZE_MAX};
  QSize room = screen->availableGeometry().size();
  if (const QWindow* handle = window->windowHandle()) room = room.shrunkBy(handle->frameMargins());
  return room;
}

void resizeWithinScreen(QWidget* window, QSize wanted) {
  if (QLayout* content = window->layout()) content->activate();  // so that its minimum is known
  window->resize(wanted.boundedTo(roomOnScreen(window)).expandedTo(window->minimumSize()));
}

// Sizes its window once more as it is first shown: only then is its screen certain.
class FirstShowSizer final : public QObject {
 public:
  FirstShowSizer(QWidget* window, QSize wanted) : QObject(window), wanted_(wanted) {
    window->installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show) {
      resizeWithinScreen(static_cast<QWidget*>(watched), wanted_);
      watched->removeEventFilter(this);
      deleteLater();
    }
    return false;
  }

 private:
  QSize wanted_;
};
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

void fitToContent(QWidget* window, int width) {
  QLayout* content = window->layout();
  Q_ASSERT(content);
  content->activate();
  const QSize room = roomOnScreen(window);
  const QSize least = content->totalMinimumSize();
  width = std::max(std::min(width, room.width()), least.width());
  const int height = content->hasHeightForWidth() ? content->totalHeightForWidth(width)
                                                  : content->totalSizeHint().height();
  window->setFixedSize(width, std::max(std::min(height, room.height()), least.height()));
}

void openWithinScreen(QWidget* window, QSize wanted) {
  resizeWithinScreen(window, wanted);
  new FirstShowSizer(window, wanted);
}

}  // namespace UiLook
