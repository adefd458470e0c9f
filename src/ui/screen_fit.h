// Windows as the screen has room for them: a stored place or size from a larger screen (or
// another scale factor) is brought inside the screen's available area, and a dialog taller than
// the screen scrolls its controls while its buttons stay in reach. Window thread.
#pragma once

#include <QRect>
#include <QWidget>

namespace ui {

// The available area of the screen the widget is on (or would be at `near`), less room for the
// window frame the window system adds.
QRect roomOnScreen(const QWidget* widget, const QPoint& near);
// The frame moved and shrunk, as little as can be, to lie inside `room`.
QRect keptInside(const QRect& frame, const QRect& room);

}  // namespace ui
