// "Failed to load Client Certificate and/or Key": the SSL library's text of why the chosen client
// certificate file could not be read, shown by the client-certificate selection. Its one button
// is the dialog's cancel button: OK and Escape both close it. Window thread only.
#pragma once

#include <QDialog>
#include <QString>
#include <memory>

namespace Ui {
class LoadFailureDialog;
}

namespace ui {

class LoadFailureDialog final : public QDialog {
  Q_OBJECT

 public:
  LoadFailureDialog(QWidget* parent, const QString& text);
  ~LoadFailureDialog() override;
  QString text() const;

  // Shows the box modally (through runModal, so tests can take it).
  static void show(QWidget* parent, const QString& text);

 private:
  std::unique_ptr<Ui::LoadFailureDialog> form_;
};

}  // namespace ui
