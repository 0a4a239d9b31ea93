// The look the windows share: fonts sized relative to the desktop's own, the light colour scheme
// some parts keep whatever the desktop's theme, and heights that fit their content. Main thread.
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

// Makes a window of a fixed width exactly as tall as its content at that width, its layout
// brought up to date first: wrapped texts show whole, and a field that has just grown pushes
// what lies below it down rather than running under it.
void fitHeightToContent(QWidget* window, int width);

// A grey of the given white level (0 … 1), opaque.
QColor whiteLevel(qreal white);

}  // namespace UiLook
