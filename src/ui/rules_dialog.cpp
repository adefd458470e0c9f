#include "ui/rules_dialog.h"

#include "ui/help.h"
#include "ui/message_box.h"
#include "ui/modal.h"
#include "ui/rule_editor.h"
#include "ui_rules_dialog.h"

namespace ui {
namespace {

QString description(const config::ccRule* rule) {
  char line[128];
  config::describeRule(line, sizeof line, rule);
  return QString::fromUtf8(line);
}

}  // namespace

RulesDialog::RulesDialog(QWidget* parent, config::RuleTable* table, RuleDialogContext context)
    : QDialog(parent),
      form_(std::make_unique<Ui::RulesDialog>()),
      table_(table),
      context_(std::move(context)) {
  form_->setupUi(this);
  for (int i = 0; i < table_->count; ++i) {
    config::ccRule* rule = table_->rules[i];
    if (rule == nullptr) continue;
    config::retainRule(rule);
    insertLine(static_cast<int>(rules_.size()), config::RuleRef(rule));
  }
  connect(form_->newRule, &QPushButton::clicked, this, &RulesDialog::newRule);
  connect(form_->editRule, &QPushButton::clicked, this, &RulesDialog::editRule);
  connect(form_->rulesList, &QListWidget::itemDoubleClicked, this, &RulesDialog::editRule);
  connect(form_->deleteRule, &QPushButton::clicked, this, &RulesDialog::deleteRule);
  connect(form_->moveUp, &QPushButton::clicked, this, [this] { moveRule(-1); });
  connect(form_->moveDown, &QPushButton::clicked, this, [this] { moveRule(1); });
  connect(form_->ok, &QPushButton::clicked, this, &RulesDialog::accept);
  connect(form_->cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(form_->help, &QPushButton::clicked, this,
          [this] { showHelp(this, context_.programFolder); });
}

RulesDialog::~RulesDialog() {
  while (!rules_.empty()) rules_.pop_back();
}

QStringList RulesDialog::lines() const {
  QStringList shown;
  for (int i = 0; i < form_->rulesList->count(); ++i) shown << form_->rulesList->item(i)->text();
  return shown;
}

const config::ccRule* RulesDialog::ruleAt(int line) const {
  return line >= 0 && line < static_cast<int>(rules_.size())
             ? rules_[static_cast<size_t>(line)].get()
             : nullptr;
}

int RulesDialog::selectedLine() const {
  const QList<QListWidgetItem*> selected = form_->rulesList->selectedItems();
  return selected.isEmpty() ? -1 : form_->rulesList->row(selected.first());
}

void RulesDialog::insertLine(int at, config::RuleRef rule) {
  form_->rulesList->insertItem(at, description(rule.get()));
  rules_.insert(rules_.begin() + at, std::move(rule));
}

void RulesDialog::newRule() {
  // The table keeps 256 rules; a list longer than that would lose rules on OK.
  if (rules_.size() >= static_cast<size_t>(config::kMaxRules)) {
    MessageBox::show(this, QMessageBox::Warning, windowTitle(),
                     QString("At most %1 rules can be kept: delete one before adding another.")
                         .arg(config::kMaxRules));
    return;
  }
  config::RuleRef rule = runRuleEditor(this, nullptr, context_);
  if (rule) insertLine(static_cast<int>(rules_.size()), std::move(rule));
}

void RulesDialog::editRule() {
  const int line = selectedLine();
  if (line < 0) return;
  config::RuleRef rule = runRuleEditor(this, rules_[static_cast<size_t>(line)].get(), context_);
  if (!rule) return;
  delete form_->rulesList->takeItem(line);
  rules_.erase(rules_.begin() + line);  // the list's reference to the old rule goes
  insertLine(line, std::move(rule));
  form_->rulesList->setCurrentRow(line);
}

void RulesDialog::deleteRule() {
  const int line = selectedLine();
  if (line < 0) return;
  delete form_->rulesList->takeItem(line);
  rules_.erase(rules_.begin() + line);
  if (line < form_->rulesList->count()) {
    form_->rulesList->setCurrentRow(line);
  } else {
    form_->rulesList->clearSelection();
  }
}

void RulesDialog::moveRule(int by) {
  const int line = selectedLine();
  const int to = line + by;
  if (line < 0 || to < 0 || to >= form_->rulesList->count()) return;
  QListWidgetItem* item = form_->rulesList->takeItem(line);
  form_->rulesList->insertItem(to, item);
  std::swap(rules_[static_cast<size_t>(line)], rules_[static_cast<size_t>(to)]);
  form_->rulesList->setCurrentRow(to);
}

void RulesDialog::accept() {
  std::vector<config::ccRule*> rules;
  rules.reserve(rules_.size());
  for (const config::RuleRef& rule : rules_) rules.push_back(rule.get());
  config::replaceRules(table_, rules);
  QDialog::accept();
}

int runRulesDialog(QWidget* parent, config::RuleTable* table, const RuleDialogContext& context) {
  RulesDialog dialog(parent, table, context);
  return runModal(&dialog) == QDialog::Accepted ? 1 : 0;
}

}  // namespace ui
