#include "ui/ui_test_support.h"

#include <QFileDialog>
#include <QVariant>

#include "config/settings.h"
#include "platform/registry.h"
#include "ui/modal.h"

namespace ui_test {
QWidget* controlById(QWidget* root, int id) {
  if (root == nullptr) return nullptr;
  if (root->property("controlId").toInt() == id) return root;
  for (QWidget* child : root->findChildren<QWidget*>()) {
    const QVariant value = child->property("controlId");
    if (value.isValid() && value.toInt() == id) return child;
  }
  return nullptr;
}

bool clickId(QWidget* root, int id) {
  QAbstractButton* button = byId<QAbstractButton>(root, id);
  if (button == nullptr || !button->isEnabled()) return false;
  button->click();
  return true;
}

void setTextId(QWidget* root, int id, const QString& text) {
  QWidget* control = controlById(root, id);
  if (auto* combo = qobject_cast<QComboBox*>(control)) {
    combo->setCurrentText(text);
  } else if (auto* edit = qobject_cast<QLineEdit*>(control)) {
    edit->setText(text);
  }
}

QString textId(QWidget* root, int id) {
  QWidget* control = controlById(root, id);
  if (auto* combo = qobject_cast<QComboBox*>(control)) return combo->currentText();
  if (auto* edit = qobject_cast<QLineEdit*>(control)) return edit->text();
  if (auto* button = qobject_cast<QAbstractButton*>(control)) return button->text();
  return "<no control " + QString::number(id) + ">";
}

ModalScript::ModalScript() {
  ui::setModalHook([this](QDialog* dialog) {
    seen_.push_back(dialog->windowTitle());
    if (steps_.empty()) {
      ++unexpected_;
      return static_cast<int>(QDialog::Rejected);
    }
    Step step = std::move(steps_.front());
    steps_.pop_front();
    const int result = step(dialog);
    if (result < 0) ++unexpected_;
    return result < 0 ? static_cast<int>(QDialog::Rejected) : result;
  });
}

ModalScript::~ModalScript() { ui::setModalHook(nullptr); }

ModalScript& ModalScript::then(Step step) {
  steps_.push_back(std::move(step));
  return *this;
}

ModalScript::Step pickFile(const QString& path, QString* title, QStringList* filters) {
  return [path, title, filters](QDialog* d) {
    auto* dialog = qobject_cast<QFileDialog*>(d);
    if (dialog == nullptr) return -1;
    if (title != nullptr) *title = dialog->windowTitle();
    if (filters != nullptr) *filters = dialog->nameFilters();
    dialog->selectFile(path);
    return static_cast<int>(QDialog::Accepted);
  };
}

TestStore::TestStore() { platform::setHiveDirectory(dir_.path()); }

TestStore::~TestStore() { platform::setHiveDirectory(""); }

void TestStore::setting(const std::string& name, uint32_t value) { values_.dword("", name, value); }

void TestStore::setting(const std::string& name, const std::string& value) {
  values_.text("", name, value);
}

void TestStore::binary(const std::string& name, const std::string& bytes) {
  values_.binary("", name, bytes);
}

void TestStore::rule(int n, uint16_t listen, uint16_t dest, uint32_t role) {
  values_.rule(n, listen, "127.0.0.1", dest, role);
}

DesktopProgram::DesktopProgram(const std::string& programFolder, uint32_t toolbarSize)
    : relay_(&bridge_) {
  relay_.loadSettings(platform::Hive::kCurrentUser, false);
  ui::MainWindow::Options options;
  options.programFolder = programFolder;
  options.toolbarSize = toolbarSize;
  window_ = std::make_unique<ui::MainWindow>(&relay_, &bridge_, options);
  window_->create();
}

DesktopProgram::~DesktopProgram() { window_.reset(); }

config::ccRule* makeRule(const std::string& port, const std::string& peer, const std::string& mask,
                         const std::string& dest, const std::string& destPort, uint32_t role) {
  auto* rule = new config::ccRule;
  rule->peerPortStr = port;
  rule->peerAddrStr = peer;
  rule->peerMaskStr = mask;
  rule->destAddrStr = dest;
  rule->destPortStr = destPort;
  rule->sslRole = role;
  config::deriveLiteralNumbers(rule);
  return rule;
}

void fillTable(config::RuleTable* table, const std::vector<config::ccRule*>& rules) {
  config::replaceRules(table, rules);
  for (config::ccRule* rule : rules) config::releaseRule(rule);
}

}  // namespace ui_test
