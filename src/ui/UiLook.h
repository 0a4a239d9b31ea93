// The look the windows share: fonts sized relative to the desktop's own, the light colour scheme
// some parts keep whatever the desktop's theme, and sizes that fit their content and their
// screen. Main thread.
#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>

class QLabel;
class QWidget;

namespace UiLook {

// The desktop's font at a size given in points of a 13-point system font, so that every size
// scales with the desktop's own default size.
QFont systemFont(qreal points, QFont::Weight weight = QFont::Normal);

// Black text on white fields and a light grey window, whatever the desktop's theme.
QPalette lightPalette();

// The red of a text that reports a failure.
inline const QColor kErrorColour(255, 59, 48);

// A hidden, wrapping, selectable line for a failure's sentence in that red. Its texts come
// from outside (file names, the store's reasons), so they are shown as plain text.
QLabel* makeErrorLabel(QWidget* parent);

// Fixes a window's size to its content: the given width, or wider where texts that cannot wrap
// need it, and exactly as tall as the content at that width, its layout brought up to date
// first. Wrapped texts show whole, and a field that has just grown pushes what lies below it
// down rather than running under it. Where the screen has less room, the window takes what
// there is, frame included, down to its content's minimum. A window not yet shown is fitted
// again as it is shown and once its frame is known, and its frame moved onto the free area.
void fitToContent(QWidget* window, int width);

// Opens a window at the wanted size where that fits in the free area of the screen it opens
// on, else as large as that area allows, frame included, never below the window's minimum size.
// Sized now, again as it is first shown, when its screen is known, and once more when the window
// manager has framed it, its frame then moved onto the free area.
void openWithinScreen(QWidget* window, QSize wanted);

// A grey of the given white level (0 … 1), opaque.
QColor whiteLevel(qreal white);

}  // namespace UiLook
