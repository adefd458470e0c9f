// A long text shown to the user, read-only, in one of two forms: "BKL Message" (the log window
// shows a double-clicked line in it, other dialogs their errors), closed with "&OK" only (Escape
// does not close it); and the client-certificate selection's load-failure box "Failed to load
// Client Certificate and/or Key", whose one button "OK" is its cancel button (OK and Escape both
// close it). Window thread only.
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
  enum class Kind { kMessage, kLoadFailure };
  MessageDialog(QWidget* parent, const QString& text, Kind kind = Kind::kMessage);
  ~MessageDialog() override;
  QString text() const;
  Kind kind() const { return kind_; }

  // Shows the text modally (through runModal, so tests can take it).
  static void show(QWidget* parent, const QString& text, Kind kind = Kind::kMessage);

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  std::unique_ptr<Ui::MessageDialog> form_;
  Kind kind_;
};

}  // namespace ui
