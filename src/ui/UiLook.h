// The look the main window's parts share: fonts sized in the design's points and the light
// colour scheme some parts keep whatever the desktop's theme. Main thread.
#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>

namespace UiLook {

// The desktop's font at a size given in the design's points. The design's sizes are relative to
// a system font of 13 points, so they scale with the desktop's own default size.
QFont systemFont(qreal designPoints, QFont::Weight weight = QFont::Normal);

// Black text on white fields and a light grey window, whatever the desktop's theme.
QPalette lightPalette();

// A grey of the given white level (0 … 1), opaque.
QColor whiteLevel(qreal white);

}  // namespace UiLook
