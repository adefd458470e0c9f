#include "ui/message_dialog.h"

#include <QKeyEvent>

#include "ui/modal.h"
#include "ui_message_dialog.h"

namespace ui {

MessageDialog::MessageDialog(QWidget* parent, const QString& text)
    : QDialog(parent), form_(std::make_unique<Ui::MessageDialog>()) {
  form_->setupUi(this);
  form_->text->setPlainText(text);
  connect(form_->ok, &QPushButton::clicked, this, &QDialog::accept);
}

MessageDialog::~MessageDialog() = default;

QString MessageDialog::text() const { return form_->text->toPlainText(); }

void MessageDialog::show(QWidget* parent, const QString& text) {
  MessageDialog dialog(parent, text);
  runModal(&dialog);
}

void MessageDialog::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    event->accept();  // only OK closes the message
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace ui
