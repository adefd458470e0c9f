#include "ui/shot_support.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QSet>
#include <cstdio>

namespace shots {
namespace {

void settle(int ms) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 20);
}

// True when the picture holds more than one colour (sampled on a grid; a blank window is one).
bool painted(const QImage& image) {
  if (image.isNull()) return false;
  QSet<QRgb> colours;
  const int stepX = qMax(1, image.width() / 64);
  const int stepY = qMax(1, image.height() / 64);
  for (int y = 0; y < image.height() && colours.size() < 3; y += stepY) {
    for (int x = 0; x < image.width() && colours.size() < 3; x += stepX) {
      colours.insert(image.pixel(x, y));
    }
  }
  return colours.size() >= 3;
}

}  // namespace

Album::Album(const QString& folder) : folder_(folder) {
  ready_ = QDir().mkpath(folder_);
  if (!ready_) fail("cannot make the folder " + folder_);
}

void Album::take(QWidget* widget, const QString& name) {
  const bool wasHidden = !widget->isVisible();
  if (wasHidden) widget->show();
  widget->raise();
  widget->activateWindow();
  settle(300);  // layouts, the first paint, and the window manager's placing
  keep(widget->grab().toImage(), name);
  if (wasHidden) widget->hide();
}

void Album::takeScreen(const QString& name) {
  settle(300);
  QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) {
    fail("no screen for " + name);
    return;
  }
  keep(screen->grabWindow(0).toImage(), name);
}

void Album::keep(const QImage& image, const QString& name) {
  const QString path = folder_ + "/" + name + ".png";
  if (!image.isNull() && !image.save(path, "PNG")) fail("cannot write " + path);
  if (!painted(image)) {
    fail(name + " is blank");
    return;
  }
  kept_ << name;
  std::printf("%s\n", qPrintable(path));
}

void Album::expect(const QStringList& names) {
  for (const QString& name : names) {
    if (!kept_.contains(name)) fail("no picture of " + name);
  }
}

void Album::fail(const QString& why) {
  ++failures_;
  std::fprintf(stderr, "brisklane-screenshots: %s\n", qPrintable(why));
}

}  // namespace shots
