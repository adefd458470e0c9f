#include "ui/text_limit.h"

#include "ui/message_box.h"

namespace ui {

bool fitsLimit(const QString& text, int bytes) { return text.toUtf8().size() <= bytes; }

QValidator::State ByteLimitValidator::validate(QString& input, int& /*pos*/) const {
  return fitsLimit(input, bytes_) ? Acceptable : Invalid;
}

void limitText(QLineEdit* edit, int bytes) {
  if (edit != nullptr) edit->setValidator(new ByteLimitValidator(bytes, edit));
}

bool pathFits(QWidget* parent, const QString& title, const QString& path) {
  if (fitsLimit(path)) return true;
  MessageBox::show(parent, QMessageBox::Warning, title,
                   QString("The path is longer than %1 bytes, more than the settings can keep:\n%2")
                       .arg(kStoredTextLimit)
                       .arg(path));
  return false;
}

}  // namespace ui
