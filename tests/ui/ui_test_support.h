// What the window tests share: modal dialogs answered by a script instead of a person, a
// configuration store of the test's own, controls found by their dialog ids, and the desktop
// program's window put together as the program does it (bridge, relay, main window).
#pragma once

#include <QAbstractButton>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QString>
#include <QWidget>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "config/rules.h"
#include "relay/relay.h"
#include "support/store.h"
#include "support/support.h"
#include "ui/main_window.h"
#include "ui/relay_bridge.h"

namespace ui_test {

// The control of `root` whose "controlId" is `id` (the first in `root`'s tree), or null.
QWidget* controlById(QWidget* root, int id);
template <typename T>
T* byId(QWidget* root, int id) {
  return qobject_cast<T*>(controlById(root, id));
}
// Clicks the button with the id; false when there is no such enabled button.
bool clickId(QWidget* root, int id);
// Types into the editable combo box or text field with the id, replacing its text.
void setTextId(QWidget* root, int id, const QString& text);
QString textId(QWidget* root, int id);

// Every modal dialog run while the script lives is handed to its next step, which answers it
// (a step returns the dialog's result). A dialog with no step left is rejected and counted.
class ModalScript {
 public:
  using Step = std::function<int(QDialog* dialog)>;
  ModalScript();
  ~ModalScript();
  ModalScript(const ModalScript&) = delete;
  ModalScript& operator=(const ModalScript&) = delete;

  ModalScript& then(Step step);
  // A step of a dialog of type T: `act` fills it in and presses its buttons; the answer is the
  // result the dialog then has. A dialog of another type fails the step.
  template <typename T>
  ModalScript& on(std::function<void(T*)> act) {
    return then([act](QDialog* d) {
      T* dialog = qobject_cast<T*>(d);
      if (dialog == nullptr) return -1;
      act(dialog);
      return d->result();
    });
  }
  bool finished() const { return steps_.empty() && unexpected_ == 0; }
  int unexpected() const { return unexpected_; }
  size_t left() const { return steps_.size(); }
  // The titles of the dialogs run, in order.
  const std::vector<QString>& seen() const { return seen_; }

 private:
  std::deque<Step> steps_;
  int unexpected_ = 0;
  std::vector<QString> seen_;
};

// A file dialog step: checks nothing, picks `path` and accepts.
ModalScript::Step pickFile(const QString& path, QString* title = nullptr,
                           QStringList* filters = nullptr);

// A configuration store in a temporary folder for the test's life; values and rules written into
// the store (read when the program loads).
class TestStore {
 public:
  TestStore();
  ~TestStore();
  TestStore(const TestStore&) = delete;
  TestStore& operator=(const TestStore&) = delete;
  const std::string& dir() const { return dir_.path(); }
  std::string file(const std::string& name) const { return dir_.file(name); }
  void setting(const std::string& name, uint32_t value);
  void setting(const std::string& name, const std::string& text);
  void binary(const std::string& name, const std::string& bytes);
  // A direct rule on 127.0.0.1:listen to 127.0.0.1:dest in the given role.
  void rule(int n, uint16_t listen, uint16_t dest, uint32_t role = 0);

 private:
  test_support::TempDir dir_;
  test_support::StoreValues values_;
};

// A rule of the table built the way the loader builds one.
config::ccRule* makeRule(const std::string& port, const std::string& peer, const std::string& mask,
                         const std::string& dest, const std::string& destPort,
                         uint32_t role = config::kRolePlug);
// Puts the rules into `table` (which takes their references).
void fillTable(config::RuleTable* table, const std::vector<config::ccRule*>& rules);

// The program's window on the store, as brisklane puts it together.
class DesktopProgram {
 public:
  explicit DesktopProgram(const std::string& programFolder = ".", uint32_t toolbarSize = 48);
  ~DesktopProgram();
  ui::MainWindow& window() { return *window_; }
  ui::RelayBridge& bridge() { return bridge_; }
  relay::Relay& relay() { return relay_; }

 private:
  ui::RelayBridge bridge_;
  relay::Relay relay_;
  std::unique_ptr<ui::MainWindow> window_;
};

}  // namespace ui_test
