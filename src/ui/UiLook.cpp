#include "ui/UiLook.h"

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QLayout>
#include <QScreen>
#include <QWindow>
#include <algorithm>
#include <functional>

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

void fitToContentNow(QWidget* window, int width) {
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

// Moves a framed window so that its frame lies in the free area of its screen, as far as it fits.
// The inside is placed, not the frame: what Qt holds of the frame may lag behind the platform.
void moveFrameWithinScreen(QWidget* window) {
  const QScreen* screen = window->screen();
  if (!screen) return;
  const QRect area = screen->availableGeometry();
  const QMargins margins = window->windowHandle()->frameMargins();
  const QRect frame = window->geometry().marginsAdded(margins);
  const QPoint corner(
      std::max(area.left(), std::min(frame.left(), area.right() + 1 - frame.width())),
      std::max(area.top(), std::min(frame.top(), area.bottom() + 1 - frame.height())));
  // Asked even where it seems in place: a resize sent before the window manager's placement
  // was known carries the old position and may still be on its way.
  window->windowHandle()->setGeometry(
      QRect(corner + QPoint(margins.left(), margins.top()), window->size()));
}

// Fits its window again as it is first shown, when its screen is certain, and once more when the
// window manager has framed it: before that the frame's margins read 0, and a window fitted to
// the whole free area ends up its title bar's height past the bottom. Then the frame is moved into
// the free area, and the window is the operator's to move.
class FirstPlacement final : public QObject {
 public:
  static void watch(QWidget* window, std::function<void()> fit) {
    for (QObject* child : window->children()) {
      if (auto* placement = dynamic_cast<FirstPlacement*>(child)) {
        placement->fit_ = std::move(fit);
        return;
      }
    }
    new FirstPlacement(window, std::move(fit));
  }

 protected:
  // The frame's margins are known by the time the framed window is first painted, moved or
  // made active, whichever the window manager brings first.
  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* window = static_cast<QWidget*>(watched);
    if (event->type() == QEvent::Show) {
      fit_();
    } else if (event->type() == QEvent::Paint || event->type() == QEvent::Move ||
               event->type() == QEvent::WindowActivate) {
      const QWindow* handle = window->windowHandle();
      if (handle && !handle->frameMargins().isNull()) {
        window->removeEventFilter(this);
        // Not in the middle of a paint.
        QMetaObject::invokeMethod(
            this, [this, window] { place(window); }, Qt::QueuedConnection);
      }
    }
    return false;
  }

 private:
  FirstPlacement(QWidget* window, std::function<void()> fit)
      : QObject(window), fit_(std::move(fit)) {
    window->installEventFilter(this);
  }

  void place(QWidget* window) {
    fit_();
    moveFrameWithinScreen(window);
    deleteLater();
  }

  std::function<void()> fit_;
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
  fitToContentNow(window, width);
  if (!window->isVisible()) {
    FirstPlacement::watch(window, [window, width] { fitToContentNow(window, width); });
  }
}

void openWithinScreen(QWidget* window, QSize wanted) {
  resizeWithinScreen(window, wanted);
  FirstPlacement::watch(window, [window, wanted] { resizeWithinScreen(window, wanted); });
}

}  // namespace UiLook
