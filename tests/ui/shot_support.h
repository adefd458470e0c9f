// The screenshot tour's album: each window is shown (when it is not yet), painted, grabbed and
// saved as FOLDER/NAME.png. A picture of a single colour means the window did not paint; it is
// kept for a look but counted as a failure.
#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

namespace shots {

class Album {
 public:
  explicit Album(const QString& folder);
  bool ready() const { return ready_; }
  // Shows the widget (and hides it again when it was hidden), lets it paint, saves its picture.
  void take(QWidget* widget, const QString& name);
  // The whole primary screen, tray host and all.
  void takeScreen(const QString& name);
  void fail(const QString& why);
  // A failure for each name that has no picture (a command that opened no dialog).
  void expect(const QStringList& names);
  int failures() const { return failures_; }

 private:
  void keep(const QImage& image, const QString& name);

  QString folder_;
  QStringList kept_;
  bool ready_ = false;
  int failures_ = 0;
};

}  // namespace shots
