// Every message box of the desktop program goes through here, so that a test can answer the next
// one instead of a person (and read what it said) and never has to wait for a modal box.
#pragma once

#include <QMessageBox>
#include <QString>
#include <optional>

namespace ui {

class MessageBox {
 public:
  // Shows the box (modal) and returns the button chosen; a test's answer when one is set.
  // `informative` is the box's second text, the reason behind its first (none when empty).
  static QMessageBox::StandardButton show(QWidget* parent, QMessageBox::Icon icon,
                                          const QString& title, const QString& text,
                                          QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                          QMessageBox::StandardButton byDefault = QMessageBox::Ok,
                                          const QString& informative = QString());

  // Tests: the next box is answered with `answer` at once, without being shown.
  static void setNextAnswer(QMessageBox::StandardButton answer);
  // Tests: what the last box said (title and text), and how many were shown or answered.
  static QString lastTitle();
  static QString lastText();
  static QString lastInformative();
  static int count();

 private:
  static inline std::optional<QMessageBox::StandardButton> nextAnswer_;
  static inline QString lastTitle_;
  static inline QString lastText_;
  static inline QString lastInformative_;
  static inline int count_ = 0;
};

}  // namespace ui
