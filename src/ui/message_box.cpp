#include "ui/message_box.h"

namespace ui {

QMessageBox::StandardButton MessageBox::show(QWidget* parent, QMessageBox::Icon icon,
                                             const QString& title, const QString& text,
                                             QMessageBox::StandardButtons buttons,
                                             QMessageBox::StandardButton byDefault,
                                             const QString& informative) {
  lastTitle_ = title;
  lastText_ = text;
  lastInformative_ = informative;
  ++count_;
  if (nextAnswer_) {
    const QMessageBox::StandardButton answer = *nextAnswer_;
    nextAnswer_.reset();
    return answer;
  }
  QMessageBox box(icon, title, text, buttons, parent);
  box.setDefaultButton(byDefault);
  if (!informative.isEmpty()) box.setInformativeText(informative);
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

void MessageBox::setNextAnswer(QMessageBox::StandardButton answer) { nextAnswer_ = answer; }
QString MessageBox::lastTitle() { return lastTitle_; }
QString MessageBox::lastText() { return lastText_; }
QString MessageBox::lastInformative() { return lastInformative_; }
int MessageBox::count() { return count_; }

}  // namespace ui
