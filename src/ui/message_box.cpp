#include "ui/message_box.h"

namespace ui {

QMessageBox::StandardButton MessageBox::show(QWidget* parent, QMessageBox::Icon icon,
                                             const QString& title, const QString& text,
                                             QMessageBox::StandardButtons buttons,
                                             QMessageBox::StandardButton byDefault) {
  lastTitle_ = title;
  lastText_ = text;
  ++count_;
  if (nextAnswer_) {
    const QMessageBox::StandardButton answer = *nextAnswer_;
    nextAnswer_.reset();
    return answer;
  }
  QMessageBox box(icon, title, text, buttons, parent);
  box.setDefaultButton(byDefault);
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

void MessageBox::setNextAnswer(QMessageBox::StandardButton answer) { nextAnswer_ = answer; }
QString MessageBox::lastTitle() { return lastTitle_; }
QString MessageBox::lastText() { return lastText_; }
int MessageBox::count() { return count_; }

}  // namespace ui
