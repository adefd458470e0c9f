#include "ui/load_failure_dialog.h"

#include "ui/modal.h"
#include "ui_load_failure_dialog.h"

namespace ui {

LoadFailureDialog::LoadFailureDialog(QWidget* parent, const QString& text)
    : QDialog(parent), form_(std::make_unique<Ui::LoadFailureDialog>()) {
  form_->setupUi(this);
  form_->text->setPlainText(text);
  connect(form_->ok, &QPushButton::clicked, this, &QDialog::reject);
}

LoadFailureDialog::~LoadFailureDialog() = default;

QString LoadFailureDialog::text() const { return form_->text->toPlainText(); }

void LoadFailureDialog::show(QWidget* parent, const QString& text) {
  LoadFailureDialog box(parent, text);
  runModal(&box);
}

}  // namespace ui
