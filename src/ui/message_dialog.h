// "BKL Message": a long text shown to the user, read-only, closed with OK only (Escape does not
// close it). The log window shows a double-clicked line in it; other dialogs show their errors.
#pragma once

#include <QDialog>
#include <QString>
#include <memory>

namespace Ui {
class MessageDialog;
}

namespace ui {

class MessageDialog final : public QDialog {
  Q_OBJECT

 public:
  MessageDialog(QWidget* parent, const QString& text);
  ~MessageDialog() override;
  QString text() const;

  // Shows the text modally (through runModal, so tests can take it).
  static void show(QWidget* parent, const QString& text);

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  std::unique_ptr<Ui::MessageDialog> form_;
};

}  // namespace ui
