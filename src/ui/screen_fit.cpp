#include "ui/screen_fit.h"

#include <QGuiApplication>
#include <QScreen>
#include <algorithm>

namespace ui {
namespace {

// What a window system's frame (title bar and borders) takes around a window's own area.
constexpr int kFrameWidth = 16;
constexpr int kFrameHeight = 48;

}  // namespace

QRect roomOnScreen(const QWidget* widget, const QPoint& near) {
  const QScreen* screen = QGuiApplication::screenAt(near);
  if (screen == nullptr && widget != nullptr) screen = widget->screen();
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return QRect(0, 0, 640, 480);
  const QRect area = screen->availableGeometry();
  return area.adjusted(0, 0, -kFrameWidth, -kFrameHeight);
}

QRect keptInside(const QRect& frame, const QRect& room) {
  const QSize size = frame.size().boundedTo(room.size());
  const int x = std::clamp(frame.x(), room.left(), room.left() + room.width() - size.width());
  const int y = std::clamp(frame.y(), room.top(), room.top() + room.height() - size.height());
  return QRect(QPoint(x, y), size);
}

}  // namespace ui
