#include "ui/message_dialog.h"

#include <QKeyEvent>

#include "ui/modal.h"
#include "ui_message_dialog.h"

namespace ui {

MessageDialog::MessageDialog(QWidget* parent, const QString& text, Kind kind)
    : QDialog(parent), form_(std::make_unique<Ui::MessageDialog>()), kind_(kind) {
  form_->setupUi(this);
  form_->text->setPlainText(text);
  if (kind_ == Kind::kLoadFailure) {
    setWindowTitle("Failed to load Client Certificate and/or Key");
    form_->ok->setText("OK");
    resize(400, 180);
    connect(form_->ok, &QPushButton::clicked, this, &QDialog::reject);
  } else {
    connect(form_->ok, &QPushButton::clicked, this, &QDialog::accept);
  }
}

MessageDialog::~MessageDialog() = default;

QString MessageDialog::text() const { return form_->text->toPlainText(); }

void MessageDialog::show(QWidget* parent, const QString& text, Kind kind) {
  MessageDialog dialog(parent, text, kind);
  runModal(&dialog);
}

void MessageDialog::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape && kind_ == Kind::kMessage) {
    event->accept();  // only OK closes the message
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace ui
